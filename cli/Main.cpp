// pellorin-cli: the command-line updater.
#include <iostream>
#include <string>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "console/ToolVersion.h"
#include "platform/Terminal.h"
#include "platform/TerminationSignals.h"
#include "platform/Trace.h"

int main(int argc, char** argv) {
    using namespace pellorin::cli;
    // The serial layer's trace lines are not the operator's (PELLORIN_DEBUG asks for them).
    platform::TraceOnlyWhenAsked();
    const ParseResult parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) {
        std::cerr << "pellorin-cli: " << parsed.error
                  << "\n(pellorin-cli --help lists the commands)\n";
        return kExitUsage;
    }
    Options options = parsed.options;
    for (const std::string& warning : parsed.warnings)
        std::cerr << "pellorin-cli: warning: " << warning << "\n";
    // A reader that goes away (a closed pipe) ends the output, not the program in mid-update.
    platform::IgnoreBrokenPipe();

    switch (options.command) {
        case Command::Help:
            std::cout << "pellorin-cli " << pellorin::ToolVersion()
                      << ": updates the DSP or MCU of Pellorin inverters\n\n"
                      << UsageText();
            return kExitUpdated;
        case Command::Version:
            // The version the update records name: the build's git describe where there is one.
            std::cout << "pellorin-cli " << pellorin::ToolVersion() << "\n";
            return kExitUpdated;
        case Command::Ports:
            return RunPortsCommand(options, std::cout);
        case Command::Check:
            return RunCheckCommand(options, std::cout);
        case Command::Update:
        case Command::Status:
            break;
    }

    if (options.ports.empty()) {
        // As with one adapter on a service laptop: the one port there is.
        const std::vector<serial::PortInfo> ports = serial::ListPorts();
        std::vector<std::string> listed;
        for (const serial::PortInfo& port : ports) listed.push_back(port.name);
        std::string error;
        const std::string port = OnlyPort(listed, error);
        if (port.empty()) {
            std::cerr << "pellorin-cli: " << error << "\n";
            return listed.empty() ? kExitPort : kExitUsage;
        }
        options.ports.push_back(port);
        if (!options.quiet) {
            std::cerr << "pellorin-cli: no --port given: using " << port
                      << ", the only serial port: " << ports.front().Description() << "\n";
        }
    }

    // SIGINT and SIGTERM (on Windows Ctrl+C, Ctrl+Break and the console's closing) reach only
    // the watch, taken before any job's thread starts: the command then ends every job as the
    // window's "Exit" does.
    platform::TerminationWatch stopRequests;
    if (options.command == Command::Status)
        return RunStatusCommand(options, std::cout, stopRequests);
    return RunUpdateCommand(options, std::cout, stopRequests);
}

// pellorin-sim: runs the simulated inverter until SIGINT or SIGTERM, then writes the transcript
// and the summary.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "console/ToolVersion.h"
#include "platform/Clock.h"
#include "platform/TerminationSignals.h"
#include "sim/SimCommandLine.h"
#include "sim/SimInverter.h"

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// Waits for SIGINT/SIGTERM (blocked in every thread, read through a signalfd) or, when asked,
// for the end of standard input.
void WaitForTheEnd(int signalFd, bool untilStdinEof) {
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {untilStdinEof ? 0 : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;  // EINTR
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) {
            char buffer[256];
            if (read(0, buffer, sizeof buffer) <= 0) return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    sim::SimProgramOptions options;
    std::string error;
    if (!sim::ParseSimCommandLine(std::vector<std::string>(argv + 1, argv + argc), options,
                                  error)) {
        std::cerr << "pellorin-sim: " << error << "\n(--help lists the options)\n";
        return 2;
    }
    if (options.help) {
        std::cout << sim::SimUsage();
        return 0;
    }
    if (options.version) {
        std::cout << "pellorin-sim " << pellorin::ToolVersion() << "\n";
        return 0;
    }

    // Taken before any thread starts, so that only the descriptor receives the signals.
    const int signalFd = platform::WatchTerminationSignals();
    if (signalFd < 0) {
        std::cerr << "pellorin-sim: cannot watch for signals\n";
        return 1;
    }

    // The device's times follow PELLORIN_CLOCK_SCALE whether or not its port is published in a
    // PELLORIN_COM_DIR (the tool's clock follows it only with one).
    platform::SetClockScale(platform::ClockScaleFromEnvironment());
    sim::SimInverter inverter(options.sim);
    if (!inverter.Start()) {
        std::cerr << "pellorin-sim: cannot start (see the trace line above)\n";
        close(signalFd);
        return 1;
    }
    std::cout << "slave: " << inverter.SlavePath() << "\n";
    std::cout << "port: " << inverter.ComPath() << "\n" << std::flush;

    WaitForTheEnd(signalFd, options.untilStdinEof);
    close(signalFd);
    inverter.Stop();

    int status = 0;
    if (!options.transcriptFile.empty() &&
        !WriteFile(options.transcriptFile, inverter.TranscriptJsonLines())) {
        std::cerr << "pellorin-sim: cannot write " << options.transcriptFile << "\n";
        status = 1;
    }
    const std::string summary = inverter.SummaryJson();
    if (!options.summaryFile.empty() && !WriteFile(options.summaryFile, summary + "\n")) {
        std::cerr << "pellorin-sim: cannot write " << options.summaryFile << "\n";
        status = 1;
    }
    std::cout << summary << "\n";
    return status;
}

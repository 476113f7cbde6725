// Parsing the pellorin-cli command line.
#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <exception>

#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/RemotePortName.h"
#include "console/JobMode.h"

namespace pellorin::cli {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool ParseSpeed(const std::string& text, int& speed) {
    for (const LinkSpeed& candidate : kLinkSpeeds) {
        if (text == std::to_string(candidate.baud)) {
            speed = static_cast<int>(candidate.baud);
            return true;
        }
    }
    return false;
}

constexpr const char* kPortNeeded =
    "--port needs a port (COMn, a device path, rfc2217://HOST:PORT or tcp://HOST:PORT)";

ParseResult Fail(std::string error) {
    ParseResult result;
    result.error = std::move(error);
    return result;
}

// What the words say before the command is looked at.
struct Words {
    std::vector<std::string> plain;  // the command and its plain arguments
    bool help = false;
    bool version = false;
    std::string baud;
    bool baudGiven = false;
};

// The words as CLI11 reads them: options anywhere (long ones also as --name=value, short ones
// combined as -qV or -pCOM1), each value one word, "--" ending the options. False with `error`
// set on an unknown option or a missing value.
bool ReadWords(const std::vector<std::string>& arguments, Options& options, Words& words,
               std::string& error) {
    try {
        CLI::App app;
        app.set_help_flag();  // --help is ours: UsageText
        app.add_flag("-h,--help", words.help);
        app.add_flag("-V,--version", words.version);
        app.add_flag("--json", options.json);
        app.add_flag("-q,--quiet", options.quiet);
        app.add_flag("--erase", options.erase);
        app.add_flag("--trace", options.trace);
        app.add_option("-p,--port", options.ports)->allow_extra_args(false);
        app.add_option("-i,--image", options.images)->allow_extra_args(false);
        app.add_option("-b,--baud", words.baud)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.add_option("words", words.plain);
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);  // CLI11 takes the words last first
        words.baudGiven = app.count("--baud") > 0;
        return true;
    } catch (const CLI::ArgumentMismatch& missing) {
        // An option without its value, said in the words of the option.
        const std::string what = missing.what();
        error = what.rfind("--port", 0) == 0    ? kPortNeeded
                : what.rfind("--image", 0) == 0 ? "--image needs a file"
                : what.rfind("--baud", 0) == 0  ? "--baud needs a speed"
                                                : what;
        return false;
    } catch (const std::exception& problem) {
        error = problem.what();
        std::replace(error.begin(), error.end(), '\n', ' ');
        if (error.empty()) error = "the command line cannot be read";
        return false;
    }
}

}  // namespace

int Options::SpeedIndex() const {
    for (int i = 0; i < kLinkSpeedCount; ++i) {
        if (static_cast<int>(kLinkSpeeds[i].baud) == speed) return i;
    }
    return kBaudItem19200;
}

const std::string& Options::ImageFor(std::size_t index) const {
    return images.size() == 1 ? images.front() : images.at(index);
}

bool SamePortName(const std::string& a, const std::string& b) {
    const auto comA = serial::ComNumber(a), comB = serial::ComNumber(b);
    if (comA && comB) return *comA == *comB;
    // A remote port's scheme and host name know no case.
    if (serial::IsRemotePortName(a) && serial::IsRemotePortName(b)) return Lower(a) == Lower(b);
    return a == b;
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
    ParseResult result;
    Options& options = result.options;
    Words read;
    std::string error;
    if (!ReadWords(arguments, options, read, error)) return Fail(error);
    const std::vector<std::string>& words = read.plain;
    for (const std::string& port : options.ports) {
        if (port.empty()) return Fail(kPortNeeded);
        if (serial::IsRemotePortName(port)) {
            if (const std::string problem = serial::RemoteNameProblem(port); !problem.empty())
                return Fail("--port: " + problem);
        }
    }
    for (const std::string& image : options.images) {
        if (image.empty()) return Fail("--image needs a file");
    }
    const bool speedGiven = read.baudGiven;
    if (speedGiven && !ParseSpeed(read.baud, options.speed))
        return Fail("--baud must be 4800, 9600, 19200 or 38400, not '" + read.baud + "'");

    if (read.version) {
        options.command = Command::Version;
        result.ok = true;
        return result;
    }
    if (read.help || words.empty()) {
        if (!read.help) return Fail("no command given");
        options.command = Command::Help;
        result.ok = true;
        return result;
    }

    const std::string& command = words[0];
    const bool updateOptions =
        !options.ports.empty() || speedGiven || options.erase || options.trace;
    if (command == "help") {
        options.command = Command::Help;
    } else if (command == "ports") {
        if (words.size() > 1) return Fail("ports takes no argument");
        if (updateOptions || !options.images.empty()) return Fail("ports takes only --json");
        options.command = Command::Ports;
    } else if (command == "check") {
        if (updateOptions) return Fail("check takes an image and --json only");
        for (std::size_t i = 1; i < words.size(); ++i) options.images.push_back(words[i]);
        if (options.images.size() != 1) return Fail("check needs exactly one image");
        options.command = Command::Check;
    } else if (command == "update" || command == "status") {
        const bool update = command == "update";
        if (words.size() < 2) return Fail(command + " needs a target: dsp or mcu");
        if (words.size() > 2) {
            return Fail(command +
                        " takes one target, dsp or mcu, and no file after it: give the "
                        "image with --image (-i) " +
                        words[2]);
        }
        if (words[1] == "dsp") {
            options.jobMode = kJobDspUpdate;
        } else if (words[1] == "mcu") {
            options.jobMode = kJobMcuUpdate;
        } else {
            return Fail("unknown target '" + words[1] + "' (dsp or mcu)");
        }
        if (update) {
            if (options.images.empty()) return Fail("update needs --image");
            if (options.images.size() != 1 && options.images.size() != options.ports.size() &&
                !(options.ports.empty() && options.images.size() == 1)) {
                return Fail("give one --image for all ports or one per --port, in the same order");
            }
            for (std::size_t i = 0; i < options.ports.size(); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (SamePortName(options.ports[i], options.ports[j])) {
                        return Fail("port " + options.ports[i] + " is given twice");
                    }
                }
            }
            options.command = Command::Update;
        } else {
            if (options.ports.size() > 1) return Fail("status takes one --port");
            if (options.images.size() > 1) return Fail("status takes at most one --image");
            if (options.erase) return Fail("--erase belongs to update: status erases nothing");
            options.command = Command::Status;
        }
    } else {
        return Fail("unknown command '" + command + "'");
    }
    if (speedGiven && options.jobMode == kJobMcuUpdate) {
        result.warnings.push_back("--baud " + std::to_string(options.speed) +
                                  " is not used: the MCU is always asked for 19200 and its link "
                                  "runs at 9600");
    }
    result.ok = true;
    return result;
}

std::string OnlyPort(const std::vector<std::string>& listed, std::string& error) {
    if (listed.size() == 1) return listed.front();
    if (listed.empty()) {
        error =
            "no --port given and no serial port found (is the adapter plugged in? pellorin-cli "
            "ports lists the ports)";
        return {};
    }
    std::string names;
    for (const std::string& name : listed) names += (names.empty() ? "" : ", ") + name;
    error = "no --port given and " + std::to_string(listed.size()) + " ports are listed (" + names +
            "): choose one with --port";
    return {};
}

// What stops a run and how ports are named differ between the systems.
#ifdef _WIN32
constexpr const char* kInterruption = "Ctrl+C, Ctrl+Break or closing the console";
constexpr const char* kPortsSection = R"(Ports:
  COMn   the system's port COMn, opened as \\.\COMn (so COM10 and above work too); any other
         name is opened as the device name given, such as \\.\CNCA0

Environment:
  PELLORIN_DEBUG     1: the serial layer's trace lines on standard error too
)";
#else
constexpr const char* kInterruption = "Ctrl-C, SIGTERM or SIGHUP";
constexpr const char* kPortsSection = R"(Environment:
  PELLORIN_COM_DIR   COMn is <dir>/comN (a link to a tty) instead of the numbered serial devices
  PELLORIN_DEBUG     1: the serial layer's trace lines on standard error too
)";
#endif

std::string UsageText() {
    return std::string(R"(Usage:
  pellorin-cli ports [--json]
  pellorin-cli check IMAGE [--json]
  pellorin-cli update dsp|mcu [--port PORT] --image FILE [--baud 4800|9600|19200|38400]
                              [--port PORT [--image FILE]]... [--erase] [--trace]
                              [--json] [--quiet]
  pellorin-cli status dsp|mcu [--port PORT] [--image FILE] [--trace] [--json]
  pellorin-cli --help | --version

  PORT is COMn (as the window lists it), a device (/dev/ttyUSB0), rfc2217://HOST:PORT or
  tcp://HOST:PORT. Without --port, the only port pellorin-cli ports lists is taken.

Options:
  -p, --port PORT    the port of the unit; repeat it to update several units at once
  -i, --image FILE   the image (Intel HEX); one for all ports or one per --port, in order
  -b, --baud SPEED   the DSP's link speed, 4800, 9600, 19200 (default) or 38400; not used
                     with mcu, which always asks for 19200 and runs at 9600
      --erase        update: erase and write the whole image, never resume
      --trace        every command and reply on the wire, with its time, on standard
                     error as it goes (control bytes escaped, as the update record has them)
      --json         one JSON object per line instead of text
  -q, --quiet        only the result
  -h, --help         this text
  -V, --version      the version

Commands:
  ports    every serial port the window would list: number, device, adapter, state (and
           who holds it); no port is opened to find out
  check    checks an Intel HEX image and shows its lines, data records, address ranges,
           the DSP's verification line and the sums the device will be asked for
  update   updates the DSP or the MCU, exactly as the window's button does; the image is
           checked first. --port may be repeated to update several units at once, each on
           its own port; give one --image for all or one per --port in the same order.
           --baud chooses the DSP's link speed (default 19200); the MCU always asks for
           19200 and runs its link at 9600, as the window does (--baud with mcu is not
           used, and a warning says so). A device that reports a resume point is first
           asked for its sum over the blocks it holds: the update resumes only when they
           are this image's, and otherwise erases it and writes the whole image. --erase
           always erases and writes the whole image.
           A port far away, behind a network serial server: rfc2217://HOST:PORT (the server
           sets the line's speed) or tcp://HOST:PORT (raw: the job runs at 2400 baud).
  status   enters the bootloader as an update does, shows its state and the block an
           update would resume after and, with --image, whether the device holds that
           image (by its sum); then leaves the bootloader. Nothing is erased or written.

Output:
  on a terminal the log lines and a live status line per port (while connecting: the step,
  its try and the time since the start); otherwise the log lines only; every result says
  whether the device confirmed the image's sum ("verified"), and a device that did not
  answer gets a hint what to check;
  --json  one JSON object per line: {"event":"log"|"progress"|"result"|"summary"|"status",...},
          each with "time_s" (seconds since the start); results and the summary also with
          "wall_time" (ISO 8601)
  --quiet only the result

Exit status:
  0    updated and verified: the device confirmed the image's sum (every port)
  1    usage: the command line is wrong
  2    the port could not be opened, or another program has it open
  3    the image is missing or refused
  4    the device did not answer ("connect fail")
  5    a block was refused or the line failed ("Write fail!")
  6    verification failed ("Verify flash data fail!")
  7    written, but the device did not confirm its sum (it sent none)
  130  interrupted ()") +
           kInterruption + R"(): the port is closed, a later run resumes the device
  With several ports the status is the most severe of theirs, in this order:
  130, 6, 5, 4, 2, 3, 7, 0 (a stopped run; a device that may hold a wrong or partial
  image; a device left as it was; a device written but unconfirmed; all verified).
  status: 0 the device answered (with --image: it holds that image, or blocks of it an
  update resumes after); 6 with --image: it holds another image or nothing yet; 7 with
  --image: it sent no sum; 2, 3, 4 and 130 as for update.

)" + kPortsSection;
}

}  // namespace pellorin::cli

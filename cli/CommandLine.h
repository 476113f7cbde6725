// The pellorin-cli command line: argv in, options or a usage error out. A pure function (no I/O,
// no globals), so that tests and a fuzz target can call it with any words.
#pragma once

#include <string>
#include <vector>

#include "link/LinkSpeeds.h"

namespace pellorin::cli {

enum class Command { Help, Version, Ports, Check, Update, Status };

struct Options {
    Command command = Command::Help;
    bool json = false;
    bool quiet = false;
    // check: the image; update: one image for every port, or one per port in the ports' order.
    std::vector<std::string> images;
    // update and status
    int jobMode = 0;  // kJobDspUpdate or kJobMcuUpdate
    std::vector<std::string> ports;
    int speed = static_cast<int>(kLinkSpeeds[kBaudItem19200].baud);
    bool erase = false;  // update: erase and write the whole image even where a resume could be
    bool trace = false;  // update and status: the wire on standard error as it goes
    // The index of `speed` in the speed box.
    [[nodiscard]] int SpeedIndex() const;
    // The image for the port at `index`.
    [[nodiscard]] const std::string& ImageFor(std::size_t index) const;
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // when !ok: one line saying what is wrong
    // When ok: what the command line asks for that will not happen as asked, one line each.
    std::vector<std::string> warnings;
};

// `arguments` without the program name. `update` and `status` may leave out --port: the caller
// then takes the one port there is (OnlyPort).
[[nodiscard]] ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

// The port for a command line without --port, from the ports `pellorin-cli ports` lists: the one
// there is; otherwise "" and, in `error`, why none could be taken.
[[nodiscard]] std::string OnlyPort(const std::vector<std::string>& listed, std::string& error);

// Port names the same port would be given by: "COM3" and "com3" are one port.
[[nodiscard]] bool SamePortName(const std::string& a, const std::string& b);

[[nodiscard]] std::string UsageText();

}  // namespace pellorin::cli

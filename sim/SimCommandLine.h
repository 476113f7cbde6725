// The pellorin-sim command line: options into sim::Options plus what the program itself does
// with the run (transcript and summary files, ending on stdin EOF).
#pragma once

#include <string>
#include <vector>

#include "sim/SimInverter.h"

namespace sim {

struct SimProgramOptions {
    Options sim;
    std::string transcriptFile;
    std::string summaryFile;
    bool untilStdinEof = false;
    bool help = false;
    bool version = false;
};

// False with `error` set on an unknown option or a bad value.
bool ParseSimCommandLine(const std::vector<std::string>& arguments, SimProgramOptions& out,
                         std::string& error);

std::string SimUsage();

// Texts given on the command line may carry \r, \n, \t, \\ and \xHH for bytes that a shell
// cannot pass easily.
std::string UnescapeText(const std::string& text);

}  // namespace sim

// The three commands of pellorin-cli; each returns the program's exit status.
#pragma once

#include <ostream>

#include "cli/CommandLine.h"

namespace pellorin::cli {

int RunPortsCommand(const Options& options, std::ostream& out);
int RunCheckCommand(const Options& options, std::ostream& out);
// Blocks SIGINT and SIGTERM must already be blocked in every thread; `signalFd` reads them.
int RunUpdateCommand(const Options& options, std::ostream& out, int signalFd);

}  // namespace pellorin::cli

// The commands of pellorin-cli; each returns the program's exit status.
#pragma once

#include <ostream>

#include "cli/CommandLine.h"
#include "platform/TerminationSignals.h"

namespace pellorin::cli {

int RunPortsCommand(const Options& options, std::ostream& out);
int RunCheckCommand(const Options& options, std::ostream& out);
// `stopRequests` must be made before any thread starts; a request ends every job as "Exit" does.
int RunUpdateCommand(const Options& options, std::ostream& out,
                     platform::TerminationWatch& stopRequests);
int RunStatusCommand(const Options& options, std::ostream& out,
                     platform::TerminationWatch& stopRequests);

}  // namespace pellorin::cli

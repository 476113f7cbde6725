// What the command line writes: JSON text, exit statuses and the outcome names of a job.
#pragma once

#include <string>

#include "link/JobOutcome.h"
#include "platform/JsonText.h"

namespace pellorin::cli {

enum ExitStatus : int {
    kExitUpdated = 0,
    kExitUsage = 1,
    kExitPort = 2,
    kExitImage = 3,
    kExitNoAnswer = 4,
    kExitWriteFail = 5,
    kExitVerifyFail = 6,
    kExitInterrupted = 130,
};

// The exit status a job's outcome gives; `interrupted` wins over anything but a finished update.
[[nodiscard]] int ExitStatusFor(JobOutcome outcome, bool interrupted);
// A short name for the JSON "outcome" field and the summary table.
[[nodiscard]] const char* OutcomeName(int exitStatus);

// JSON values and their one-line text (platform/JsonText.h).
using platform::Json;
using platform::JsonNumber;
using platform::JsonText;

// "mm:ss" for a number of seconds.
[[nodiscard]] std::string MinutesSeconds(unsigned seconds);

}  // namespace pellorin::cli

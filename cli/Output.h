// What the command line writes: JSON text, exit statuses and the outcome names of a job.
#pragma once

#include <string>

#include "link/JobOutcome.h"
#include "platform/JsonText.h"
#include "platform/Win32Types.h"

namespace pellorin::cli {

enum ExitStatus : int {
    kExitUpdated = 0,
    kExitUsage = 1,
    kExitPort = 2,
    kExitImage = 3,
    kExitNoAnswer = 4,
    kExitWriteFail = 5,
    kExitVerifyFail = 6,
    kExitNotVerified = 7,
    kExitInterrupted = 130,
};

// The exit status a job's outcome gives: a finished update is 0 only when the device confirmed
// its sum, 7 otherwise; `interrupted` wins over anything but a finished update.
[[nodiscard]] int ExitStatusFor(JobOutcome outcome, Verification verified, bool interrupted);
// The more severe of two ports' statuses, for the program's own: 130, 6, 5, 4, 2, 3, 7, 0 from
// the most severe down (a stopped run, then a device that may hold a wrong or partial image,
// then one left as it was, then one written but unconfirmed).
[[nodiscard]] int MoreSevere(int a, int b);
// A short name for the JSON "outcome" field and the summary table.
[[nodiscard]] const char* OutcomeName(int exitStatus);

// JSON values and their one-line text (platform/JsonText.h).
using platform::Json;
using platform::JsonNumber;
using platform::JsonText;

// "mm:ss" for a number of seconds, "h:mm:ss" from an hour on.
[[nodiscard]] std::string MinutesSeconds(unsigned seconds);

// The seconds since `startTick` (platform::GetTickCount) to the millisecond, for "time_s".
[[nodiscard]] Json SecondsSince(DWORD startTick);

}  // namespace pellorin::cli

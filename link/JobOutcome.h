// How a job ended, for front ends that must tell the cause without reading the log: set by the
// job runner and the flash procedures at the moment they decide, read once the job has ended.
#pragma once

#include <cstdint>

namespace pellorin {

enum class JobOutcome : std::uint8_t {
    None,             // still running, or the job ended without an update (Read Version, a stop)
    Updated,          // the run finished ("Reflash  case time:")
    PortNotOpened,    // "Cannot open serial port"
    PortSetupFailed,  // " Setup serial port  fail!"
    ImageMissing,     // "<image> can not found!"
    ImageUnreadable,  // "Open image file fail!"
    ImageRefused,     // the image check found a fault: nothing but the leave command was sent
    ConnectFail,      // "connect fail": the device never reached its programming state
    WriteFail,        // "Write fail!": a block was refused or the line failed
    VerifyFail,       // "Verify flash data fail!"
};

// Whether the device confirmed the image by its sum, beside JobOutcome: an update can be written
// and still unconfirmed. Set by the flash procedures, read once the job has ended.
enum class Verification : std::uint8_t {
    NotChecked,  // no sum came from the device (or the job never got as far as asking)
    Confirmed,   // the device's sum matched the image's
    Failed,      // the device's sum did not match, or the job needed a sum and got none
};

// The word pellorin-cli gives an update job's result ("updated", "written", "write-failed", ...),
// which its update record repeats; "written" for an update the device did not confirm by its sum,
// "interrupted" for a job stopped before it had finished.
[[nodiscard]] const char* OutcomeWord(JobOutcome outcome, Verification verified, bool stopped);

}  // namespace pellorin

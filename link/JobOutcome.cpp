// The words for a job's result, shared by the command line and the update record.
#include "link/JobOutcome.h"

namespace pellorin {

const char* OutcomeWord(JobOutcome outcome, Verification verified, bool stopped) {
    if (outcome == JobOutcome::Updated)
        return verified == Verification::Confirmed ? "updated" : "written";
    if (stopped) return "interrupted";
    switch (outcome) {
        case JobOutcome::PortNotOpened:
        case JobOutcome::PortSetupFailed:
            return "port-failed";
        case JobOutcome::ImageMissing:
        case JobOutcome::ImageUnreadable:
        case JobOutcome::ImageRefused:
            return "image-refused";
        case JobOutcome::ConnectFail:
            return "no-answer";
        case JobOutcome::VerifyFail:
            return "verify-failed";
        case JobOutcome::WriteFail:
        case JobOutcome::None:  // ended without a result: never reported as a success
        default:
            return "write-failed";
    }
}

}  // namespace pellorin

// Exit statuses and outcome names.
#include "cli/Output.h"

#include <cstdio>

namespace pellorin::cli {

int ExitStatusFor(JobOutcome outcome, bool interrupted) {
    if (outcome == JobOutcome::Updated) return kExitUpdated;
    if (interrupted) return kExitInterrupted;
    switch (outcome) {
        case JobOutcome::PortNotOpened:
        case JobOutcome::PortSetupFailed:
            return kExitPort;
        case JobOutcome::ImageMissing:
        case JobOutcome::ImageUnreadable:
        case JobOutcome::ImageRefused:
            return kExitImage;
        case JobOutcome::ConnectFail:
            return kExitNoAnswer;
        case JobOutcome::VerifyFail:
            return kExitVerifyFail;
        case JobOutcome::WriteFail:
        case JobOutcome::None:  // ended without a result: never reported as a success
        default:
            return kExitWriteFail;
    }
}

const char* OutcomeName(int exitStatus) {
    switch (exitStatus) {
        case kExitUpdated:
            return "updated";
        case kExitUsage:
            return "usage";
        case kExitPort:
            return "port-failed";
        case kExitImage:
            return "image-refused";
        case kExitNoAnswer:
            return "no-answer";
        case kExitWriteFail:
            return "write-failed";
        case kExitVerifyFail:
            return "verify-failed";
        case kExitInterrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

std::string MinutesSeconds(unsigned seconds) {
    char text[24];
    std::snprintf(text, sizeof text, "%02u:%02u", seconds / 60, seconds % 60);
    return text;
}

}  // namespace pellorin::cli

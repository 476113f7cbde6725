// Exit statuses and outcome names.
#include "cli/Output.h"

#include <iterator>

#include "console/ProgressDisplay.h"
#include "platform/Clock.h"

namespace pellorin::cli {

int ExitStatusFor(JobOutcome outcome, Verification verified, bool interrupted) {
    if (outcome == JobOutcome::Updated) {
        return verified == Verification::Confirmed ? kExitUpdated : kExitNotVerified;
    }
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

int MoreSevere(int a, int b) {
    // Most severe first; a status not listed (usage) outranks them all.
    constexpr int kOrder[] = {kExitInterrupted, kExitVerifyFail, kExitWriteFail,   kExitNoAnswer,
                              kExitPort,        kExitImage,      kExitNotVerified, kExitUpdated};
    const auto rank = [&](int status) {
        for (int i = 0; i < static_cast<int>(std::size(kOrder)); ++i)
            if (kOrder[i] == status) return i;
        return -1;
    };
    return rank(a) <= rank(b) ? a : b;
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
        case kExitNotVerified:
            return "written";
        case kExitInterrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

std::string MinutesSeconds(unsigned seconds) { return FormatTimeText(seconds); }

Json SecondsSince(DWORD startTick) {
    return JsonNumber(static_cast<double>(platform::GetTickCount() - startTick) / 1000.0, 15);
}

}  // namespace pellorin::cli

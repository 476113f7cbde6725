// What the command line asks of an image beyond the engine's own check.
#include "cli/ImageRules.h"

namespace pellorin::cli {

void RequireVerificationRecord(ImageFacts& facts) {
    if (facts.Passed() && facts.VerifyLine == 0) {
        facts.Failure =
            "no verification record (address 7FFE): the DSP would never be asked for its sum";
        facts.FailureLine = 0;
    }
}

std::string RefusalLine(const std::string& path, const ImageFacts& facts) {
    if (!facts.Opened) return path + ": " + platform::DescribeRefusal(facts.NotOpened);
    return DescribeFailure(path, facts);
}

}  // namespace pellorin::cli

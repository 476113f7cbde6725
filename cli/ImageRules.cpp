// How the command line names an image it refuses.
#include "cli/ImageRules.h"

namespace pellorin::cli {

std::string RefusalLine(const std::string& path, const ImageFacts& facts) {
    if (!facts.Opened) return path + ": " + platform::DescribeRefusal(facts.NotOpened);
    return DescribeFailure(path, facts);
}

}  // namespace pellorin::cli

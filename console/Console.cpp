// The image path's pieces as the window's log shows them.
#include "console/Console.h"

#include <algorithm>

namespace pellorin {
namespace {
constexpr std::size_t kPathPiece = 50;
constexpr std::size_t kPathShown = 150;
}  // namespace

std::vector<std::string> ImagePathPieces(const std::string& path) {
    const std::size_t shown = std::min(path.size(), kPathShown);
    std::size_t pieces = (shown + kPathPiece - 1) / kPathPiece;
    if (pieces == 0) pieces = 1;
    std::vector<std::string> lines;
    for (std::size_t piece = pieces; piece-- > 0;)
        lines.push_back(path.substr(piece * kPathPiece, kPathPiece));
    return lines;
}

}  // namespace pellorin

// The image path's pieces as the window's log shows them, and the texts that say where the
// images are looked for.
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

std::string ImageFoldersText(const std::vector<std::string>& folders) {
    std::string text = "Images: ";
    for (std::size_t i = 0; i < folders.size(); ++i) text += (i > 0 ? ", then " : "") + folders[i];
    return text;
}

std::string ImageNotFoundMessage(const std::string& fileName,
                                 const std::vector<std::string>& folders,
                                 const std::string& howToChoose) {
    std::string looked;
    for (std::size_t i = 0; i < folders.size(); ++i)
        looked += (i > 0 ? ", then in " : "") + folders[i];
    const std::string where = folders.size() > 1 ? "in one of them" : "there";
    return fileName + " can not found!\nLooked in " + looked + ": put " + fileName + " " + where +
           ", or choose the folder that holds it with \"Image folder…\" " + howToChoose + ".";
}

}  // namespace pellorin

// Counting the image's blocks before a run.
#include "flash/FlashEngine.h"

namespace pellorin {
namespace {
constexpr std::size_t kPathPiece = 50;
constexpr std::size_t kPathShown = 150;
}  // namespace

void FlashEngine::CountImageBlocks() {
    // The path in pieces of 50 characters, inserted last piece first so that the list, read from
    // the top, shows it from its beginning.
    const std::string& path = m_link.ImagePath;
    const std::size_t shown = std::min(path.size(), kPathShown);
    std::size_t pieces = (shown + kPathPiece - 1) / kPathPiece;
    if (pieces == 0) pieces = 1;
    for (std::size_t piece = pieces; piece-- > 0;) Log(path.substr(piece * kPathPiece, kPathPiece));

    m_counters.TotalBlocks.store(0);
    std::uint32_t total = 0;
    if (m_image.Open(path)) {
        std::string line;
        while (m_image.ReadString(line)) ++total;
        m_image.Close();
    } else {
        Log("Open image file fail!");
    }
    m_counters.TotalBlocks.store(total);
    m_counters.TotalBlocksShown.store(total);
    Log("Total blocks:" + std::to_string(total));

    if (!m_console.StopRequested()) m_console.SetProgressPos(0);
    m_counters.PercentShown.store(0);
    m_counters.WrittenBlocks.store(0);
}

}  // namespace pellorin

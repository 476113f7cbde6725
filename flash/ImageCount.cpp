// Counting and checking the image's blocks before a run.
#include "flash/FlashEngine.h"

namespace pellorin {
namespace {
std::string FileName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

bool FlashEngine::CountImageBlocks(bool needsVerifyRecord) {
    const std::string& path = m_link.ImagePath;
    if (!m_console.StopRequested()) m_console.InsertImagePath(path);

    m_counters.TotalBlocks.store(0);
    // One pass counts the lines, checks every record and takes the digests that the programming
    // pass compares its lines with; a stop request ends it within a few thousand lines.
    ImageCheckOptions options;
    options.StopRequested = [this] { return m_link.Stop.Requested(); };
    m_facts = CheckImageFile(path, options);
    if (needsVerifyRecord) RequireVerificationRecord(m_facts);
    if (!m_facts.Opened) Log("Open image file fail!");
    const std::uint32_t total = m_facts.Lines;
    m_counters.TotalBlocks.store(total);
    m_counters.TotalBlocksShown.store(total);
    Log("Total blocks:" + std::to_string(total));

    if (!m_console.StopRequested()) m_console.SetProgressPos(0);
    m_counters.PercentShown.store(0);
    m_counters.WrittenBlocks.store(0);

    if (m_facts.Opened && !m_facts.Stopped && !m_facts.Failure.empty()) {
        Log(DescribeFailure(FileName(path), m_facts));
    }
    // Not a file at all (a folder, a pipe, a device): say what it is. A file that has gone is
    // told by the line above.
    if (!m_facts.Opened && m_facts.NotOpened != platform::FileRefusal::Missing) {
        Log(FileName(path) + " " + platform::DescribeRefusal(m_facts.NotOpened));
    }
    if (m_facts.Passed()) {
        m_link.Record.SetImageCheck("passed: " + std::to_string(m_facts.Lines) + " lines, " +
                                    std::to_string(m_facts.DataRecords) + " data records");
    } else {
        m_link.Record.SetImageCheck(!m_facts.Opened
                                        ? std::string("the file ") +
                                              platform::DescribeRefusal(m_facts.NotOpened)
                                    : m_facts.Stopped ? "stopped"
                                                      : DescribeFailure(FileName(path), m_facts));
    }
    return m_facts.Passed();
}

std::string FlashEngine::ImageName() const { return FileName(m_link.ImagePath); }

}  // namespace pellorin

// FlashEngine and the image: counting and checking its blocks before a run, and reading it again
// (only lines that are the lines checked) for the sums and the blocks.
#include "flash/FlashEngine.h"
#include "flash/IntelHexRecord.h"

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

FlashEngine::ReadResult FlashEngine::ReadImageLine(std::string& line) {
    // Skipped lines send nothing: without this a stop would wait for the rest of the file.
    if (m_link.Stop.Requested()) {
        m_image.Close();
        return ReadResult::Failed;
    }
    const CheckedImageReader::Result read = m_image.Next(line);
    if (read == CheckedImageReader::Result::End) return ReadResult::End;
    if (read == CheckedImageReader::Result::Stopped) {
        m_image.Close();
        return ReadResult::Failed;
    }
    if (read == CheckedImageReader::Result::Changed) {
        Log(ImageName() + " changed after it was checked (lines " +
            std::to_string(m_image.ChangedFrom()) + " to " + std::to_string(m_image.ChangedTo()) +
            "): no changed line is sent");
        Fail("Write fail!", JobOutcome::WriteFail);
        return ReadResult::Failed;
    }
    return ReadResult::Line;
}

unsigned FlashEngine::SumOfLine(const Bootloader& device, const std::string& line) {
    if (device.verifyAtSentinel && IsVerificationRecord(line)) return 0;
    return IsDataRecord(line) ? RecordWordSum(line) : 0;
}

bool FlashEngine::SumOfFirstLines(const Bootloader& device, std::uint32_t lines, unsigned* sum) {
    if (!m_image.Open(m_link.ImagePath, m_facts)) {
        Fail("Open image file fail!", JobOutcome::ImageUnreadable);
        return false;
    }
    unsigned total = 0;
    std::string line;
    for (std::uint32_t read = 0; read < lines; ++read) {
        const ReadResult result = ReadImageLine(line);
        if (result == ReadResult::Failed) return false;
        if (result == ReadResult::End) break;
        line += '\r';
        total = (total + SumOfLine(device, line)) & 0xFFFFu;
    }
    m_image.Close();
    *sum = total;
    return true;
}

std::string FlashEngine::ImageName() const { return FileName(m_link.ImagePath); }

}  // namespace pellorin

// Counting an image's blocks: every line counts, line ends of both kinds, and how the path is
// shown in pieces. The images here are not all valid records: the count is logged first either way.
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::TempFolder;

namespace {
using Lines = std::vector<std::string>;

class ImageCount : public ::testing::Test {
  protected:
    // Counts `content` saved under `name` and returns the "Total blocks:" line it logged.
    std::string Count(const std::string& content, const std::string& name = "dsp.hex") {
        folder.Write(name, content);
        console.Link().ImagePath = folder.File(name);
        (void)console.Engine().Flash.CountImageBlocks();
        for (const std::string& line : console.LogNewestFirst()) {
            if (line.rfind("Total blocks:", 0) == 0) return line;
        }
        return "";
    }
    TempFolder folder;
    HeadlessConsole console;
};
}  // namespace

TEST_F(ImageCount, EveryLineIsABlockWhateverItsLineEnd) {
    EXPECT_EQ(Count(""), "Total blocks:0");
    EXPECT_EQ(Count(":00000001FF"), "Total blocks:1") << "no final line end";
    EXPECT_EQ(Count("a\r\nb\r\n"), "Total blocks:2") << "a final line end adds none";
    EXPECT_EQ(Count("a\n\nb\n"), "Total blocks:3") << "a blank line counts";
    EXPECT_EQ(Count("a\r\nb\nc"), "Total blocks:3") << "CR LF and LF mixed";
    EXPECT_EQ(console.Counters.TotalBlocks, 3u);
    EXPECT_EQ(console.TotalBlocksText(), "3");
}

TEST_F(ImageCount, ANewCountStartsFromZeroProgress) {
    console.Counters.WrittenBlocks = 77;
    console.Counters.PercentShown = 40;
    Count("a\nb\n");
    EXPECT_EQ(console.Counters.WrittenBlocks, 0u);
    EXPECT_EQ(console.PercentText(), "0%");
    EXPECT_EQ(console.ProgressPos(), 0);
}

TEST_F(ImageCount, LongLinesAreReadWhole) {
    const std::string longLine(100000, 'A');
    EXPECT_EQ(Count(longLine + "\n" + longLine), "Total blocks:2");
}

TEST_F(ImageCount, ThePathIsShownInPiecesOf50FromItsBeginning) {
    for (std::size_t length : {50u, 51u, 120u, 170u}) {
        SCOPED_TRACE(length);
        HeadlessConsole fresh;
        std::string path = folder.Path() + "/";
        path += std::string(length - path.size() - 8, 'p') + "/dsp.hex";
        ASSERT_EQ(path.size(), length);
        fresh.Link().ImagePath = path;  // missing: counted as 0 and said so
        (void)fresh.Engine().Flash.CountImageBlocks();
        const Lines log = fresh.LogOldestFirst();
        Lines expected;
        for (std::size_t at = 0; at < std::min<std::size_t>(length, 150); at += 50) {
            expected.insert(expected.begin(), path.substr(at, 50));
        }
        expected.push_back("Open image file fail!");
        expected.push_back("Total blocks:0");
        EXPECT_EQ(log, expected);
    }
}

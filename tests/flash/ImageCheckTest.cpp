// The record check and the facts of an image, on text: the reasons an operator reads, the sums
// and address ranges gathered in the same pass, an early end on a stop request, what is no file
// at all, and the facts the update record reads of a file by the same rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console/Sha256.h"
#include "flash/ImageCheck.h"
#include "flash/ImageFileFacts.h"
#include "flash/IntelHexRecord.h"
#include "sim/HexGen.h"
#include "tests/support/SimulatedLine.h"

using namespace pellorin;

TEST(ImageCheck, EachBadRecordIsNamedWithItsReason) {
    EXPECT_EQ(CheckImageLine(":0400000012345678E8").Kind, LineKind::Record);
    EXPECT_EQ(CheckImageLine(":0400000012345678e8").Kind, LineKind::Record) << "either case";
    EXPECT_EQ(CheckImageLine("").Kind, LineKind::Blank);
    EXPECT_EQ(CheckImageLine(" \t").Kind, LineKind::Blank);
    const std::pair<const char*, const char*> bad[] = {
        {":0400000012345678E5", "record checksum is E5, expected E8"},
        {":04000000123G5678E4", "'G' at column 13 is not a hex digit"},
        {":0500000012345678E4", "byte count 05 needs 21 characters, the line has 19"},
        {":04000000123456", "byte count 04 needs 19 characters, the line has 15"},
        {":0400", "the record is cut short: 5 characters, a record has at least 11"},
        {"0400000012345678E4", "the line does not begin with ':' but with '0'"},
        {":00000006FA", "record type 06 is not one of 00-05"},
        {":00000004FC", "record type 04 needs byte count 02, the record has 00"},
        {":0100000200FD", "record type 02 needs byte count 02, the record has 01"},
    };
    for (const auto& [line, reason] : bad) {
        const LineCheck check = CheckImageLine(line);
        EXPECT_EQ(check.Kind, LineKind::Bad) << line;
        EXPECT_EQ(check.Reason, reason) << line;
    }
    EXPECT_EQ(CheckImageLine(":" + std::string(600, '0')).Reason,
              "the line is longer than any record (more than 521 characters)");
}

TEST(ImageCheck, AnImageIsRefusedAtItsFirstBadLineOrWhenItHoldsNoData) {
    const ImageFacts facts =
        CheckImageText(":0400000012345678E8\r\n\r\n:04000400123G5678E0\n:0F\n");
    EXPECT_EQ(facts.Lines, 4u);
    EXPECT_EQ(facts.FailureLine, 3u) << "the first failure; a blank line is no failure";
    EXPECT_EQ(DescribeFailure("dsp.hex", facts),
              "dsp.hex line 3: 'G' at column 13 is not a hex digit");
    EXPECT_EQ(DescribeFailure("dsp.hex", CheckImageText("")), "dsp.hex: the image is empty");
    EXPECT_EQ(DescribeFailure("mcu.hex", CheckImageText(":00000001FF\n")),
              "mcu.hex: the image holds no data record");
    EXPECT_TRUE(CheckImageText(":0400000012345678E8").Passed());
}

TEST(ImageCheck, TheFactsGiveTheSumsTheDeviceIsAskedForAndTheRangesFilled) {
    // 5000 records of 16 bytes pass 64 KiB, so an extended linear address record comes in.
    sim::HexImageOptions image;
    image.records = 5000;
    image.verifyRecordLine = 4001;
    std::string text;
    unsigned before = 0;
    unsigned whole = 0;
    bool verifySeen = false;
    std::uint32_t lines = 0;
    for (const std::string& line : sim::MakeHexImageLines(image)) {
        text += line + "\n";
        ++lines;
        if (line.compare(3, 4, "7FFE") == 0) verifySeen = true;
        if (line.compare(7, 2, "00") != 0) continue;
        whole += RecordWordSum(line);  // the MCU sums every data record
        if (!verifySeen) before += RecordWordSum(line);
    }
    ImageCheckOptions options;
    options.CollectRanges = true;
    const ImageFacts facts = CheckImageText(text, options);
    ASSERT_TRUE(facts.Passed()) << facts.Failure;
    EXPECT_EQ(facts.Lines, lines);
    EXPECT_EQ(facts.DataRecords, 5001u);
    EXPECT_NE(facts.VerifyLine, 0u);
    EXPECT_EQ(facts.SumAtVerifyLine, before & 0xFFFFu);
    EXPECT_EQ(facts.WholeSum, whole & 0xFFFFu);
    ASSERT_GE(facts.Ranges.size(), 2u) << "the 7FFE record lies apart";
    EXPECT_EQ(facts.Ranges.front().First, 0u);
    std::uint64_t filled = 0;
    for (const AddressRange& range : facts.Ranges) filled += range.End - range.First;
    EXPECT_EQ(filled, 5000u * 16 + 2);
    EXPECT_EQ(facts.ChunkDigests.size(), (lines + kDigestChunkLines - 1) / kDigestChunkLines);
}

TEST(ImageCheck, AStopRequestEndsTheCheckOfALargeFileEarly) {
    testing_support::TempFolder folder;
    folder.Write("dsp.hex", testing_support::MakeHexImage(20000, 4));
    ImageCheckOptions options;
    options.StopRequested = [] { return true; };
    const ImageFacts facts = CheckImageFile(folder.File("dsp.hex"), options);
    EXPECT_TRUE(facts.Stopped);
    EXPECT_FALSE(facts.Passed());
    EXPECT_LT(facts.Lines, 20000u);

    // One line of 16 MiB: the request is asked every 64 KiB, not only at the line's end.
    folder.Write("long.hex", std::string(16 * 1024 * 1024, '0'));
    int asked = 0;
    options.StopRequested = [&asked] { return ++asked == 3; };
    const ImageFacts longLine = CheckImageFile(folder.File("long.hex"), options);
    EXPECT_TRUE(longLine.Stopped);
    EXPECT_EQ(asked, 3);
}

TEST(ImageCheck, WhatIsNoRegularFileIsRefusedWithoutWaitingOnIt) {
    testing_support::TempFolder folder;
    ASSERT_EQ(mkfifo(folder.File("dsp.hex").c_str(), 0600), 0);  // no writer will ever come
    const struct {
        std::string path;
        platform::FileRefusal refusal;
    } cases[] = {{folder.File("dsp.hex"), platform::FileRefusal::Fifo},
                 {"/dev/zero", platform::FileRefusal::Device},
                 {folder.Path(), platform::FileRefusal::Folder}};
    for (const auto& c : cases) {
        const ImageFacts facts = CheckImageFile(c.path);
        EXPECT_FALSE(facts.Opened) << c.path;
        EXPECT_EQ(facts.NotOpened, c.refusal) << c.path;
    }
}

TEST(ImageCheck, TheRecordsFactsOfAFileCountLinesAndDataRecordsAsTheCheckDoes) {
    testing_support::TempFolder folder;
    // CR LF and LF line ends, a blank line, an address and an end record, no final line end.
    const std::string good =
        ":0400000012345678E8\r\n\n:020000040001F9\n:0400000012345678E8\n:00000001FF";
    // Shaped like data records, but with a wrong checksum, cut short, or longer than any record.
    const std::string bad = good + "\n:0400000012345678E9\n:04000000123456\n:00" +
                            std::string(kMaxRecordLength, '0') + "\n";
    for (const std::string& text : {good, bad}) {
        folder.Write("dsp.hex", text);
        const ImageFileFacts facts = ReadImageFileFacts(folder.File("dsp.hex"));
        Sha256 digest;
        digest.Update(text.data(), text.size());
        EXPECT_TRUE(facts.readable);
        EXPECT_EQ(facts.size, text.size());
        EXPECT_EQ(facts.sha256, digest.HexDigest());
        EXPECT_EQ(facts.lines, CheckImageText(text).Lines);
        EXPECT_EQ(facts.dataRecords, CheckImageText(good).DataRecords) << text;
    }
    EXPECT_EQ(CheckImageText(good).DataRecords, 2u);
    EXPECT_TRUE(ReadImageFileFacts(folder.File("dsp.hex"), [] { return true; }).stopped);
    EXPECT_FALSE(ReadImageFileFacts(folder.Path()).readable) << "a folder is no image";
}

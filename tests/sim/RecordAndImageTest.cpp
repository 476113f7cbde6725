// The device's own record reading and word sum, the JSON escaping of the transcript, and the test
// images that hexgen writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/JsonText.h"
#include "sim/HexGen.h"
#include "sim/HexRecord.h"
#include "sim/Json.h"

using namespace sim;

namespace {

HexRecord Data(std::vector<std::uint8_t> data, std::uint8_t checksum) {
    HexRecord record;
    record.data = std::move(data);
    record.checksum = checksum;
    return record;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("simtest-" + std::to_string(getpid()) + "-" + name))
        .string();
}

}  // namespace

TEST(DeviceWordSum, MatchesTheHandWorkedExamples) {
    EXPECT_EQ(RecordWordSum(Data({0x12, 0x34, 0x56, 0x78}, 0x00)), 0x68AC);
    // An odd count: the last word is the last data byte and the record's checksum byte.
    EXPECT_EQ(RecordWordSum(Data({0xAA, 0xBB, 0xCC}, 0xDD)), 0x7798);
    EXPECT_EQ(RecordWordSum(Data({}, 0xFF)), 0);
}

TEST(DeviceWordSum, WorksOnParsedRecordsAndWrapsAt16Bits) {
    const auto record = ParseHexRecord(":0400000012345678E8");
    ASSERT_TRUE(record);
    EXPECT_EQ(RecordWordSum(*record), 0x68AC);
    // FFFF + FFFF wraps to FFFE.
    EXPECT_EQ(RecordWordSum(Data({0xFF, 0xFF, 0xFF, 0xFF}, 0)), 0xFFFE);
    // Records longer than 126 bytes are summed whole.
    EXPECT_EQ(RecordWordSum(Data(std::vector<std::uint8_t>(200, 0x01), 0)), 100 * 0x0101);
}

TEST(DeviceRecordReading, TakesWellFormedRecordsInEitherCase) {
    const auto upper = ParseHexRecord(":027FFE00ABCD09");
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->address, 0x7FFE);
    EXPECT_EQ(upper->type, 0);
    EXPECT_EQ(upper->data, (std::vector<std::uint8_t>{0xAB, 0xCD}));
    EXPECT_TRUE(ParseHexRecord(":027ffe00abcd09"));
    const auto end = ParseHexRecord(":00000001FF");
    ASSERT_TRUE(end);
    EXPECT_EQ(end->type, 1);
}

TEST(DeviceRecordReading, RefusesMalformedRecords) {
    EXPECT_FALSE(ParseHexRecord(":0400000012345678E9")) << "bad checksum";
    EXPECT_FALSE(ParseHexRecord("0400000012345678E8")) << "no start character";
    EXPECT_FALSE(ParseHexRecord(":0500000012345678E8")) << "count does not match";
    EXPECT_FALSE(ParseHexRecord(":04000000123456G8E8")) << "not hex";
    EXPECT_FALSE(ParseHexRecord(":0400000012345678E8\r")) << "trailing byte";
    EXPECT_FALSE(ParseHexRecord(""));
    EXPECT_FALSE(ParseHexRecord(":00"));
}

TEST(TranscriptJson, KeepsEveryByteVisibleAndValid) {
    EXPECT_EQ(JsonString(std::string(":mcu\x01:mcu\r", 10)), R"(":mcu\u0001:mcu\r")");
    EXPECT_EQ(JsonString("a\"b\\c\n\t"), R"("a\"b\\c\n\t")");
    EXPECT_EQ(JsonString(std::string("\x00\x7f\xff", 3)), R"("\u0000\u007f\u00ff")");
    // Read back, every byte comes out as it went in; what JsonString never writes is refused.
    std::string bytes;
    for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
    const std::string quoted = "x" + JsonString(bytes) + ",";
    std::size_t at = 1;
    std::string back;
    ASSERT_TRUE(platform::ReadJsonString(quoted, at, back));
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(at, quoted.size() - 1);
    for (const char* refused :
         {R"("\u0100")", R"("\x41")", "\"a\tb\"", R"("open)", R"("\u00g0")"}) {
        at = 0;
        EXPECT_FALSE(platform::ReadJsonString(refused, at, back)) << refused;
    }
    JsonObject object;
    object.Add("n", std::int64_t{-3}).Add("ok", true).Add("t", 1.5).AddRaw("a", "[1]");
    EXPECT_EQ(object.Text(), R"({"n":-3,"ok":true,"t":1.500,"a":[1]})");
}

TEST(TestImages, HoldValidRecordsWithExtendedAddressesAcross64KiB) {
    HexImageOptions options;
    options.records = 10;
    options.dataLength = 16;
    options.startAddress = 0xFFC0;  // four records below 64 KiB, six above
    const std::vector<std::string> lines = MakeHexImageLines(options);
    ASSERT_EQ(lines.size(), 12u);  // 10 data + 1 extended address + end of file
    std::uint32_t upper = 0;
    std::uint32_t expected = 0xFFC0;
    int data = 0;
    for (const std::string& line : lines) {
        const auto record = ParseHexRecord(line);
        ASSERT_TRUE(record) << line;
        if (record->type == 4) {
            upper = static_cast<std::uint32_t>(record->data[0] << 8 | record->data[1]);
        } else if (record->type == 0) {
            EXPECT_EQ(upper << 16 | record->address, expected);
            EXPECT_EQ(record->data.size(), 16u);
            expected += 16;
            ++data;
        }
    }
    EXPECT_EQ(data, 10);
    EXPECT_EQ(lines[4], ":020000040001F9") << "the address record comes where 64 KiB is passed";
    EXPECT_EQ(lines.back(), ":00000001FF");
}

TEST(TestImages, PlaceThe7FFERecordOnItsLineWithTheRightAddress) {
    HexImageOptions options;
    options.records = 20;
    options.verifyRecordLine = 15;
    const auto lines = MakeHexImageLines(options);
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[14].substr(3, 4), "7FFE");

    // Behind an extended address the record is framed by address records 0 and the one in force,
    // and still stands on its line.
    options.startAddress = 0x1FFE0;
    options.verifyRecordLine = 8;
    const auto framed = MakeHexImageLines(options);
    ASSERT_EQ(framed.size(), 26u);  // 20 data, 2 address records, 7FFE with 2 framing, end
    EXPECT_EQ(framed[7].substr(3, 4), "7FFE");
    EXPECT_EQ(framed[6], ":020000040000FA");
    EXPECT_EQ(framed[8], ":020000040002F8");
}

TEST(TestImages, WriteTheChosenLineEnds) {
    HexImageOptions options;
    options.records = 2;
    const std::string path = TempPath("ends.hex");
    ASSERT_TRUE(WriteHexImage(path, options));
    const std::string lf = ReadFile(path);
    EXPECT_EQ(lf.back(), '\n');
    EXPECT_EQ(lf.find('\r'), std::string::npos);

    options.crlf = true;
    options.finalLineEnd = false;
    ASSERT_TRUE(WriteHexImage(path, options));
    const std::string crlf = ReadFile(path);
    EXPECT_EQ(crlf.substr(crlf.size() - 11), ":00000001FF") << "no line end after the last line";
    EXPECT_NE(crlf.find(":00000001FF"), std::string::npos);
    std::size_t count = 0;
    for (std::size_t at = crlf.find("\r\n"); at != std::string::npos;
         at = crlf.find("\r\n", at + 2))
        ++count;
    EXPECT_EQ(count, 2u);
    std::remove(path.c_str());

    options.dataLength = 0;
    EXPECT_FALSE(WriteHexImage(path, options));
}

// The device's own record reading and word sum, the JSON text of the transcript, and the test
// images that hexgen writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/JsonText.h"
#include "sim/HexGen.h"
#include "sim/HexRecord.h"

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

// JSON text, as pellorin-cli and the simulated inverter write it: one line of valid JSON whatever
// the text holds, and read back as it was written.
TEST(JsonText, KeepsUtf8AndEscapesEveryControlCharacter) {
    using platform::JsonString;
    EXPECT_EQ(JsonString(std::string(":mcu\x01:mcu\r", 10)), R"(":mcu\u0001:mcu\r")");
    EXPECT_EQ(JsonString("a\"b\\c\n\t"), R"("a\"b\\c\n\t")");
    // DEL and the C1 controls too (U+009B would start a terminal's control sequence).
    EXPECT_EQ(JsonString(std::string("\x00\x1b\x7f\xc2\x85\xc2\x9b\xc2\xa0", 9)),
              "\"\\u0000\\u001b\\u007f\\u0085\\u009b\xc2\xa0\"");
    const std::string path = "/home/jürgen/Prüfung/固件 😀/dsp.hex";
    EXPECT_EQ(JsonString(path), "\"" + path + "\"");

    // Every byte from 0 to 0x7F comes back as it went in.
    std::string ascii;
    for (int c = 0; c < 0x80; ++c) ascii += static_cast<char>(c);
    const std::string text = platform::JsonText({{"path", path}, {"ascii", ascii}});
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_FALSE(byte < 0x20 || byte == 0x7F) << int{byte};
    }
    platform::Json back;
    ASSERT_TRUE(platform::ParseJson(text, back)) << text;
    EXPECT_EQ(back["path"], path);
    EXPECT_EQ(back["ascii"], ascii);
}

TEST(JsonText, WritesBytesThatAreNotUtf8AsReplacementCharacters) {
    const std::string replacement = "\xef\xbf\xbd";  // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"a\xff!", "a" + replacement + "!"},
        {"\x80", replacement},                       // a continuation byte alone
        {"\xe2\x82", replacement},                   // cut short at the end
        {"\xe2\x82x", replacement + "x"},            // cut short before the next character
        {"\xc3\xa9\xc3", "\xc3\xa9" + replacement},  // good, then cut
    };
    for (const auto& [bytes, expected] : cases) {
        const std::string text = platform::JsonString(bytes);
        EXPECT_EQ(text, "\"" + expected + "\"");
        platform::Json back;
        EXPECT_TRUE(platform::ParseJson(text, back)) << text;
    }
}

TEST(JsonText, KeepsMemberOrderAndNumbers) {
    using platform::Json;
    using platform::JsonNumber;
    EXPECT_EQ(platform::JsonText({{"n", -3},
                                  {"big", std::uint64_t{4294967295}},
                                  {"ok", true},
                                  {"none", nullptr},
                                  {"a", Json::array({1})}}),
              R"({"n":-3,"big":4294967295,"ok":true,"none":null,"a":[1]})");
    // As a stream shows a double by default: six significant digits, no point on whole numbers.
    const std::pair<double, const char*> numbers[] = {
        {14.14, "14.14"}, {15.369, "15.369"},    {3.0, "3"},
        {0.05, "0.05"},   {1234.567, "1234.57"}, {std::nan(""), "null"}};
    for (const auto& [value, shown] : numbers) {
        EXPECT_EQ(platform::JsonText(JsonNumber(value, 6)), shown);
    }
}

TEST(JsonText, ReadsOneValueOrRefusesWithoutThrowing) {
    platform::Json value;
    EXPECT_TRUE(platform::ParseJson(" {\"a\":[1,\"\\u00e9\"]}\r\n", value));
    EXPECT_EQ(value["a"][1], "\xc3\xa9");
    const std::string refusedTexts[] = {
        "",         "{\"a\":1} x", "{\"a\":", "\"open",
        "\"a\tb\"", "\"\xff\"",    "{'a':1}", std::string(100000, '[')};
    for (const std::string& refused : refusedTexts) {
        EXPECT_FALSE(platform::ParseJson(refused, value)) << refused.substr(0, 20);
        EXPECT_TRUE(value.is_null());
    }
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

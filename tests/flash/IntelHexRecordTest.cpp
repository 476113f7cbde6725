// Intel HEX records as the procedures read them: the word sum, including the records a careless
// sum would loop on or read past, and the hex digits of the device's replies.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "flash/IntelHexRecord.h"
#include "flash/StateReply.h"

using namespace pellorin;

TEST(HexDigitValue, GivesDigitsInBothCasesAndNoDigitValueForAnythingElse) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('f'), 15);
    // A reply cut short or damaged never reads as an ordinary number.
    for (char c : {'g', '\0', '\r', ':'}) EXPECT_GT(HexDigitValue(c), 15) << int(c);
}

TEST(RecordWordSum, SumsDataBytesAsBigEndianWords) {
    EXPECT_EQ(RecordWordSum(":0400000012345678E8\r"), 0x68ACu);
    // An odd count: the last word is the last data byte and the record's checksum byte.
    EXPECT_EQ(RecordWordSum(":03000000AABBCCDD\r"), 0x7798u);
    EXPECT_EQ(RecordWordSum(":00000001FF\r"), 0u);
    EXPECT_EQ(RecordWordSum(":04000000ffffffff04\r"), 0xFFFEu) << "kept modulo 65536";
}

TEST(RecordWordSum, EndsForByteCountsAbove126) {
    std::string record = ":FF000000";
    for (int i = 0; i < 255; ++i) record += "01";
    record += "00\r";
    // 127 words of 0x0101 and a last word of the last byte with the checksum byte 00.
    EXPECT_EQ(RecordWordSum(record), (127u * 0x0101u + 0x0100u) & 0xFFFFu);
}

TEST(RecordWordSum, NeverReadsPastTheEndOfALineShorterThanItsByteCount) {
    // Each line in a buffer of its own length, so that a read past it is caught under
    // AddressSanitizer.
    for (const char* text : {":FF00000012\r", ":0400000012", ":0", ""}) {
        const std::size_t length = std::strlen(text);
        const auto line = std::make_unique<char[]>(length);
        std::memcpy(line.get(), text, length);
        (void)RecordWordSum(std::string_view(line.get(), length));
    }
}

TEST(StateReply, BlockNumbersAreDecimalFromTheDspAndFourHexDigitsFromTheMcu) {
    EXPECT_EQ(ParseDspStateReply("ST3_0120")->resumeBlock, 120);
    EXPECT_EQ(ParseMcuStateReply("ST3_00A5")->resumeBlock, 165);
    // A bare state from the MCU names a block past the end of any image it can hold (the
    // procedures then check the whole image by its sum).
    EXPECT_EQ(ParseMcuStateReply("ST3")->state, 3);
    EXPECT_GT(ParseMcuStateReply("ST3")->resumeBlock, 0xFFFF);
    EXPECT_EQ(ParseSumReply("SUM12ab"), 0x12AB);
    EXPECT_FALSE(ParseSumReply("SUM12").has_value()) << "shorter than a checksum reply";
}

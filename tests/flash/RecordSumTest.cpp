// The record word sum and hex digit values, including the records a careless sum would loop on or
// read past.
#include <gtest/gtest.h>

#include "flash/IntelHexRecord.h"

using namespace pellorin;

TEST(HexDigitValue, GivesDigitsInBothCasesAnd35ForEverythingElse) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('g'), 35);
    EXPECT_EQ(HexDigitValue('\0'), 35);
    EXPECT_EQ(HexDigitValue('\r'), 35);
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

TEST(RecordWordSum, ReadsMissingCharactersAsAbsentWithoutLeavingTheLine) {
    // Claims 4 bytes but carries one: the CR and everything after it count 35 each.
    const std::string shortRecord = ":0400000012\r";
    const unsigned absentWord = 35u * 4096 + 35 * 256 + 35 * 16 + 35;
    EXPECT_EQ(RecordWordSum(shortRecord), (0x1200u + 35 * 16 + 35 + absentWord) & 0xFFFFu);
    // A line shorter than 9 characters: LL from "0" and the CR.
    EXPECT_EQ(RecordWordSum(":0\r"), RecordWordSum(std::string(":0") + '\0'));
    EXPECT_EQ(RecordWordSum(""), RecordWordSum(std::string(1, '\0')));
}

TEST(FourHexDigits, CountsMissingDigitsAs35) {
    EXPECT_EQ(FourHexDigits("ST3_00A5", 4), 165u);
    EXPECT_EQ(FourHexDigits("ST3", 4), 152915u);
}

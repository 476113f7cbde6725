// The pellorin-sim command line: options reach the device's settings, texts may carry control
// bytes, and a bad option is an error rather than a silent default.
#include <gtest/gtest.h>

#include "sim/SimCommandLine.h"

using namespace sim;

TEST(SimCommandLine, FillsTheDeviceOptionsAndFaults) {
    SimProgramOptions out;
    std::string error;
    ASSERT_TRUE(ParseSimCommandLine({"--com-dir",
                                     "/tmp/p",
                                     "--com",
                                     "4",
                                     "--erase-ms",
                                     "0x10",
                                     "--pace",
                                     "--st-before-erased",
                                     "silent",
                                     "--mcu-block",
                                     "165",
                                     "--mcu-holds",
                                     "old.hex",
                                     "--never-answer",
                                     "SUM",
                                     "--never-answer",
                                     ":efh",
                                     "--wrong-checksum",
                                     "-1",
                                     "--fragment-pauses",
                                     "5,0,20",
                                     "--mis-ack-reply",
                                     "ST4\\x01\\r",
                                     "--summary",
                                     "s.json",
                                     "--ack-on-attempt",
                                     "0"},
                                    out, error))
        << error;
    EXPECT_EQ(out.sim.comDir, "/tmp/p");
    EXPECT_EQ(out.sim.comNumber, 4);
    EXPECT_EQ(out.sim.eraseTimeMs, 16u);
    EXPECT_TRUE(out.sim.pace);
    EXPECT_EQ(out.sim.stBeforeErased, Options::BeforeErased::Silent);
    EXPECT_EQ(out.sim.mcuBlock, 165u);
    EXPECT_EQ(out.sim.mcuHolds, "old.hex");
    EXPECT_EQ(out.sim.faults.neverAnswer, (std::vector<std::string>{"SUM", ":efh"}));
    EXPECT_EQ(out.sim.faults.wrongChecksumTimes, -1);
    EXPECT_EQ(out.sim.faults.fragmentPauseMs, (std::vector<int>{5, 0, 20}));
    EXPECT_EQ(out.sim.faults.misAckReply, std::string("ST4\x01\r"));
    EXPECT_EQ(out.sim.faults.ackOnAttempt, 0);
    EXPECT_EQ(out.summaryFile, "s.json");
    for (const char* version : {"--version", "-V"}) {
        SimProgramOptions asked;
        EXPECT_TRUE(ParseSimCommandLine({version}, asked, error) && asked.version) << version;
    }
}

TEST(SimCommandLine, RefusesUnknownOptionsAndBadValues) {
    std::string error;
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"--com"},
                                               {"--erase-ms", "-5"},
                                               {"--refuse-block", "x"},
                                               {"--fragment-pauses", "5,,7"},
                                               {"--st-before-erased", "maybe"}}) {
        SimProgramOptions out;
        EXPECT_FALSE(ParseSimCommandLine(arguments, out, error)) << arguments[0];
        EXPECT_FALSE(error.empty());
    }
}

// The MCU update end to end against the simulated inverter: hexadecimal block numbers,
// verification after the last block, and the CHKS / CHKF report.
#include "platform/Trace.h"
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::CountPrefix;
using testing_support::MakeHexImage;
using testing_support::SimulatedLine;

namespace {
using Lines = std::vector<std::string>;

class McuUpdate : public SimulatedLine {
  protected:
    sim::Options Options(int records = 30) {
        folder.Write("mcu.hex", MakeHexImage(records, 16, records / 2));
        sim::Options options;
        options.expectImage = folder.File("mcu.hex");
        options.eraseTimeMs = 2000;
        return options;
    }
    Lines Sent() const { return device->ReceivedLines(); }
};

}  // namespace

TEST_F(McuUpdate, AFreshUpdateStoresTheImageAndReportsTheGoodChecksum) {
    platform::TraceCapture traces;
    Start(Options());
    RunJob(kJobMcuUpdate);
    EXPECT_TRUE(traces.Contains("ST1_0000\n")) << "the accepted state line is traced";
    EXPECT_TRUE(device->GetSummary().imageMatches);
    EXPECT_TRUE(device->GetSummary().violations.empty());
    const Lines sent = Sent();
    const std::string raw = device->Received();
    EXPECT_EQ(raw.substr(0, 18), std::string("^S008BAUD192\r:mcu\x01", 18))
        << "the first entry form goes out as formatted: :mcu and the byte 1, no CR";
    EXPECT_EQ(CountPrefix(sent, "SD_"), 32);
    EXPECT_EQ(CountPrefix(sent, "SD_000A:"), 1) << "hexadecimal, upper case";
    const Lines tail(sent.end() - 3, sent.end());
    EXPECT_EQ(tail, (Lines{"SUM", "CHKS", "SV"}));
    const Lines log = Log();
    EXPECT_EQ(log[log.size() - 4], "Verify flash data...............");
    EXPECT_EQ(log[log.size() - 3], "Verify flash data ok!");
    EXPECT_EQ(log[log.size() - 2].rfind("Reflash  case time:", 0), 0u);
    EXPECT_EQ(console->EndSounds(), 1);
}

TEST_F(McuUpdate, ABadChecksumIsReportedWithChkfAndNoLeaveCommand) {
    sim::Options options = Options();
    options.faults.wrongChecksumTimes = -1;
    Start(options);
    RunJob(kJobMcuUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(CountPrefix(sent, "SUM"), 8);
    EXPECT_EQ(sent.back(), "CHKF");
    EXPECT_EQ(CountPrefix(sent, "SV"), 0);
    EXPECT_TRUE(Logged("Verify flash data fail!"));
    EXPECT_EQ(console->EndSounds(), 0);
}

TEST_F(McuUpdate, BlockNumbersAbove255And65535AreHexWithAtLeastFourDigits) {
    sim::Options options = Options(65540);
    options.mcuState = 3;
    options.mcuBlock = 254;
    options.mcuHolds = folder.File("mcu.hex");
    options.faults.stopAfterBlock = 256;
    Start(options);
    RunJob(kJobMcuUpdate);
    EXPECT_EQ(CountPrefix(Sent(), "SD_00FF:"), 1);
    EXPECT_EQ(console->Counters.WrittenBlocks, 256u);
    const int total = static_cast<int>(console->Counters.TotalBlocks.load());
    EXPECT_GT(total, 65540);
    EXPECT_EQ(console->ProgressRange(), std::make_pair(0, total)) << "no 16-bit bar range";
    EXPECT_EQ(console->ProgressPos(), 256);

    console.reset();
    device.reset();
    // The simulated device sums its 65534 held records when asked: under a sanitizer on a busy
    // machine that outlasts the wait for the sum's first byte on a clock run 20 times fast
    // (50 ms; 200 ms at 5 times).
    const platform::ScopedClockScale slowerClock{5.0};
    options = Options(65540);
    options.mcuState = 3;
    options.mcuBlock = 0xFFFE;
    options.mcuHolds = folder.File("mcu.hex");
    options.faults.stopAfterBlock = 0x10000;
    Start(options);
    RunJob(kJobMcuUpdate);
    EXPECT_EQ(CountPrefix(Sent(), "SD_FFFF:"), 1);
    EXPECT_EQ(CountPrefix(Sent(), "SD_10000:"), 1);
}

TEST_F(McuUpdate, ALowerCaseAcknowledgementIsRefused) {
    sim::Options options = Options(300);
    options.mcuState = 3;
    options.mcuBlock = 254;
    options.mcuHolds = folder.File("mcu.hex");
    options.faults.lowerCaseHexAck = true;
    Start(options);
    RunJob(kJobMcuUpdate);
    EXPECT_EQ(CountPrefix(Sent(), "SD_00FF:"), 2);
    EXPECT_TRUE(Logged("Write fail!"));
}

TEST_F(McuUpdate, ABareStateThreeIsCheckedByTheSumAndAnEmptyDeviceGetsTheWholeImage) {
    sim::Options options = Options();
    options.stateReplyOverride = "ST3";  // no block digits: a block past the image's end
    Start(options);
    RunJob(kJobMcuUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(sent[2], "SUM") << "the whole image's sum, before anything else";
    EXPECT_TRUE(Logged(
        "The device holds blocks of another image: erasing it and writing mcu.hex from block 1"))
        << "this device had stored nothing, so its sum differs";
    EXPECT_EQ(CountPrefix(sent, ":efh"), 1);
    EXPECT_EQ(CountPrefix(sent, "SD_"), 32);
    const Lines tail(sent.end() - 3, sent.end());
    EXPECT_EQ(tail, (Lines{"SUM", "CHKS", "SV"}));
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(McuUpdate, AResumeSumsTheSkippedBlocksAndSendsTheRest) {
    sim::Options options = Options();
    options.mcuState = 3;
    options.mcuBlock = 5;
    options.mcuHolds = folder.File("mcu.hex");
    Start(options);
    RunJob(kJobMcuUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(sent[2], "SUM") << "the five blocks held are checked first";
    EXPECT_EQ(CountPrefix(sent, "SD_0006:"), 1);
    EXPECT_EQ(CountPrefix(sent, "SD_0005:"), 0);
    EXPECT_EQ(CountPrefix(sent, "SD_"), 32 - 5);
    EXPECT_TRUE(Logged("Verify flash data ok!"));
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

// The simulator's bootloaders over a real pseudo-terminal: a full DSP and MCU update, the strict
// block rules, the speed checks, the state file and the transcript.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim/HexRecord.h"
#include "tests/sim/SimFixture.h"

using namespace simtest;

namespace {

std::uint16_t SumOf(const std::vector<std::string>& lines, bool skip7FFE) {
    std::uint32_t sum = 0;
    for (const std::string& line : lines) {
        const auto record = sim::ParseHexRecord(line);
        if (!record || record->type != 0) continue;
        if (skip7FFE && record->address == 0x7FFE) continue;
        sum += sim::RecordWordSum(*record);
    }
    return static_cast<std::uint16_t>(sum);
}

std::string SumReply(std::uint16_t sum) {
    char text[16];
    std::snprintf(text, sizeof text, "SUM%04X\r", static_cast<unsigned>(sum));
    return text;
}

// The formats are this file's own literals, some of them deliberately wrong for the device.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string Block(const char* format, int number, const std::string& record) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, format, number);
    return prefix + record + "\r";
}
#pragma GCC diagnostic pop

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("simtest-" + std::to_string(getpid()) + "-" + name))
        .string();
}

}  // namespace

TEST_F(SimTest, DspRunsAFullUpdateAndVerifiesWithoutThe7FFERecord) {
    const auto image = Image(8, 5);
    const std::string path = TempPath("dsp.hex");
    {
        std::ofstream out(path);
        for (const auto& line : image) out << line << "\r\n";
    }
    sim::Options options = Fast();
    options.ysjLine = true;
    options.ysjGapMs = 2000;
    options.expectImage = path;
    Start(options);
    Negotiate("192", B19200);
    // The two lines come as two replies: the state line only once the first has been read.
    m_client->Send(":dsp001\r");
    EXPECT_EQ(m_client->ReadLines(1), "YSJ DSP BOOT V1.0\r");
    EXPECT_EQ(m_client->ReadLines(1), "ST1_0000\r");
    ASSERT_TRUE(m_sim->WaitForLines(++m_handled, 10000));
    ASSERT_EQ(Exchange(":efh\r"), "ST2\r");
    platform::Sleep(150);
    ASSERT_EQ(Exchange(":st\r"), "ST3\r");
    for (int block = 1; block <= 4; ++block)
        ASSERT_EQ(Exchange(Block("SD_%04d", block, image[block - 1])),
                  Block("ST4_%04d", block, ""));
    const std::vector<std::string> beforeVerify(image.begin(), image.begin() + 4);
    EXPECT_EQ(Exchange("SUM\r"), SumReply(SumOf(beforeVerify, true)));
    for (int block = 5; block <= static_cast<int>(image.size()); ++block)
        ASSERT_EQ(Exchange(Block("SD_%04d", block, image[block - 1])),
                  Block("ST4_%04d", block, ""));
    EXPECT_EQ(Exchange("SUM\r"), SumReply(SumOf(image, true)));
    EXPECT_NE(SumOf(image, true), SumOf(image, false));
    EXPECT_EQ(Exchange("SV\r"), "ST6\r");

    const sim::Summary summary = m_sim->GetSummary();
    EXPECT_TRUE(summary.violations.empty()) << summary.violations.front();
    EXPECT_EQ(summary.blocksStored, static_cast<int>(image.size()));
    EXPECT_TRUE(summary.imageMatches);
    EXPECT_EQ(summary.negotiatedBaud, 19200u);
    EXPECT_EQ(summary.commandCounts.at("SD"), static_cast<int>(image.size()));
    EXPECT_EQ(summary.commandCounts.at("SUM"), 2);
    EXPECT_EQ(summary.dspState, 1) << "the device left the bootloader";
    EXPECT_EQ(m_sim->StoredRecords(), image);
    // After leaving, the next entry starts afresh.
    EXPECT_EQ(Exchange(":dsp\r"), "YSJ DSP BOOT V1.0\rST1_0000\r");
    std::remove(path.c_str());
}

TEST_F(SimTest, DspAnswersTheEraseQueryOnlyOnceTheEraseTimeHasPassed) {
    sim::Options options;
    options.eraseTimeMs = 60000;
    options.stBeforeErased = sim::Options::BeforeErased::AnswerSt2;
    Start(options);
    ASSERT_EQ(Exchange(":dsp001\r"), "ST1_0000\r");
    ASSERT_EQ(Exchange(":efh\r"), "ST2\r");
    EXPECT_EQ(Exchange(":st\r"), "ST2\r");
    EXPECT_EQ(Exchange(Block("SD_%04d", 1, Image(1)[0])), "") << "no block while erasing";
    EXPECT_EQ(Exchange(":dsp\r"), "ST2_0000\r");
    EXPECT_TRUE(HasViolation(m_sim->GetSummary(), "block 0001 while the bootloader is in state 2"));
}

TEST_F(SimTest, ByDefaultTheEraseQueryIsAnsweredTheMomentTheEraseIsDone) {
    sim::Options options;
    options.eraseTimeMs = 3000;
    Start(options);
    ASSERT_EQ(Exchange(":dsp001\r"), "ST1_0000\r");
    ASSERT_EQ(Exchange(":efh\r"), "ST2\r");
    const DWORD start = platform::GetTickCount();
    EXPECT_EQ(Exchange(":st\r"), "ST3\r");
    EXPECT_GE(platform::GetTickCount() - start, 2500u) << "the answer waits for the erase";
}

TEST_F(SimTest, DspCanStaySilentWhileErasing) {
    sim::Options options;
    options.eraseTimeMs = 60000;
    options.stBeforeErased = sim::Options::BeforeErased::Silent;
    Start(options);
    ASSERT_EQ(Exchange(":dsp001\r"), "ST1_0000\r");
    ASSERT_EQ(Exchange(":efh\r"), "ST2\r");
    EXPECT_EQ(Exchange(":st\r"), "");
}

TEST_F(SimTest, BlocksMustComeInOrderAsValidRecordsAndAStoredOneIsAcknowledgedAgain) {
    const auto image = Image(4);
    const std::string path = TempPath("four.hex");
    {
        std::ofstream out(path);
        for (const auto& line : image) out << line << "\n";
    }
    sim::Options options = Fast();
    options.expectImage = path;
    Start(options);
    EnterAndErase(":dsp001");
    ASSERT_EQ(Exchange(Block("SD_%04d", 1, image[0])), "ST4_0001\r");
    ASSERT_EQ(Exchange(Block("SD_%04d", 2, image[1])), "ST4_0002\r");
    EXPECT_EQ(Exchange(Block("SD_%04d", 2, image[1])), "ST4_0002\r") << "a lost ack, block resent";
    EXPECT_EQ(Exchange(Block("SD_%04d", 2, image[2])), "") << "resent with another record";
    EXPECT_EQ(Exchange(Block("SD_%04d", 4, image[3])), "") << "a gap";
    EXPECT_EQ(Exchange(Block("SD_%d", 3, image[2])), "") << "not four digits";
    std::string corrupt = image[2];
    corrupt[12] = corrupt[12] == '0' ? '1' : '0';
    EXPECT_EQ(Exchange(Block("SD_%04d", 3, corrupt)), "") << "record checksum wrong";
    EXPECT_EQ(Exchange(Block("SD_%04d", 3, image[2])), "ST4_0003\r");
    EXPECT_EQ(Exchange("BOGUS\r"), "");

    const sim::Summary summary = m_sim->GetSummary();
    EXPECT_EQ(summary.blocksStored, 3);
    EXPECT_EQ(summary.resumeBlock, 3u);
    EXPECT_FALSE(summary.imageMatches) << "three of the image's four lines";
    std::remove(path.c_str());
    EXPECT_TRUE(HasViolation(summary, "sent again with another record"));
    EXPECT_TRUE(HasViolation(summary, "block 0004 out of order; expected block 0003"));
    EXPECT_TRUE(HasViolation(summary, "is not in the form %04d"));
    EXPECT_TRUE(HasViolation(summary, "does not carry one valid record"));
    EXPECT_TRUE(HasViolation(summary, "unknown command \"BOGUS\""));
}

TEST_F(SimTest, McuTakesTheGluedFirstEntryFormHexBlocksAndTheCheckResults) {
    const auto image = Image(10, 3);  // 11 lines, the 7FFE record on line 3
    Start(Fast());
    Negotiate("192", B9600);  // the MCU runs at 9600 after BAUD192
    m_client->Send(std::string(":mcu\x01", 5));
    EXPECT_EQ(m_client->ReadFor(50), "") << "no CR, no answer";
    EXPECT_EQ(Exchange(":mcu\r"), "ST1_0000\r");
    EXPECT_EQ(m_sim->ReceivedLines().back(), std::string(":mcu\x01:mcu", 9));
    ASSERT_EQ(Exchange(":efh\r"), "ST2\r");
    platform::Sleep(150);
    ASSERT_EQ(Exchange(":st\r"), "ST3\r");
    for (int block = 1; block <= 9; ++block)
        ASSERT_EQ(Exchange(Block("SD_%04X", block, image[block - 1])),
                  Block("ST4_%04X", block, ""));
    EXPECT_EQ(Exchange(Block("SD_%04d", 10, image[9])), "") << "decimal 10 is block 0x10";
    EXPECT_EQ(Exchange(Block("SD_%04x", 10, image[9])), "") << "lower-case hex";
    EXPECT_EQ(Exchange(Block("SD_%04X", 10, image[9])), "ST4_000A\r");
    EXPECT_EQ(Exchange(Block("SD_%04X", 11, image[10])), "ST4_000B\r");
    EXPECT_EQ(Exchange("SUM\r"), SumReply(SumOf(image, false))) << "the 7FFE record counts";
    EXPECT_EQ(Exchange(":mcu\r"), "ST3_000B\r");
    EXPECT_EQ(Exchange("CHKS\r"), "ST5\r");
    EXPECT_EQ(Exchange("CHKF\r"), "ST1\r");
    EXPECT_EQ(Exchange(":mcu\r"), "ST1_0000\r") << "a failed check asks for a new download";
    EXPECT_EQ(Exchange("SV\r"), "ST6\r");

    const sim::Summary summary = m_sim->GetSummary();
    EXPECT_EQ(summary.mcuBlocksStored, 11);
    EXPECT_EQ(summary.dspBlocksStored, 0);
    EXPECT_EQ(summary.commandCounts.at(":mcu"), 3);
    EXPECT_TRUE(HasViolation(summary, "is not upper-case hex"));
    EXPECT_TRUE(HasViolation(summary, "block 0010 out of order; expected block 000A"));
    EXPECT_EQ(summary.violations.size(), 2u);
}

TEST_F(SimTest, SpeedIsCheckedAtEveryLine) {
    Start(Fast());
    // No negotiation yet: the device listens at 2400.
    m_client->SetLine(B19200, 1);
    EXPECT_EQ(Exchange(":dsp001\r"), "");
    m_client->SetLine(B9600, 1);
    EXPECT_EQ(Exchange("^S008BAUD192\r"), "") << "the speed command must come at 2400";
    m_client->SetLine(B2400, 2);
    EXPECT_EQ(Exchange("^S008BAUD192\r"), "^D006ACK\r") << "two stop bits still read, but noted";
    m_client->SetLine(B9600, 1);
    EXPECT_EQ(Exchange(":dsp001\r"), "") << "the DSP runs at 19200 after BAUD192";
    EXPECT_EQ(Exchange(":mcu\r"), "ST1_0000\r") << "the MCU runs at 9600 after BAUD192";
    EXPECT_EQ(Exchange(":st\r"), "ST1\r") << "so does every line while the MCU is selected";
    m_client->SetLine(B19200, 1);
    EXPECT_EQ(Exchange(":dsp\r"), "ST1_0000\r");
    m_client->SetLine(B2400, 1);
    EXPECT_EQ(Exchange("^S008BAUD384\r"), "^D006ACK\r");
    m_client->SetLine(B38400, 1);
    EXPECT_EQ(Exchange(":mcu\r"), "ST1_0000\r") << "only BAUD192 runs the MCU slower";

    const sim::Summary summary = m_sim->GetSummary();
    EXPECT_EQ(summary.negotiatedBaud, 38400u);
    EXPECT_EQ(summary.violations.size(), 4u);
    EXPECT_TRUE(
        HasViolation(summary, "\":dsp001\" arrived at 19200 baud; the device listens at 2400"));
    EXPECT_TRUE(HasViolation(summary, "\"^S008BAUD192\" arrived at 9600 baud"));
    EXPECT_TRUE(HasViolation(summary, "arrived with 2 stop bits"));
    EXPECT_TRUE(
        HasViolation(summary, "\":dsp001\" arrived at 9600 baud; the device listens at 19200"));
    const auto transcript = m_sim->Transcript();
    ASSERT_EQ(transcript.size(), 9u);
    EXPECT_EQ(transcript[0].baudAtArrival, 19200u);
    EXPECT_EQ(transcript[2].stopBitsAtArrival, 2);
}

TEST_F(SimTest, AnInterruptedUpdateResumesFromTheStateFile) {
    const auto image = Image(5);
    const std::string stateFile = TempPath("state.txt");
    std::remove(stateFile.c_str());
    sim::Options options = Fast();
    options.stateFile = stateFile;
    Start(options);
    EnterAndErase(":dsp001");
    for (int block = 1; block <= 3; ++block)
        ASSERT_EQ(Exchange(Block("SD_%04d", block, image[block - 1])),
                  Block("ST4_%04d", block, ""));
    m_client.reset();
    m_sim.reset();

    Start(options);
    EXPECT_EQ(Exchange(":dsp001\r"), "ST3_0003\r");
    EXPECT_EQ(Exchange(Block("SD_%04d", 4, image[3])), "ST4_0004\r");
    const std::vector<std::string> firstFour(image.begin(), image.begin() + 4);
    EXPECT_EQ(Exchange("SUM\r"), SumReply(SumOf(firstFour, true)));
    EXPECT_EQ(Exchange("SV\r"), "ST6\r");
    m_client.reset();
    m_sim.reset();

    Start(options);
    EXPECT_EQ(Exchange(":dsp001\r"), "ST1_0000\r") << "after leaving, a new update starts afresh";
    EXPECT_EQ(m_sim->StoredRecords(sim::Target::Dsp), firstFour) << "the flash keeps its data";
    m_client.reset();
    m_sim.reset();

    std::ofstream(stateFile) << "not a state file\n";
    sim::SimInverter broken(options);
    EXPECT_FALSE(broken.Start());
    std::remove(stateFile.c_str());
}

TEST_F(SimTest, ADeviceCanStartHoldingTheHeadOfAnImage) {
    const auto image = Image(6, 3);
    const std::string held = TempPath("held.hex");
    {
        std::ofstream file(held);
        for (const std::string& line : image) file << line << "\r\n";
    }
    sim::Options options = Fast();
    options.dspState = 3;
    options.dspBlock = 4;
    options.dspHolds = held;
    Start(options);
    EXPECT_EQ(Exchange(":dsp001\r"), "ST3_0004\r");
    const std::vector<std::string> head(image.begin(), image.begin() + 4);
    EXPECT_EQ(m_sim->StoredRecords(sim::Target::Dsp), head);
    EXPECT_EQ(Exchange("SUM\r"), SumReply(SumOf(head, true)));
    EXPECT_EQ(Exchange(Block("SD_%04d", 5, image[4])), "ST4_0005\r");
    m_client.reset();
    m_sim.reset();

    options.dspHolds = TempPath("missing.hex");
    sim::SimInverter unreadable(options);
    EXPECT_FALSE(unreadable.Start());
    std::remove(held.c_str());
}

TEST_F(SimTest, TranscriptAndSummaryShowEveryByte) {
    sim::Options options = Fast();
    options.comDir = std::filesystem::temp_directory_path().string();
    options.comNumber = 900 + getpid() % 90;
    Start(options);
    EXPECT_EQ(m_sim->ComPath(), options.comDir + "/com" + std::to_string(options.comNumber));
    EXPECT_EQ(std::filesystem::read_symlink(m_sim->ComPath()).string(), m_sim->SlavePath());
    m_client->Send(std::string(":mcu\x01", 5));
    EXPECT_EQ(Exchange(":mcu\r"), "ST1_0000\r");
    EXPECT_EQ(m_sim->Received(), std::string(":mcu\x01:mcu\r", 10));
    const auto transcript = m_sim->Transcript();
    ASSERT_EQ(transcript.size(), 1u);
    EXPECT_EQ(transcript[0].reply, "ST1_0000\r");
    EXPECT_EQ(transcript[0].baudAtArrival, 2400u);
    const std::string jsonl = m_sim->TranscriptJsonLines();
    EXPECT_NE(jsonl.find(R"("received":":mcu\u0001:mcu","reply":"ST1_0000\r")"), std::string::npos)
        << jsonl;
    const std::string json = m_sim->SummaryJson();
    EXPECT_NE(json.find(R"("commandCounts":{":mcu":1})"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("selected":"mcu")"), std::string::npos) << json;
    const std::string link = m_sim->ComPath();
    m_sim->Stop();
    EXPECT_FALSE(std::filesystem::is_symlink(link)) << "the link goes with the device";
}

TEST_F(SimTest, PacingTakesTenBitsAByteInEachDirection) {
    platform::ScopedClockScale slower(4);
    sim::Options options;
    options.pace = true;
    Start(options);
    // Five exchanges, one after the other as the tool makes them: an entry command of 8 bytes
    // and its reply of 9 bytes at 2400 baud, 85 bytes and 354 program ms on the line.
    const DWORD before = platform::GetTickCount();
    std::string replies;
    for (int i = 0; i < 5; ++i) replies += m_client->Ask(":dsp001\r");
    const DWORD elapsed = platform::GetTickCount() - before;
    EXPECT_EQ(replies.size(), 45u);
    EXPECT_GE(elapsed, 354u * 95 / 100);
    EXPECT_LE(elapsed, 354u * 2);
}

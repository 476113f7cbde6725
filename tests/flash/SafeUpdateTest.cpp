// The edges where a device could be erased for nothing or a result could read better than it
// is, against the simulated inverter: refused images, an image changed under the tool, the
// verification line, a resume point the image does not have, a reply flood, the erase time of a
// resumed job.
#include <cstdio>
#include <cstdlib>

#include "flash/ImageCheck.h"
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::CountPrefix;
using testing_support::MakeHexImage;
using testing_support::SimulatedLine;

namespace {
using Lines = std::vector<std::string>;

constexpr const char* kNotChecked =
    "Verify flash data not checked: the device did not send its sum";

// The image's lines (CR LF ends), with line `number` (from 1) replaced.
std::string WithLine(const std::string& image, int number, const std::string& replacement) {
    std::string result;
    std::size_t at = 0;
    for (int line = 1; at < image.size(); ++line) {
        const std::size_t end = image.find("\r\n", at);
        result += (line == number ? replacement : image.substr(at, end - at)) + "\r\n";
        at = end + 2;
    }
    return result;
}

class SafeUpdate : public SimulatedLine {
  protected:
    void Restart(const sim::Options& options) {
        console.reset();
        device.reset();
        Start(options);
    }
    Lines Sent() const { return device->ReceivedLines(); }
    // The line logged right after `line`, "" if none.
    std::string LoggedAfter(const std::string& line) const {
        const Lines log = Log();
        const auto found = std::find(log.begin(), log.end(), line);
        return found == log.end() || found + 1 == log.end() ? "" : *(found + 1);
    }
    void ExpectFailedPhase() {
        for (int i = 0; i < 100 && !console->PhaseSeen(kPhaseFailed); ++i) platform::Sleep(100);
        EXPECT_TRUE(console->PhaseSeen(kPhaseFailed));
    }
};

}  // namespace

TEST_F(SafeUpdate, ARefusedImageSendsNothingButTheLeaveCommandOnce) {
    const std::string good = MakeHexImage(10);  // 10 data records and the end-of-file record
    struct Case {
        const char* file;
        std::string content;
        const char* total;
        const char* reason;
    } cases[] = {
        {"dsp.hex", WithLine(good, 5, ":10004000" + std::string(34, '0')), "Total blocks:11",
         "dsp.hex line 5: record checksum is 00, expected B0"},
        {"dsp.hex", WithLine(good, 3, ":10002000" + std::string(31, '0') + "g00"),
         "Total blocks:11", "dsp.hex line 3: 'g' at column 41 is not a hex digit"},
        {"dsp.hex", WithLine(good, 4, ":1100300000"), "Total blocks:11",
         "dsp.hex line 4: byte count 11 needs 45 characters, the line has 11"},
        {"dsp.hex", good.substr(0, good.find("\r\n", good.size() / 2) - 7), "Total blocks:6",
         "dsp.hex line 6: byte count 10 needs 43 characters, the line has 36"},
        {"dsp.hex", "", "Total blocks:0", "dsp.hex: the image is empty"},
        {"mcu.hex", ":00000001FF\r\n", "Total blocks:1", "mcu.hex: the image holds no data record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        std::remove(folder.File("dsp.hex").c_str());
        std::remove(folder.File("mcu.hex").c_str());
        folder.Write(c.file, c.content);
        Restart({});
        RunJob(std::string(c.file) == "dsp.hex" ? kJobDspUpdate : kJobMcuUpdate);
        EXPECT_EQ(Sent(), (Lines{"^S008BAUD192", "SV"}))
            << "no entry, no erase: the device keeps its firmware";
        EXPECT_EQ(LoggedAfter(c.total), c.reason);
        EXPECT_EQ(Log().back(), "Com was closed");
        EXPECT_FALSE(console->PhaseSeen(kPhaseProgramming));
    }
}

TEST_F(SafeUpdate, AnImageChangedAfterItsCheckIsNoticedBeforeAChangedLineGoesOut) {
    // Changed during the erase: no block at all goes out.
    folder.Write("dsp.hex", MakeHexImage(40));
    sim::Options options;
    options.eraseTimeMs = 20000;
    Restart(options);
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM1"));
    ASSERT_TRUE(device->WaitForLines(3, 60000));  // speed, entry, erase
    folder.Write("dsp.hex", MakeHexImage(41));
    ASSERT_TRUE(console->WaitForJobEnd(600000));
    EXPECT_EQ(CountPrefix(Sent(), "SD_"), 0);
    EXPECT_EQ(LoggedAfter("Program flash.........."),
              "dsp.hex changed after it was checked (lines 1 to 256): no changed line is sent");
    EXPECT_EQ(Log()[Log().size() - 2], "Write fail!");
    ExpectFailedPhase();

    // Rewritten in place while the blocks go out: the lines checked are sent, then it stops.
    folder.Write("dsp.hex", MakeHexImage(600));
    options.eraseTimeMs = 100;
    options.blockWriteTimeMs = 40;
    Restart(options);
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM1"));
    ASSERT_TRUE(device->WaitForLines(4 + 50, 600000));
    folder.Write("dsp.hex", MakeHexImage(600, 8));
    ASSERT_TRUE(console->WaitForJobEnd(600000));
    EXPECT_EQ(CountPrefix(Sent(), "SD_"), 256);
    EXPECT_EQ(CountPrefix(Sent(), "SD_0257"), 0);
    EXPECT_TRUE(
        Logged("dsp.hex changed after it was checked (lines 257 to 512): no changed line is sent"));
    EXPECT_TRUE(Logged("Write fail!"));
}

TEST_F(SafeUpdate, ASumThatWasNotCheckedIsNeverReportedAsOk) {
    for (const int job : {kJobDspUpdate, kJobMcuUpdate}) {
        SCOPED_TRACE(job);
        folder.Write(job == kJobDspUpdate ? "dsp.hex" : "mcu.hex", MakeHexImage(40, 16, 30));
        sim::Options options;
        options.faults.sumReplyOverride = "ST3";  // answers SUM, never with a sum
        Restart(options);
        RunJob(job);
        EXPECT_TRUE(Logged(kNotChecked));
        EXPECT_FALSE(Logged("Verify flash data ok!"));
        EXPECT_EQ(CountPrefix(Sent(), "SD_"), 42) << "the run goes on as before";
        EXPECT_EQ(Sent().back(), "SV");
        EXPECT_EQ(console->EndSounds(), 1);
    }
}

TEST_F(SafeUpdate, AResumePointPastTheImageEndSucceedsOnlyOnAMatchingDeviceSum) {
    const std::string image = MakeHexImage(30, 16, 15);  // 32 lines
    folder.Write("mcu.hex", image);
    folder.Write("dsp.hex", image);
    char matching[16];
    std::snprintf(matching, sizeof matching, "SUM%04X", CheckImageText(image).WholeSum);
    struct Case {
        int job;
        const char* state;
        std::string sumReply;  // "" as the device computes it (it stored nothing)
        const char* reported;
        bool succeeds;
    } cases[] = {
        {kJobMcuUpdate, "ST3", "ST3", "The device reports block 152915, mcu.hex has 32 blocks",
         false},
        {kJobMcuUpdate, "ST3_0020", "", "The device reports block 32, mcu.hex has 32 blocks",
         false},
        {kJobMcuUpdate, "ST3_FFFF", matching,
         "The device reports block 65535, mcu.hex has 32 blocks", true},
        {kJobDspUpdate, "ST3_9999", matching,
         "The device reports block 9999, dsp.hex has 32 blocks", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        sim::Options options;
        options.stateReplyOverride = c.state;
        options.faults.sumReplyOverride = c.sumReply;
        Restart(options);
        RunJob(c.job);
        const Lines sent = Sent();
        EXPECT_EQ(CountPrefix(sent, "SD_"), 0);
        EXPECT_EQ(LoggedAfter("Program flash.........."), c.reported);
        EXPECT_EQ(Logged("Verify flash data fail!"), !c.succeeds);
        EXPECT_EQ(console->EndSounds(), c.succeeds ? 1 : 0);
        if (c.job == kJobDspUpdate) {
            EXPECT_EQ(CountPrefix(sent, "SUM"), 0);
            EXPECT_EQ(sent.back(), "SV");
        } else {
            EXPECT_EQ(sent.back(), c.succeeds ? "SV" : "CHKF");
            EXPECT_EQ(CountPrefix(sent, "CHKS"), c.succeeds ? 1 : 0);
        }
    }
}

TEST_F(SafeUpdate, AFloodWithoutCarriageReturnCostsOneRetryNotTheUpdate) {
    folder.Write("dsp.hex", MakeHexImage(10));
    sim::Options options;
    options.expectImage = folder.File("dsp.hex");
    options.pace = true;  // at 4800 baud the flood takes more than a second to arrive
    options.eraseTimeMs = 100;
    options.faults.garbageAtBlock = 5;  // 600 bytes without CR instead of block 5's acknowledgement
    Restart(options);
    console->SelectBaudIndex(0);
    RunJob(kJobDspUpdate);
    EXPECT_EQ(CountPrefix(Sent(), "SD_0005"), 2);
    EXPECT_FALSE(Logged("Write fail!"));
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(SafeUpdate, TheEraseTimeOfAResumedJobCountsFromThatJobsStart) {
    folder.Write("dsp.hex", MakeHexImage(40, 16, 30));
    sim::Options options;
    options.faults.refuseBlock =
        5;  // the first job erases and stops at block 5, so does the second
    Restart(options);
    RunJob(kJobDspUpdate);
    RunJob(kJobDspUpdate);  // the device reports state 3: no erase in this job
    const Lines log = Log();
    const auto ticks = console->LogTicksOldestFirst();
    const auto closed = std::find(log.begin(), log.end(), "Com was closed") - log.begin();
    std::size_t eraseLine = 0;
    for (std::size_t i = static_cast<std::size_t>(closed); i < log.size(); ++i) {
        if (log[i].rfind("Erase case time:", 0) == 0) eraseLine = i;
    }
    ASSERT_NE(eraseLine, 0u);
    EXPECT_EQ(CountPrefix(log, "Ereasing flash"), 1);
    const DWORD shown = static_cast<DWORD>(std::strtoul(log[eraseLine].c_str() + 16, nullptr, 10));
    EXPECT_LE(shown, ticks[eraseLine] - ticks[static_cast<std::size_t>(closed)])
        << "not since the first job's erase";
}

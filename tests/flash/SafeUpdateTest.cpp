// The edges where a device could be erased for nothing or a result could read better than it
// is, against the simulated inverter: refused images, an image changed under the tool, the
// verification line, a resume point the image does not have, a reply flood, the erase time of a
// resumed job.
#include <cstdio>
#include <cstdlib>

#include "flash/ImageCheck.h"
#include "flash/IntelHexRecord.h"
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
    folder.Write("dsp.hex", MakeHexImage(40, 16, 30));
    sim::Options options;
    options.eraseTimeMs = 20000;
    Restart(options);
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM1"));
    ASSERT_TRUE(device->WaitForLines(3, 60000));  // speed, entry, erase
    folder.Write("dsp.hex", MakeHexImage(41, 16, 30));
    ASSERT_TRUE(console->WaitForJobEnd(600000));
    EXPECT_EQ(CountPrefix(Sent(), "SD_"), 0);
    EXPECT_EQ(LoggedAfter("Program flash.........."),
              "dsp.hex changed after it was checked (lines 1 to 256): no changed line is sent");
    EXPECT_EQ(Log()[Log().size() - 2], "Write fail!");
    ExpectFailedPhase();

    // Rewritten in place while the blocks go out: the lines checked are sent, then it stops.
    folder.Write("dsp.hex", MakeHexImage(600, 16, 300));
    options.eraseTimeMs = 100;
    options.blockWriteTimeMs = 40;
    Restart(options);
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM1"));
    ASSERT_TRUE(device->WaitForLines(4 + 50, 600000));
    folder.Write("dsp.hex", MakeHexImage(600, 8, 300));
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
        EXPECT_EQ(console->Link().Outcome.load(), JobOutcome::Updated);
        EXPECT_EQ(console->Link().Verified.load(), Verification::NotChecked);
    }
}

TEST_F(SafeUpdate, AResumePointPastTheImageEndIsTakenOnlyOnAMatchingDeviceSum) {
    const std::string image = MakeHexImage(30, 16, 15);  // 32 lines, 7FFE on line 16
    folder.Write("mcu.hex", image);
    folder.Write("dsp.hex", image);
    const ImageFacts facts = CheckImageText(image);
    // The DSP's sum leaves its verification record out; the MCU's takes every data record.
    unsigned dspSum = 0;
    for (std::size_t at = 0, end; (end = image.find("\r\n", at)) != std::string::npos; at = end + 2)
        if (image.compare(at + 3, 4, "7FFE") != 0 && image.compare(at + 7, 2, "00") == 0)
            dspSum += RecordWordSum(image.substr(at, end - at) + "\r");
    char mcuMatching[16];
    char dspMatching[16];
    std::snprintf(mcuMatching, sizeof mcuMatching, "SUM%04X", facts.WholeSum);
    std::snprintf(dspMatching, sizeof dspMatching, "SUM%04X", dspSum & 0xFFFFu);
    const std::string rewrite = ": erasing it and writing mcu.hex from block 1";
    struct Case {
        int job;
        const char* state;
        std::string sumReply;  // "" as the device computes it (it stored nothing)
        std::string reported;
        int blocksSent;
        Verification verified;
    } cases[] = {
        {kJobMcuUpdate, "ST3", "ST3",
         "The device reports block 152915, mcu.hex has 32 blocks, and it sends no sum" + rewrite,
         32, Verification::NotChecked},
        {kJobMcuUpdate, "ST3_0020", "", "The device holds blocks of another image" + rewrite, 32,
         Verification::Confirmed},
        {kJobMcuUpdate, "ST3_FFFF", mcuMatching,
         "The device holds all 32 blocks of mcu.hex: nothing is left to send", 0,
         Verification::Confirmed},
        {kJobDspUpdate, "ST3_9999", dspMatching,
         "The device holds all 32 blocks of dsp.hex: nothing is left to send", 0,
         Verification::Confirmed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        sim::Options options;
        options.stateReplyOverride = c.state;
        options.faults.sumReplyOverride = c.sumReply;
        Restart(options);
        RunJob(c.job);
        const Lines sent = Sent();
        EXPECT_EQ(sent[2], "SUM");
        EXPECT_EQ(LoggedAfter("Total blocks:32"), c.reported);
        EXPECT_EQ(CountPrefix(sent, ":efh"), c.blocksSent == 0 ? 0 : 1);
        EXPECT_EQ(CountPrefix(sent, "SD_"), c.blocksSent);
        EXPECT_EQ(console->Link().Outcome.load(), JobOutcome::Updated);
        EXPECT_EQ(console->Link().Verified.load(), c.verified);
        EXPECT_EQ(console->EndSounds(), 1);
        EXPECT_EQ(sent.back(), "SV");
        if (c.job == kJobMcuUpdate) {
            EXPECT_EQ(CountPrefix(sent, "CHKS"), 1);
        }
    }
}

TEST_F(SafeUpdate, AResumeAddsNothingToAnotherImagesHead) {
    // Each device stopped in an earlier update: of this image or of another one (same shape,
    // other data), before or past the DSP's verification point (line 31), with or without a sum.
    folder.Write("dsp.hex", MakeHexImage(40, 16, 30));
    folder.Write("mcu.hex", MakeHexImage(40, 16, 30));
    folder.Write("old.hex", MakeHexImage(40, 16, 30, 2));
    struct Case {
        const char* name;
        int job;
        std::uint32_t held;
        bool sameImage;
        bool sendsSum;
        bool erased;  // the device is erased and gets the whole image
        Verification verified;
    } cases[] = {
        {"DSP, other image before the verification point", kJobDspUpdate, 20, false, true, true,
         Verification::Confirmed},
        {"DSP, other image past the verification point", kJobDspUpdate, 35, false, true, true,
         Verification::Confirmed},
        {"MCU, other image", kJobMcuUpdate, 20, false, true, true, Verification::Confirmed},
        {"DSP, this image, no sum", kJobDspUpdate, 35, true, false, false,
         Verification::NotChecked},
        {"MCU, other image, no sum", kJobMcuUpdate, 20, false, false, false,
         Verification::NotChecked},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool dsp = c.job == kJobDspUpdate;
        const std::string name = dsp ? "dsp.hex" : "mcu.hex";
        sim::Options options;
        options.expectImage = folder.File(name);
        (dsp ? options.dspState : options.mcuState) = 3;
        (dsp ? options.dspBlock : options.mcuBlock) = c.held;
        (dsp ? options.dspHolds : options.mcuHolds) = folder.File(c.sameImage ? name : "old.hex");
        if (!c.sendsSum) options.faults.sumReplyOverride = "ST3";
        Restart(options);
        RunJob(c.job);
        const Lines sent = Sent();
        EXPECT_EQ(sent[2], "SUM") << "asked before the first block";
        EXPECT_EQ(CountPrefix(sent, ":efh"), c.erased ? 1 : 0);
        EXPECT_EQ(CountPrefix(sent, "SD_"), c.erased ? 42 : 42 - static_cast<int>(c.held));
        EXPECT_EQ(Logged("The device holds blocks of another image: erasing it and writing " +
                         name + " from block 1"),
                  c.erased);
        if (!c.sendsSum) {
            EXPECT_TRUE(Logged("The device sends no sum: blocks 1 to " + std::to_string(c.held) +
                               " are taken unchecked, resuming at block " +
                               std::to_string(c.held + 1)));
        }
        EXPECT_EQ(device->GetSummary().imageMatches, c.erased || c.sameImage);
        EXPECT_EQ(console->Link().Outcome.load(), JobOutcome::Updated);
        EXPECT_EQ(console->Link().Verified.load(), c.verified);
    }

    // A line that goes away while the device is asked for its sum ends the job as a line lost
    // on the way into the bootloader does.
    sim::Options options;
    options.dspState = 3;
    options.dspBlock = 20;
    options.dspHolds = folder.File("dsp.hex");
    options.faults.stepFaults.push_back({"^SUM$", 1, sim::StepFault::Kind::HangUp});
    Restart(options);
    RunJob(kJobDspUpdate);
    const Lines log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.end() - 3, log.end()),
              (Lines{"COM1 was disconnected!", "connect fail", "Com was closed"}));
    EXPECT_EQ(CountPrefix(Sent(), "SD_"), 0);
    EXPECT_EQ(console->Counters.FlashPhase.load(), kPhaseFailed);
}

TEST_F(SafeUpdate, AFullUpdateErasesADeviceThatCouldResume) {
    folder.Write("dsp.hex", MakeHexImage(40, 16, 30));
    sim::Options options;
    options.expectImage = folder.File("dsp.hex");
    options.dspState = 3;
    options.dspBlock = 20;
    options.dspHolds = folder.File("dsp.hex");
    Restart(options);
    console->Link().FullUpdate = true;
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(sent[2], ":efh") << "no sum asked: the device is erased whatever it holds";
    EXPECT_TRUE(Logged("A full update was asked for: erasing the device first"));
    EXPECT_EQ(CountPrefix(sent, "SD_"), 42);
    EXPECT_TRUE(device->GetSummary().imageMatches);
    EXPECT_EQ(console->Link().Verified.load(), Verification::Confirmed);
}

TEST_F(SafeUpdate, AFloodWithoutCarriageReturnCostsOneRetryNotTheUpdate) {
    folder.Write("dsp.hex", MakeHexImage(10, 16, 8));
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

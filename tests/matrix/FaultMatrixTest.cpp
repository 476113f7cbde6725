// The fault matrix: every step of the DSP and MCU updates meets every fault the simulated
// inverter can put on that step. Each cell states how the job must end (the log's closing line,
// the phase, whether the device holds the image) and checks what every job owes the operator
// whatever happened on the line: it ends within its bound, the port is closed, no descriptor,
// thread or memory is left behind, and a later run against the same device completes the image.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::MakeHexImage;
using testing_support::SimulatedLine;
using Kind = sim::StepFault::Kind;

namespace {

enum class Outcome {
    Updated,           // the image is in and verified; the end sound played
    UpdatedUnchecked,  // the image is in; the device answered SUM with other lines
    ConnectFail,       // "connect fail": the device never reached its programming state
    WriteFail,         // "Write fail!": a block (or the line) failed while programming
    VerifyFail,        // "Verify flash data fail!"
    SetupFail,         // " Setup serial port  fail!": the line went away before the new speed
    // Either way is honest: the DSP's late sum replies, answered one by one to the tries that
    // queued up meanwhile, may still be arriving when the next block goes out.
    UpdatedOrWriteFail,
};

// One row: a step of one procedure, found on the wire by the line it sends.
struct Step {
    const char* name;
    int jobMode;
    const char* pattern;  // searched in the line the tool sends, CR stripped
    // The step is only reached when this fault is on too (the second entry form, CHKF).
    const char* setupPattern = nullptr;
    Kind setupKind = Kind::Silence;
    bool wrongSum = false;
};

// The images: DSP, six data records with the 7FFE record after the fourth (blocks 1-4 data, 5 the
// verification record, 6-7 data, 8 end of file); MCU, six data records and end of file (7 blocks).
constexpr int kDspRecords = 6;
constexpr int kDspSentinelAfter = 4;
constexpr int kMcuRecords = 6;

const Step kSteps[] = {
    {"DspSpeed", kJobDspUpdate, "^\\^S008BAUD"},
    {"DspEntryFirstForm", kJobDspUpdate, "^:dsp001$"},
    {"DspEntrySecondForm", kJobDspUpdate, "^:dsp$", "^:dsp001$"},
    {"DspErase", kJobDspUpdate, "^:efh$"},
    {"DspEndOfErase", kJobDspUpdate, "^:st$"},
    {"DspFirstBlock", kJobDspUpdate, "^SD_0001:"},
    {"DspMiddleBlock", kJobDspUpdate, "^SD_0003:"},
    {"DspVerificationRecord", kJobDspUpdate, "^SD_0005:"},
    {"DspLastBlock", kJobDspUpdate, "^SD_0008:"},
    {"DspSum", kJobDspUpdate, "^SUM$"},
    {"DspLeave", kJobDspUpdate, "^SV$"},
    {"McuSpeed", kJobMcuUpdate, "^\\^S008BAUD"},
    // The MCU's first entry form ends in the byte 1, not a CR: the device sees it only as the
    // head of the next line, so its own faults cannot be told from those of the second form.
    {"McuEntry", kJobMcuUpdate, ":mcu$"},
    {"McuErase", kJobMcuUpdate, "^:efh$"},
    {"McuEndOfErase", kJobMcuUpdate, "^:st$"},
    {"McuFirstBlock", kJobMcuUpdate, "^SD_0001:"},
    {"McuMiddleBlock", kJobMcuUpdate, "^SD_0003:"},
    {"McuLastBlock", kJobMcuUpdate, "^SD_0007:"},
    {"McuSum", kJobMcuUpdate, "^SUM$"},
    {"McuChecksumGood", kJobMcuUpdate, "^CHKS$"},
    {"McuChecksumBad", kJobMcuUpdate, "^CHKF$", nullptr, Kind::Silence, true},
    {"McuLeave", kJobMcuUpdate, "^SV$"},
};

struct FaultColumn {
    const char* name;
    Kind kind;
    int occurrence;  // 0: every time the step comes; 1: the first time only
};

// Silence, wrong and lower-case replies are the device's way at that step (every time); the
// others strike once, as a line disturbance does.
const FaultColumn kFaults[] = {
    {"Silence", Kind::Silence, 0},     {"LostReply", Kind::LostReply, 1},
    {"Garbage", Kind::Garbage, 1},     {"WrongReply", Kind::WrongReply, 0},
    {"LowerCase", Kind::LowerCase, 0}, {"SlowFragments", Kind::Fragments, 0},
    {"Flood600", Kind::Flood, 1},      {"NoiseAround", Kind::Noise, 1},
    {"LateReply", Kind::Late, 1},      {"HangUp", Kind::HangUp, 1},
};

bool IsDsp(const Step& step) { return step.jobMode == kJobDspUpdate; }
bool Named(const Step& step, const char* suffix) {
    return std::string(step.name).find(suffix) != std::string::npos;
}

// How a job must end when this fault strikes this step.
Outcome Expected(const Step& step, const FaultColumn& fault) {
    if (step.wrongSum) return Outcome::VerifyFail;  // whatever happens around CHKF
    const bool speed = Named(step, "Speed");
    const bool entry = Named(step, "Entry");
    const bool erase = Named(step, "Erase");  // the erase and the end-of-erase query
    const bool block = Named(step, "Block") || Named(step, "Record");
    const bool sum = Named(step, "Sum");
    // Neither the leave command's nor CHKS's reply is looked at: the image is in and verified.
    const bool unchecked = Named(step, "Leave") || Named(step, "ChecksumGood");
    // The step's own failure, once its tries are used up.
    const Outcome failure = block ? Outcome::WriteFail
                            : sum ? Outcome::VerifyFail
                                  : Outcome::ConnectFail;
    // Whatever the device does with the first entry form, the second one follows and is heard.
    if (Named(step, "EntryFirstForm") && fault.kind != Kind::HangUp) return Outcome::Updated;
    switch (fault.kind) {
        case Kind::LostReply:
        case Kind::Garbage:
        case Kind::Fragments:
        case Kind::Flood:
        case Kind::Noise:
            return Outcome::Updated;  // the step's next try gets the reply
        case Kind::Silence:
            if (unchecked) return Outcome::Updated;
            // The tool moves to the working speed without an acknowledgement; the device,
            // which never heard the speed command, stays at 2400 and hears nothing more.
            return failure;
        case Kind::WrongReply:
            // A mis-acknowledged speed command still moved the device: the job runs.
            if (speed || unchecked) return Outcome::Updated;
            // A state reply with a wrong last digit is still a state reply.
            if (entry) return Outcome::Updated;
            return failure;
        case Kind::LowerCase:
            if (speed || unchecked) return Outcome::Updated;
            // "sum..." is not a sum reply: the update goes on, and says the sum was not checked.
            if (sum) return Outcome::UpdatedUnchecked;
            return failure;
        case Kind::Late:
            // A reply 20 s late is taken by a later try of every step but a block, whose two
            // tries are over after 6 s.
            if (sum && IsDsp(step)) return Outcome::UpdatedOrWriteFail;
            return block ? Outcome::WriteFail : Outcome::Updated;
        case Kind::HangUp:
            if (unchecked) return Outcome::Updated;
            // Moving the port to the new speed is the first thing that fails.
            if (speed) return Outcome::SetupFail;
            if (erase || entry || speed) return Outcome::ConnectFail;
            return failure;
    }
    return Outcome::Updated;
}

const char* ClosingLine(Outcome outcome) {
    switch (outcome) {
        case Outcome::Updated:
        case Outcome::UpdatedUnchecked:
            return nullptr;  // the "Reflash  case time:" line
        case Outcome::ConnectFail:
            return "connect fail";
        case Outcome::WriteFail:
            return "Write fail!";
        case Outcome::VerifyFail:
            return "Verify flash data fail!";
        case Outcome::SetupFail:
            return " Setup serial port  fail!";
        case Outcome::UpdatedOrWriteFail:
            return nullptr;
    }
    return nullptr;
}

int CountEntries(const char* folder) {
    int count = 0;
    if (DIR* dir = opendir(folder)) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count - 1;  // the descriptor of the listing itself, or nothing for the task list
}

long ResidentKiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Cell {
    Step step;
    FaultColumn fault;
};

// ctest lists a cell by its name alone.
[[maybe_unused]] void PrintTo(const Cell& cell, std::ostream* out) {
    *out << cell.step.name << " with " << cell.fault.name;
}

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (const Step& step : kSteps)
        for (const FaultColumn& fault : kFaults) cells.push_back({step, fault});
    return cells;
}

class FaultMatrix : public SimulatedLine, public ::testing::WithParamInterface<Cell> {
  protected:
    // Program ms a job may take at most: the slowest way through is three unanswered speed
    // commands (27 s) and six passes that each wait out two erase commands (2 x 17 s).
    static constexpr DWORD kJobBoundMs = 240000;
    // The second to notice the line is gone, the second's pause before closing, and slack.
    static constexpr DWORD kHangUpToCloseMs = 3000;
    static constexpr DWORD kFinishPausesMs = 2000;

    void SetUp() override {
        const Step& step = GetParam().step;
        folder.Write(ImageName(), IsDsp(step) ? MakeHexImage(kDspRecords, 16, kDspSentinelAfter)
                                              : MakeHexImage(kMcuRecords, 16));
    }
    std::string ImageName() const { return IsDsp(GetParam().step) ? "dsp.hex" : "mcu.hex"; }

    sim::Options DeviceOptions() const {
        sim::Options options;
        options.stateFile = folder.File("flash.state");
        options.expectImage = folder.File(ImageName());
        options.eraseTimeMs = 500;
        return options;
    }

    void RunAgainWithoutFaults() {
        console.reset();
        device.reset();
        Start(DeviceOptions());
        RunJob(GetParam().step.jobMode);
    }
};

TEST_P(FaultMatrix, EndsAsExpectedLeavesNothingBehindAndALaterRunCompletes) {
    const Cell& cell = GetParam();
    Outcome expected = Expected(cell.step, cell.fault);

    sim::Options options = DeviceOptions();
    options.faults.stepFaults.push_back(
        {cell.step.pattern, cell.fault.occurrence, cell.fault.kind});
    if (cell.step.setupPattern)
        options.faults.stepFaults.push_back({cell.step.setupPattern, 0, cell.step.setupKind});
    if (cell.step.wrongSum) options.faults.wrongChecksumTimes = -1;
    const DWORD deviceStarted = platform::GetTickCount();
    Start(options);

    const int fdsBefore = CountEntries("/proc/self/fd");
    const int threadsBefore = CountEntries("/proc/self/task");
    const long residentBefore = ResidentKiB();
    const DWORD started = platform::GetTickCount();
    RunJob(cell.step.jobMode);
    const DWORD took = platform::GetTickCount() - started;

    const auto log = Log();
    ASSERT_FALSE(log.empty());
    if (expected == Outcome::UpdatedOrWriteFail)
        expected = Logged("Write fail!") ? Outcome::WriteFail : Outcome::Updated;
    EXPECT_LE(took, kJobBoundMs) << "program ms";
    // The port closes with "Com was closed", unless it never reached the working speed.
    if (expected != Outcome::SetupFail) {
        EXPECT_EQ(log.back(), "Com was closed") << ::testing::PrintToString(log);
    }
    // A line that goes away ends the job at once: no time-out is waited out on a dead port,
    // only the second's pause before the port is closed.
    for (const sim::TranscriptEntry& entry : device->Transcript()) {
        if (entry.note != "hung up") continue;
        const DWORD hungUp = deviceStarted + static_cast<DWORD>(entry.timeMs);
        // After the leave command or CHKS the image is in: the run still ends as a success,
        // with its two closing pauses.
        const bool finished = Named(cell.step, "Leave") || Named(cell.step, "ChecksumGood");
        EXPECT_LE(console->LogTicksOldestFirst().back() - hungUp,
                  kHangUpToCloseMs + (finished ? kFinishPausesMs : 0))
            << "program ms from the hang-up to the last line";
    }
    EXPECT_FALSE(console->Link().Port.IsOpen());
    if (const char* closing = ClosingLine(expected)) {
        EXPECT_TRUE(Logged(closing))
            << "expected " << closing << " in " << ::testing::PrintToString(log);
        EXPECT_FALSE(Logged("Verify flash data ok!") && expected == Outcome::VerifyFail);
        EXPECT_EQ(console->EndSounds(), 0);
        if (expected == Outcome::VerifyFail) {
            EXPECT_EQ(console->Link().Verified.load(), Verification::Failed);
        }
        // A line that went away fails the run at every step, also where a silent device only
        // gives "connect fail" or the new speed could not be set.
        if (expected == Outcome::WriteFail || expected == Outcome::VerifyFail ||
            cell.fault.kind == Kind::HangUp) {
            // A tick turns the failed phase back to idle, unless none came since.
            EXPECT_TRUE(console->PhaseSeen(kPhaseFailed) ||
                        console->Counters.FlashPhase.load() == kPhaseFailed);
        }
    } else {
        EXPECT_EQ(console->EndSounds(), 1) << ::testing::PrintToString(log);
        EXPECT_EQ(log[log.size() - 2].rfind("Reflash  case time:", 0), 0u);
        EXPECT_TRUE(device->GetSummary().imageMatches);
        EXPECT_EQ(Logged("Verify flash data ok!"), expected == Outcome::Updated)
            << ::testing::PrintToString(log);
        EXPECT_EQ(console->Link().Verified.load(), expected == Outcome::Updated
                                                       ? Verification::Confirmed
                                                       : Verification::NotChecked);
    }

    // The worker and the listener are gone, the port's descriptors closed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((CountEntries("/proc/self/fd") > fdsBefore ||
            CountEntries("/proc/self/task") > threadsBefore) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LE(CountEntries("/proc/self/fd"), fdsBefore);
    EXPECT_LE(CountEntries("/proc/self/task"), threadsBefore);
    // Under AddressSanitizer freed memory stays in quarantine (LeakSanitizer checks for leaks at
    // the end instead), and ThreadSanitizer's shadow and history grow with every access, so the
    // resident size says nothing under either.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LE(ResidentKiB(), residentBefore + 2048) << "KiB resident";
#else
    (void)residentBefore;
#endif

    if (expected == Outcome::Updated || expected == Outcome::UpdatedUnchecked) return;
    // The device keeps what it has; the next run, on a clean line, resumes and completes.
    RunAgainWithoutFaults();
    EXPECT_TRUE(device->GetSummary().imageMatches);
    if (Named(cell.step, "DspLastBlock") && cell.fault.kind != Kind::Silence) {
        // The DSP stored its last block before the fault: it reports the image's last block, and
        // its sum, asked before anything is sent, shows that it holds the whole image.
        EXPECT_TRUE(Logged("The device holds all 8 blocks of dsp.hex: nothing is left to send"));
        EXPECT_EQ(device->ReceivedLines().back(), "SV");
    }
    EXPECT_EQ(console->EndSounds(), 1) << ::testing::PrintToString(Log());
    EXPECT_EQ(console->Link().Verified.load(), Verification::Confirmed);
}

INSTANTIATE_TEST_SUITE_P(EveryStepEveryFault, FaultMatrix, ::testing::ValuesIn(AllCells()),
                         [](const ::testing::TestParamInfo<Cell>& cell) {
                             return std::string(cell.param.step.name) + "_" + cell.param.fault.name;
                         });

}  // namespace

// What both windows do alike, through their controls and their console, against the real
// engine and the simulated inverter (or a bare pseudo-terminal) behind the port folder.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "console/JobMode.h"
#include "platform/Clock.h"
#include "sim/HexGen.h"
#include "sim/PseudoTerminal.h"
#include "tests/window/WindowDriver.h"

namespace pellorin::testing_window {
namespace {

const std::string kImageDir = PELLORIN_IMAGE_DIR;
using Lines = std::vector<std::string>;
using Box = std::pair<std::string, std::string>;

// True when `expected` appear in `lines` in this order (each matched as a line's beginning).
bool InOrder(const Lines& lines, const Lines& expected) {
    std::size_t next = 0;
    for (const std::string& line : lines)
        if (next < expected.size() && line.rfind(expected[next], 0) == 0) ++next;
    return next == expected.size();
}

std::string Joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + " | ";
    return text;
}

int ImageLines(const std::string& name) {
    std::ifstream file(kImageDir + "/" + name);
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(file), {}, '\n'));
}

// A small DSP image (20 records) in `folder`, with or without its verification record.
void WriteDspImage(const std::filesystem::path& folder, bool verificationRecord) {
    sim::HexImageOptions image;
    image.records = 20;
    if (verificationRecord) image.verifyRecordLine = 21;
    std::ofstream file(folder / "dsp.hex");
    for (const std::string& line : sim::MakeHexImageLines(image)) file << line << "\n";
}

bool JobEnded(WindowDriver& w) { return !w.JobRunning() && w.Enabled(IDC_UPDATE_DSP); }

// The text's lines without their line ends.
Lines SplitLines(const std::string& text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace

void WindowContract::SetUp() {
    m_comDir = std::filesystem::temp_directory_path() /
               ("pellorin-window-" + std::to_string(::getpid()) + "-" +
                std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::remove_all(m_comDir);
    std::filesystem::create_directories(m_comDir);
    ::setenv("PELLORIN_COM_DIR", m_comDir.c_str(), 1);
    GetParam()->ForgetSettings();
}

void WindowContract::TearDown() {
    GetParam()->ForgetSettings();
    std::filesystem::remove_all(m_comDir);
}

std::unique_ptr<WindowDriver> WindowContract::Open() { return Open(kImageDir); }

std::unique_ptr<WindowDriver> WindowContract::Open(const std::string& programFolder) {
    return GetParam()->Open(programFolder);
}

std::unique_ptr<sim::SimInverter> WindowContract::StartSim(sim::Options options) {
    options.comDir = m_comDir.string();
    options.comNumber = 1;
    auto device = std::make_unique<sim::SimInverter>(options);
    if (!device->Start()) return nullptr;
    return device;
}

TEST_P(WindowContract, OpensWithItsDisplaysAtZeroAndTheSpeedFieldAt19200) {
    auto w = Open();
    EXPECT_EQ(w->Text(IDC_PERCENT_TEXT), "0%");
    EXPECT_EQ(w->Text(IDC_ELAPSED_TEXT), "00:00");
    EXPECT_EQ(w->Text(IDC_REMAIN_TEXT), "00:00");
    EXPECT_EQ(w->Text(IDC_SPEED_TEXT), "0 Blocks/Sec");
    EXPECT_EQ(w->Text(IDC_TOTAL_BLOCKS), "0");
    EXPECT_EQ(w->Text(IDC_WRITTEN_BLOCKS), "0");
    EXPECT_EQ(w->BarRange(), std::make_pair(0, 100));
    EXPECT_EQ(w->BarPosition(), 0);
    EXPECT_TRUE(w->Log().empty());
    // The template's four items in order (blanks first), "19200" selected.
    EXPECT_EQ(w->ComboItems(IDC_BAUD_COMBO), (Lines{" 4800", " 9600", "19200", "38400"}));
    EXPECT_EQ(w->Window().SelectedBaudIndex(), 2);
    // No port in the folder: an empty list, nothing selected, an empty field.
    EXPECT_TRUE(w->ComboItems(IDC_PORT_COMBO).empty());
    EXPECT_EQ(w->ComboSelection(IDC_PORT_COMBO), -1);
    EXPECT_EQ(w->Text(IDC_PORT_COMBO), "");
    // The job state after initialisation.
    EXPECT_TRUE(w->HiddenControlsHidden());
    EXPECT_FALSE(w->Enabled(IDC_READ_VERSION));
    EXPECT_FALSE(w->Enabled(IDC_RESET_EEPROM));
    EXPECT_TRUE(w->Enabled(IDC_UPDATE_DSP) && w->Enabled(IDC_UPDATE_MCU));
    EXPECT_EQ(w->JobMode(), kJobMcuUpdate);
    EXPECT_EQ(w->Counters().FlashPhase.load(), kPhaseIdle);
    EXPECT_FALSE(w->TimerActive(kEraseTimer) || w->TimerActive(kProgramTimer));
}

TEST_P(WindowContract, ListsThePortsInNumericOrderFromZeroToTwentyNine) {
    sim::PseudoTerminal line;
    ASSERT_TRUE(line.Ok());
    for (int n : {30, 10, 2, 29, 0, 31})
        ASSERT_TRUE(line.LinkAs((m_comDir / ("com" + std::to_string(n))).string()));
    // A link that leads nowhere is no port.
    std::filesystem::create_symlink("/nonexistent/tty", m_comDir / "com5");
    auto w = Open();
    EXPECT_EQ(w->ComboItems(IDC_PORT_COMBO), (Lines{"COM0", "COM2", "COM10", "COM29"}));
    EXPECT_EQ(w->ComboSelection(IDC_PORT_COMBO), 0);
    EXPECT_EQ(w->Text(IDC_PORT_COMBO), "COM0");
}

TEST_P(WindowContract, JobButtonsWithoutAPortSaySoAndStartNothing) {
    auto w = Open();
    w->SelectComboItem(IDC_BAUD_COMBO, 0);
    const Box noPort{"Pellorin", "Canot find serial interface!"};

    w->Press(IDC_UPDATE_DSP);
    ASSERT_EQ(w->Boxes(), (std::vector<Box>{noPort}));
    EXPECT_EQ(w->JobMode(), kJobDspUpdate);
    EXPECT_TRUE(w->NegotiateBaud());
    EXPECT_EQ(w->ComboSelection(IDC_BAUD_COMBO), 0);

    // "Update MCU" still switches the speed field to "19200".
    w->Press(IDC_UPDATE_MCU);
    EXPECT_EQ(w->Boxes().size(), 2u);
    EXPECT_EQ(w->Boxes().back(), noPort);
    EXPECT_EQ(w->JobMode(), kJobMcuUpdate);
    EXPECT_EQ(w->ComboSelection(IDC_BAUD_COMBO), 2);
    EXPECT_EQ(w->Text(IDC_BAUD_COMBO), "19200");

    // The hidden buttons, reached through their commands; "Rest EEPROM" asks first (Yes here).
    w->Press(IDC_READ_VERSION);
    EXPECT_EQ(w->Boxes().back(), noPort);
    EXPECT_EQ(w->JobMode(), kJobReadVersion);
    EXPECT_FALSE(w->NegotiateBaud());
    w->AnswerYes(true);
    w->Press(IDC_RESET_EEPROM);
    EXPECT_EQ(w->Boxes().size(), 5u);  // the question, then the same message
    EXPECT_EQ(w->Boxes().back(), noPort);
    EXPECT_EQ(w->JobMode(), kJobResetEeprom);

    EXPECT_FALSE(w->JobRunning());
    EXPECT_TRUE(w->Log().empty());
    EXPECT_TRUE(w->Enabled(IDC_UPDATE_DSP) && w->Enabled(IDC_UPDATE_MCU));
}

TEST_P(WindowContract, ResetEepromAsksFirstAndOnlyOpensThePort) {
    sim::PseudoTerminal line;
    ASSERT_TRUE(line.Ok());
    ASSERT_TRUE(line.LinkAs((m_comDir / "com1").string()));
    platform::ScopedClockScale scale(kClockScale);
    auto w = Open();
    const Box question{"This action will reset EEPROM",
                       " Please do this action only inverter always report 17 fault after Update "
                       "MCU,Continue ? "};

    // No changes nothing.
    w->Press(IDC_RESET_EEPROM);
    EXPECT_EQ(w->Boxes(), (std::vector<Box>{question}));
    EXPECT_EQ(w->JobMode(), kJobMcuUpdate);
    EXPECT_FALSE(w->JobRunning());
    EXPECT_TRUE(w->Log().empty());

    w->AnswerYes(true);
    w->Press(IDC_RESET_EEPROM);
    EXPECT_EQ(w->JobMode(), kJobResetEeprom);
    EXPECT_FALSE(w->NegotiateBaud());
    EXPECT_EQ(w->PortName(), "COM1");
    ASSERT_TRUE(w->Pump(
        [&] {
            const Lines log = w->Log();
            return !log.empty() && log.front().rfind("Connecting", 0) == 0;
        },
        kJobTimeoutMs));
    EXPECT_EQ(line.SlaveBaud(), 2400u);  // opened at the contact speed and left there
    ASSERT_TRUE(w->Pump([&] { return JobEnded(*w); }, kJobTimeoutMs));
    EXPECT_EQ(w->Log(), (Lines{"Com was closed", "Connecting.........."}));
    EXPECT_EQ(line.ReadMaster(50), std::string());                  // nothing was written
    EXPECT_EQ(w->Boxes(), (std::vector<Box>{question, question}));  // and no other box
    EXPECT_FALSE(w->Enabled(IDC_RESET_EEPROM));
}

namespace {

// A whole update of `image` through `button` at 38400, the device checking what it received.
void FullUpdate(WindowDriver& w, sim::SimInverter& device, const std::string& image, int button) {
    EXPECT_EQ(w.Text(IDC_PORT_COMBO), "COM1");
    w.SelectComboItem(IDC_BAUD_COMBO, 3);
    const int blocks = ImageLines(image);
    ASSERT_GT(blocks, 1000);
    const std::string total = std::to_string(blocks);

    w.Press(button);
    // The buttons went grey before the worker ran; "Update MCU" chose "19200".
    EXPECT_FALSE(w.Enabled(IDC_UPDATE_DSP));
    EXPECT_FALSE(w.Enabled(IDC_UPDATE_MCU));
    EXPECT_TRUE(w.Enabled(IDC_EXIT));
    EXPECT_EQ(w.ComboSelection(IDC_BAUD_COMBO), button == IDC_UPDATE_MCU ? 2 : 3);
    EXPECT_EQ(w.PortName(), "COM1");
    ASSERT_TRUE(w.Pump([&] { return JobEnded(w); }, kJobTimeoutMs));

    // Every line was inserted on the window thread, newest on top, in the order of the run.
    const Lines log = w.Log();
    EXPECT_TRUE(w.LogOnWindowThreadOnly());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Com was closed");
    EXPECT_EQ(log.back(), "COM1 was opened!");
    EXPECT_TRUE(InOrder(Lines(log.rbegin(), log.rend()),
                        {"COM1 was opened!", "Connecting..........", "Total blocks:" + total,
                         "Ereasing flash.............", "Ereased flash ok!", "Erase case time:",
                         "Program flash..........", "Verify flash data...............",
                         "Verify flash data ok!", "Reflash  case time:", "Com was closed"}))
        << Joined(log);

    // The bar and the fields at the end; the end sound once; the timers stopped, the port closed.
    EXPECT_EQ(w.BarRange(), std::make_pair(0, blocks));
    EXPECT_EQ(w.BarPosition(), blocks);
    EXPECT_EQ(w.Text(IDC_TOTAL_BLOCKS), total);
    EXPECT_EQ(w.Text(IDC_WRITTEN_BLOCKS), total);
    EXPECT_EQ(w.Text(IDC_PERCENT_TEXT), "100%");
    const std::string elapsed = w.Text(IDC_ELAPSED_TEXT);
    EXPECT_TRUE(elapsed.size() == 5 && elapsed[2] == ':') << elapsed;
    EXPECT_TRUE(w.Text(IDC_SPEED_TEXT).ends_with(" Blocks/Sec"));
    EXPECT_EQ(w.Sounds(), 1);
    EXPECT_FALSE(w.TimerActive(kEraseTimer) || w.TimerActive(kProgramTimer));
    EXPECT_TRUE(w.Boxes().empty());
    EXPECT_FALSE(w.PortOpen());
    // The hidden controls stay hidden after a job; "Read Version" is enabled again but unseen.
    EXPECT_TRUE(w.HiddenControlsHidden());
    EXPECT_TRUE(w.Enabled(IDC_READ_VERSION));
    EXPECT_FALSE(w.Enabled(IDC_RESET_EEPROM));

    const sim::Summary summary = device.GetSummary();
    EXPECT_TRUE(summary.imageMatches);
    EXPECT_TRUE(summary.violations.empty())
        << (summary.violations.empty() ? "" : summary.violations[0]);
}

}  // namespace

TEST_P(WindowContract, UpdatesTheDspAndTheMcuThroughTheWindow) {
    for (const auto& [image, button] : {std::pair<std::string, int>{"dsp.hex", IDC_UPDATE_DSP},
                                        std::pair<std::string, int>{"mcu.hex", IDC_UPDATE_MCU}}) {
        SCOPED_TRACE(image);
        sim::Options options;
        options.eraseTimeMs = 0;
        options.expectImage = kImageDir + "/" + image;
        auto device = StartSim(options);
        ASSERT_TRUE(device);
        platform::ScopedClockScale scale(kClockScale);
        auto w = Open();
        FullUpdate(*w, *device, image, button);
    }
}

TEST_P(WindowContract, RefusesADspImageWithoutItsVerificationRecord) {
    // Without its record at 7FFE the DSP would never be asked for its sum: refused as a damaged
    // image is, before the device is entered, with no end sound.
    const std::filesystem::path images = m_comDir / "images";
    std::filesystem::create_directory(images);
    WriteDspImage(images, false);
    auto device = StartSim({});
    ASSERT_TRUE(device);
    platform::ScopedClockScale scale(kClockScale);
    auto w = Open(images.string());
    w->Press(IDC_UPDATE_DSP);
    ASSERT_TRUE(w->Pump([&] { return JobEnded(*w); }, kJobTimeoutMs));
    const Lines log = w->Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 3),
              (Lines{"Com was closed",
                     "dsp.hex: no verification record (address 7FFE): the DSP would never be "
                     "asked for its sum",
                     "Total blocks:21"}));
    EXPECT_EQ(device->ReceivedLines(), (Lines{"^S008BAUD192", "SV"}));
    EXPECT_EQ(w->Sounds(), 0);
}

namespace {

enum class Phase { Erase, Programming, Verification };

// Exit pressed while a DSP update is in `phase`: the dialog ends, the worker has ended, the port
// is closed, the timers are off, and nothing reaches the window after that.
void ExitDuring(Phase phase,
                const std::function<std::unique_ptr<sim::SimInverter>(sim::Options)>& start,
                const std::function<std::unique_ptr<WindowDriver>()>& open) {
    sim::Options options;
    options.eraseTimeMs = 0;
    if (phase == Phase::Erase) {
        // A device that answers the state query only once the erase is over.
        options.eraseTimeMs = 600000;
        options.stBeforeErased = sim::Options::BeforeErased::Silent;
    }
    if (phase == Phase::Programming) options.blockWriteTimeMs = 20;
    if (phase == Phase::Verification) options.faults.neverAnswer = {"SUM"};
    auto device = start(options);
    ASSERT_TRUE(device);
    platform::ScopedClockScale scale(kClockScale);
    auto w = open();

    w->Press(IDC_UPDATE_DSP);
    if (phase == Phase::Erase) {
        ASSERT_TRUE(w->Pump([&] { return w->TimerActive(kEraseTimer); }, kJobTimeoutMs));
    } else if (phase == Phase::Programming) {
        ASSERT_TRUE(
            w->Pump([&] { return w->Counters().WrittenBlocks.load() >= 20; }, kJobTimeoutMs));
        ASSERT_TRUE(w->TimerActive(kProgramTimer));
    } else {
        ASSERT_TRUE(w->Pump(
            [&] {
                const Lines log = w->Log();
                return !log.empty() && log.front().rfind("Verify flash data....", 0) == 0;
            },
            kJobTimeoutMs));
    }
    ASSERT_TRUE(w->JobRunning());

    w->Press(IDC_EXIT);
    EXPECT_TRUE(w->Closed());
    EXPECT_TRUE(w->Window().StopRequested());
    EXPECT_FALSE(w->JobRunning());
    EXPECT_FALSE(w->PortOpen());
    EXPECT_FALSE(w->TimerActive(kEraseTimer) || w->TimerActive(kProgramTimer));
    // Late notifications or worker calls change nothing; the job was abandoned.
    const Lines log = w->Log();
    w->Pump([] { return false; }, 100);
    EXPECT_EQ(w->Log(), log);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Com was closed"), 0);
    // Nothing is used after the window is gone (the sanitizer builds watch this).
    w.reset();
}

}  // namespace

TEST_P(WindowContract, ExitDuringAJobEndsTheJobAndTheDialog) {
    for (Phase phase : {Phase::Erase, Phase::Programming, Phase::Verification}) {
        SCOPED_TRACE(static_cast<int>(phase));
        ExitDuring(
            phase, [this](sim::Options o) { return StartSim(o); }, [this] { return Open(); });
    }
}

TEST_P(WindowContract, WorkerCallsRunOnTheWindowThreadAndEndOnClose) {
    auto w = Open();
    Console& console = w->Window();

    // From a worker: each call is carried out on the window thread while the worker waits.
    std::mutex doneMutex;
    bool done = false;
    int baudIndex = -2;
    std::thread worker([&] {
        console.InsertLogLine("first");
        console.InsertLogLine("second");
        console.EnableJobButtons(false);
        console.SetProgressRange(0, 50000);
        console.SetProgressPos(40000);
        console.StartTimer(kEraseTimer, 50);
        const int index = console.SelectedBaudIndex();
        console.ShowMessage("Cannot open serial port");
        std::lock_guard lock(doneMutex);
        baudIndex = index;
        done = true;
    });
    const bool finished = w->Pump(
        [&] {
            std::lock_guard lock(doneMutex);
            return done;
        },
        10000);
    worker.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(w->LogOnWindowThreadOnly());
    EXPECT_EQ(w->Log(), (Lines{"second", "first"}));
    EXPECT_FALSE(w->Enabled(IDC_UPDATE_DSP));
    EXPECT_FALSE(w->Enabled(IDC_UPDATE_MCU));
    EXPECT_FALSE(w->Enabled(IDC_READ_VERSION));
    EXPECT_TRUE(w->Enabled(IDC_EXIT));
    EXPECT_EQ(w->BarRange(), std::make_pair(0, 50000));
    EXPECT_EQ(w->BarPosition(), 40000);
    EXPECT_EQ(baudIndex, 2);
    EXPECT_EQ(w->Boxes().back(), (Box{"Pellorin", "Cannot open serial port"}));
    // Started through the console, the erase timer ticks on its own and paces the bar.
    EXPECT_TRUE(w->TimerActive(kEraseTimer));
    w->Counters().ProgressPercent = 0;
    ASSERT_TRUE(w->Pump([&] { return w->Counters().ProgressPercent.load() >= 3; }, 5000));
    EXPECT_EQ(w->BarPosition(), w->Counters().ProgressPercent.load());

    // A worker waiting for the window thread is released when the window closes, and no call
    // touches the window after that.
    std::atomic<bool> returned{false};
    std::thread late([&] {
        console.InsertLogLine("never shown");
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it wait; nothing pumps
    EXPECT_FALSE(returned.load());
    w->Press(IDC_EXIT);
    late.join();  // hangs here if the close did not wake it
    EXPECT_TRUE(returned.load());
    EXPECT_TRUE(console.StopRequested());
    console.InsertLogLine("after close");
    w->Pump([] { return false; }, 20);
    EXPECT_EQ(w->Log(), (Lines{"second", "first"}));
    EXPECT_FALSE(w->TimerActive(kEraseTimer));
}

TEST_P(WindowContract, TicksShowTheDisplayAndAskForTheSoundOnce) {
    auto w = Open();
    FlashCounters& c = w->Counters();

    // Erase pacing: the bar and the percentage advance by one a tick.
    c.ProgressPercent = 0;
    for (int i = 0; i < 3; ++i) w->Tick(kEraseTimer);
    EXPECT_EQ(w->BarPosition(), 3);
    EXPECT_EQ(w->Text(IDC_PERCENT_TEXT), "3%");

    // Programming clock: 300 of 1200 blocks after 60 s.
    c.TotalBlocks = 1200;
    c.WrittenBlocks = 300;
    c.TotalBlocksShown = 1200;
    c.WrittenBlocksShown = 300;
    c.PercentShown = 25;
    c.FlashStartTime = platform::timeGetTime() - 60000;
    c.FlashPhase = kPhaseProgramming;
    w->Tick(kProgramTimer);
    EXPECT_EQ(w->Text(IDC_ELAPSED_TEXT), "01:00");
    EXPECT_EQ(w->Text(IDC_SPEED_TEXT), "5 Blocks/Sec");
    EXPECT_EQ(w->Text(IDC_REMAIN_TEXT), "03:00");
    EXPECT_EQ(w->Text(IDC_TOTAL_BLOCKS), "1200");
    EXPECT_EQ(w->Text(IDC_WRITTEN_BLOCKS), "300");
    EXPECT_EQ(w->Text(IDC_PERCENT_TEXT), "25%");
    EXPECT_EQ(w->Sounds(), 0);

    // Resumed after block 900 of 2100: only the 300 blocks sent in this run count; an hour or
    // more reads h:mm:ss.
    c.TotalBlocks = 2100;
    c.ResumedFrom = 900;
    c.WrittenBlocks = 1200;
    w->Tick(kProgramTimer);
    EXPECT_EQ(w->Text(IDC_SPEED_TEXT), "5 Blocks/Sec");
    EXPECT_EQ(w->Text(IDC_REMAIN_TEXT), "03:00");
    c.FlashStartTime = platform::timeGetTime() - 3900000;
    w->Tick(kProgramTimer);
    EXPECT_EQ(w->Text(IDC_ELAPSED_TEXT), "1:05:00");

    // The end: one sound on the tick that finds the finished phase, none after, none on failure.
    c.FlashPhase = kPhaseFinished;
    w->Tick(kProgramTimer);
    EXPECT_EQ(w->Sounds(), 1);
    w->Tick(kProgramTimer);
    EXPECT_EQ(w->Sounds(), 1);
    c.FlashPhase = kPhaseFailed;
    w->Tick(kProgramTimer);
    EXPECT_EQ(w->Sounds(), 1);
    EXPECT_EQ(c.FlashPhase.load(), kPhaseIdle);
}

TEST_P(WindowContract, LogIsCopiedAndSavedOldestFirstWithTimesAndRecordsAreShown) {
    auto w = Open();
    for (const char* line : {"COM1 was opened!", "Connecting..........", "Com was closed"})
        w->Window().InsertLogLine(line);
    // The list itself keeps its lines as they are, newest on top and without times.
    EXPECT_EQ(w->Log(), (Lines{"Com was closed", "Connecting..........", "COM1 was opened!"}));

    const std::string copied = w->CopyLog();
    const Lines lines = SplitLines(copied);
    ASSERT_EQ(lines.size(), 3u);
    // "2026-12-07 14:03:05.123  COM1 was opened!"
    Lines texts;
    for (const std::string& line : lines) {
        ASSERT_GT(line.size(), 25u) << line;
        EXPECT_EQ(line.substr(4, 1) + line.substr(7, 1) + line.substr(10, 1) + line.substr(13, 1) +
                      line.substr(16, 1) + line.substr(19, 1),
                  "-- ::.")
            << line;
        EXPECT_EQ(line.substr(23, 2), "  ") << line;
        texts.push_back(line.substr(25));
    }
    EXPECT_EQ(texts, (Lines{"COM1 was opened!", "Connecting..........", "Com was closed"}));
    EXPECT_EQ(w->SaveLog((m_comDir / "log.txt").string()), copied);
    EXPECT_TRUE(w->Boxes().empty());

    // Without a file manager the window says where the records are.
    const std::string records = w->RecordsFolder();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(w->OpenRecordsFolderWithoutFileManager(), Lines{records});
    ASSERT_EQ(w->Boxes().size(), 1u);
    EXPECT_NE(w->Boxes()[0].second.find(records), std::string::npos) << w->Boxes()[0].second;
}

TEST_P(WindowContract, ImageFolderIsChosenRememberedAndShown) {
    const std::string chosen = (m_comDir / "images").string();
    std::filesystem::create_directory(chosen);
    {
        auto w = Open();
        w->ChooseImageFolder();  // cancelled: nothing changes
        EXPECT_EQ(w->ImageFolder(), "");
        w->FolderToChoose(chosen);
        w->ChooseImageFolder();
        EXPECT_EQ(w->ImageFolder(), chosen);
    }
    // The next start of the program. Beside the log: the program's folder, looked in first,
    // then the one chosen.
    auto w = Open();
    EXPECT_EQ(w->ImageFolder(), chosen);
    const std::string shown = w->ImageFoldersShown();
    EXPECT_TRUE(shown.starts_with("Images: /") && shown.ends_with("/, then " + chosen + "/"))
        << shown;
    EXPECT_TRUE(w->Boxes().empty());
}

TEST_P(WindowContract, AMissingImageSaysWhereItLookedAndOffersTheFolderChooser) {
    // Installed, the program looks beside itself, where no image is: the log's line, then a box
    // that says where it looked and offers the folder chooser, after which the next press finds
    // the image in the folder chosen.
    const std::filesystem::path program = m_comDir / "program";
    const std::filesystem::path images = m_comDir / "images";
    std::filesystem::create_directory(program);
    std::filesystem::create_directory(images);
    WriteDspImage(images, true);
    auto device = StartSim({});
    ASSERT_TRUE(device);
    platform::ScopedClockScale scale(kClockScale);
    auto w = Open(program.string());
    w->AnswerYes(true);
    w->FolderToChoose(images.string());

    w->Press(IDC_UPDATE_DSP);
    ASSERT_TRUE(w->Pump([&] { return JobEnded(*w); }, kJobTimeoutMs));
    Lines log = w->Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 2),
              (Lines{"Com was closed", "dsp.hex can not found!"}));
    ASSERT_EQ(w->Boxes().size(), 1u);
    EXPECT_EQ(
        w->Boxes()[0],
        (Box{"Pellorin", "dsp.hex can not found!\nLooked in " + program.string() +
                             "/: put dsp.hex there, or choose the folder that holds it "
                             "with \"Image folder…\" " +
                             w->ImageFolderEntryPlace() + ".\n\nChoose the image folder now?"}));
    EXPECT_EQ(w->ImageFolder(), images.string());
    EXPECT_EQ(w->ImageFoldersShown(),
              "Images: " + program.string() + "/, then " + images.string() + "/");

    w->Press(IDC_UPDATE_DSP);
    ASSERT_TRUE(w->Pump([&] { return JobEnded(*w); }, kJobTimeoutMs));
    log = w->Log();
    EXPECT_TRUE(std::find(log.begin(), log.end(), "Verify flash data ok!") != log.end())
        << Joined(log);
    EXPECT_EQ(w->Boxes().size(), 1u);
}

}  // namespace pellorin::testing_window

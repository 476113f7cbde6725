// The Windows window's handlers (win32/PellorinDlg) as the dialog procedure calls them, with
// recorded controls and a message loop on the test's thread standing in for the dialog: posted
// wake-ups and serial notifications, and the two timers. The engine is the real one, with the
// simulated inverter (or a bare pseudo-terminal) behind PELLORIN_COM_DIR.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "SerialLib/Serial/PortCatalog.h"
#include "console/JobMode.h"
#include "platform/Clock.h"
#include "sim/HexGen.h"
#include "sim/PseudoTerminal.h"
#include "sim/SimInverter.h"
#include "win32/PellorinDlg.h"

using namespace pellorin;
using namespace pellorin::win32;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kClockScale = 10;    // program ms per real ms
constexpr int kJobTimeoutMs = 15000;  // real ms; generous for sanitizer builds
const std::string kImageDir = PELLORIN_IMAGE_DIR;

// The dialog's controls as recorded values, and a message loop run by the test's thread.
class FakeDialog : public DialogHost {
  public:
    // Controls.
    void SetControlText(int id, const std::string& text) override { texts[id] = text; }
    std::string ControlText(int id) const override {
        // A combo's edit field shows the selected item, or what was typed.
        if (ComboSelection(id) >= 0) return ComboItemText(id, ComboSelection(id));
        const auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    void EnableControl(int id, bool enable) override { disabled[id] = !enable; }
    bool ControlEnabled(int id) const override {
        const auto it = disabled.find(id);
        return it == disabled.end() || !it->second;
    }
    void InsertListLine(int, int index, const std::string& text) override {
        log.insert(log.begin() + index, text);
        logThreads.insert(std::this_thread::get_id());
    }
    void AddComboItem(int id, const std::string& text) override {
        auto& items = combos[id];
        items.insert(std::upper_bound(items.begin(), items.end(), text), text);  // sorted style
    }
    void InsertComboItem(int id, int index, const std::string& text) override {
        combos[id].insert(combos[id].begin() + index, text);
    }
    void ResetCombo(int id) override {
        combos[id].clear();
        selection[id] = -1;
        texts[id].clear();
    }
    int ComboCount(int id) const override {
        const auto it = combos.find(id);
        return it == combos.end() ? 0 : static_cast<int>(it->second.size());
    }
    int ComboSelection(int id) const override {
        const auto it = selection.find(id);
        return it == selection.end() ? -1 : it->second;
    }
    void SelectComboItem(int id, int index) override {
        selection[id] = index < ComboCount(id) ? index : -1;
    }
    std::string ComboItemText(int id, int index) const override { return combos.at(id).at(index); }
    void SetProgressRange(int, int lower, int upper) override { range = {lower, upper}; }
    void SetProgressPos(int, int position) override { barPosition = position; }

    // Window services.
    void SetTimer(int timerId, unsigned periodMs) override {
        timers[timerId] = {std::chrono::milliseconds(periodMs),
                           Clock::now() + std::chrono::milliseconds(periodMs)};
    }
    void KillTimer(int timerId) override { timers.erase(timerId); }
    void SetToolTip(int id, const std::string& text) override { toolTips[id] = text; }
    void AppendAboutEntry() override {
        ++aboutEntries;
        menu.emplace_back(0x0010u, "About");
    }
    void AppendSystemMenuEntry(unsigned command, const std::string& text) override {
        menu.emplace_back(command, text);
    }
    void SetSystemMenuEntryText(unsigned command, const std::string& text) override {
        for (auto& entry : menu)
            if (entry.first == command) entry.second = text;
    }
    unsigned ShowPopupMenu(int id, int, int,
                           const std::vector<std::pair<unsigned, std::string>>& entries) override {
        popupMenus.emplace_back(id, entries);
        return popupAnswer;
    }
    void ShowAboutBox() override { ++aboutBoxes; }
    bool ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) override {
        boxes.emplace_back(caption, text);
        return yesNo ? answerYes : true;
    }
    void PlayEndSound() override { ++sounds; }
    void EndDialog(int result) override { endResult = result; }
    std::vector<serial::PortInfo> ListPorts() override { return listPorts(); }
    std::string ChooseFolder(const std::string& start) override {
        chooserStart = start;
        return folderToChoose;
    }
    std::string ChooseSaveFile(const std::string&) override { return saveTo; }
    bool WriteTextFile(const std::string& path, const std::string& text) override {
        if (!writable) return false;
        files[path] = text;
        return true;
    }
    bool CopyToClipboard(const std::string& text) override {
        clipboard = text;
        return true;
    }
    bool OpenFolder(const std::string& folder) override {
        opened.push_back(folder);
        return fileManager;
    }
    std::string ReadUserSetting(const std::string& name) override {
        const auto it = settings->find(name);
        return it == settings->end() ? std::string() : it->second;
    }
    bool WriteUserSetting(const std::string& name, const std::string& value) override {
        (*settings)[name] = value;
        return true;
    }
    std::string UserSettingsPlace() const override { return "the test's settings"; }
    // "€" stands for a character the engine's file calls cannot name.
    std::string ToEnginePath(const std::string& path) const override {
        return path.find("€") == std::string::npos ? path : std::string();
    }
    std::string FromEnginePath(const std::string& path) const override { return path; }
    // Posted messages, delivered by Pump; like a destroyed window's, they are dropped once the
    // dialog is gone.
    void WakeWindowThread() override {
        Post([this] {
            if (dialog != nullptr) dialog->RunPendingCalls();
        });
    }
    bool PostSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) noexcept override {
        Post([this, wParam, lParam] {
            if (dialog != nullptr) dialog->OnSerialMessage(wParam, lParam);
        });
        return true;
    }

    // The message loop: runs posted messages and due timer ticks until `done` holds or
    // timeoutMs (real) have passed.
    bool Pump(const std::function<bool()>& done, int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (done()) return true;
            if (Clock::now() >= end) return false;
            std::function<void()> message;
            {
                std::unique_lock lock(m_mutex);
                m_posted.wait_for(lock, std::chrono::milliseconds(1),
                                  [this] { return !m_queue.empty(); });
                if (!m_queue.empty()) {
                    message = std::move(m_queue.front());
                    m_queue.pop_front();
                }
            }
            if (message) {
                message();
                continue;
            }
            const auto now = Clock::now();
            for (auto& [id, timer] : std::map(timers)) {
                if (timer.due > now || timers.count(id) == 0 || dialog == nullptr) continue;
                timers[id].due = now + timer.period;
                dialog->OnTimer(id);
            }
        }
    }
    void PumpFor(int ms) {
        Pump([] { return false; }, ms);
    }

    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };

    CPellorinDlg* dialog = nullptr;
    // The ports: the real catalogue (PELLORIN_COM_DIR) unless a test makes up a list.
    std::function<std::vector<serial::PortInfo>()> listPorts = serial::ListPorts;
    bool answerYes = false;
    std::string folderToChoose;
    std::string chooserStart;
    std::string saveTo;
    bool writable = true;
    bool fileManager = true;
    std::shared_ptr<std::map<std::string, std::string>> settings =
        std::make_shared<std::map<std::string, std::string>>();

    std::map<int, std::string> texts;
    std::map<int, bool> disabled{{IDC_READ_VERSION, true}, {IDC_RESET_EEPROM, true}};
    std::vector<std::string> log;  // newest first, as the list shows it
    std::set<std::thread::id> logThreads;
    std::map<int, std::vector<std::string>> combos;
    std::map<int, int> selection;
    std::pair<int, int> range{0, 100};
    int barPosition = 0;
    std::map<int, Timer> timers;
    std::map<int, std::string> toolTips;
    std::vector<std::pair<unsigned, std::string>> menu;  // the system menu's own entries
    // The popup menus shown (the control's id and the entries), and the command chosen in them.
    std::vector<std::pair<int, std::vector<std::pair<unsigned, std::string>>>> popupMenus;
    unsigned popupAnswer = 0;
    std::map<std::string, std::string> files;
    std::string clipboard;
    std::vector<std::string> opened;
    int aboutEntries = 0;
    int aboutBoxes = 0;
    std::vector<std::pair<std::string, std::string>> boxes;  // (caption, text)
    int sounds = 0;
    int endResult = 0;

  private:
    void Post(std::function<void()> message) {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(message));
        }
        m_posted.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_queue;
};

// The window as the dialog procedure makes it at WM_INITDIALOG, with the real engine looking
// for its images in the demo image folder.
struct TestWindow {
    // `ports` (when given) stands for the catalogue; `settings` are those of an earlier run.
    // `imageDir` plays the program's own folder.
    explicit TestWindow(std::vector<serial::PortInfo> ports = {}, bool madeUp = false,
                        std::shared_ptr<std::map<std::string, std::string>> settings = nullptr,
                        const std::string& imageDir = kImageDir) {
        if (madeUp) host.listPorts = [ports] { return ports; };
        if (settings) host.settings = std::move(settings);
        window = std::make_unique<CPellorinDlg>(
            host, [imageDir](Console& console, FlashCounters& counters, PostSerialMessageFn post) {
                return MakeUpdateEngine(console, counters, std::move(post), imageDir);
            });
        host.dialog = window.get();
        EXPECT_TRUE(window->OnInitDialog());
    }
    ~TestWindow() {
        window.reset();
        host.dialog = nullptr;
        host.PumpFor(20);  // what was posted late is dropped, as for a destroyed window
    }
    bool JobEnded() {
        return !window->Engine().JobRunning() && host.ControlEnabled(IDC_UPDATE_DSP);
    }

    FakeDialog host;
    std::unique_ptr<CPellorinDlg> window;
};

// A port as the catalogue describes it.
serial::PortInfo Port(int number, const std::string& identity,
                      serial::PortState state = serial::PortState::Free,
                      const std::string& reason = {}) {
    serial::PortInfo port;
    port.number = number;
    port.name = port.path = "COM" + std::to_string(number);
    port.identity = identity;
    port.device = "\\Device\\" + identity;
    port.state = state;
    port.reason = reason;
    return port;
}

TestWindow MadeUpPorts(std::vector<serial::PortInfo> ports) {
    return TestWindow(std::move(ports), true);
}

// True when `expected` appear in `lines` in this order (each matched as a line's beginning).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    std::size_t next = 0;
    for (const std::string& line : lines)
        if (next < expected.size() && line.rfind(expected[next], 0) == 0) ++next;
    return next == expected.size();
}

int ImageLines(const std::string& name) {
    std::ifstream file(kImageDir + "/" + name);
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(file), {}, '\n'));
}

class Win32WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_comDir = std::filesystem::temp_directory_path() /
                   ("pellorin-win32-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_comDir);
        std::filesystem::create_directories(m_comDir);
        ::setenv("PELLORIN_COM_DIR", m_comDir.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(m_comDir); }

    std::unique_ptr<sim::SimInverter> StartSim(sim::Options options) {
        options.comDir = m_comDir.string();
        options.comNumber = 1;
        auto device = std::make_unique<sim::SimInverter>(options);
        if (!device->Start()) return nullptr;
        return device;
    }

    std::filesystem::path m_comDir;
};

}  // namespace

TEST_F(Win32WindowTest, InitialisationFillsTheFieldsAndListsPortsInNumericOrder) {
    TestWindow t = MadeUpPorts({Port(0, "a"), Port(2, "b"), Port(7, "c", serial::PortState::InUse),
                                Port(10, "d"), Port(29, "e")});
    FakeDialog& d = t.host;
    // The ports that open, in numeric order although the control sorts, the lowest selected with
    // its device in the tooltip; the one in use is not offered.
    EXPECT_EQ(d.combos[IDC_PORT_COMBO],
              (std::vector<std::string>{"COM0", "COM2", "COM10", "COM29"}));
    EXPECT_EQ(d.ComboSelection(IDC_PORT_COMBO), 0);
    EXPECT_EQ(d.toolTips[IDC_PORT_COMBO], "COM0 (\\Device\\a)");
    // The speed field's template items, added to the sorted combo, keep their order; "19200".
    EXPECT_EQ(d.combos[IDC_BAUD_COMBO],
              (std::vector<std::string>{" 4800", " 9600", "19200", "38400"}));
    EXPECT_EQ(t.window->SelectedBaudIndex(), 2);
    // The initial displays, the About entry, the job state.
    EXPECT_EQ(d.texts[IDC_PERCENT_TEXT], "0%");
    EXPECT_EQ(d.texts[IDC_ELAPSED_TEXT], "00:00");
    EXPECT_EQ(d.texts[IDC_REMAIN_TEXT], "00:00");
    EXPECT_EQ(d.texts[IDC_SPEED_TEXT], "0 Blocks/Sec");
    EXPECT_EQ(d.texts[IDC_TOTAL_BLOCKS], "0");
    EXPECT_EQ(d.texts[IDC_WRITTEN_BLOCKS], "0");
    EXPECT_EQ(d.barPosition, 0);
    EXPECT_TRUE(d.log.empty());
    EXPECT_EQ(d.aboutEntries, 1);
    // The operator's entries come before About, which stays the system menu's last.
    EXPECT_EQ(d.menu, (std::vector<std::pair<unsigned, std::string>>{{0, ""},
                                                                     {0x20, "Image folder…"},
                                                                     {0x30, "Copy log"},
                                                                     {0x40, "Save log…"},
                                                                     {0x50, "Open records folder"},
                                                                     {0x10, "About"}}));
    EXPECT_EQ(t.window->JobMode(), kJobMcuUpdate);
    EXPECT_TRUE(d.timers.empty());

    // The system menu: the About entry (whatever its low four bits) opens the box; others not.
    EXPECT_TRUE(t.window->OnSysCommand(0x0010));
    EXPECT_TRUE(t.window->OnSysCommand(0x0013));
    EXPECT_FALSE(t.window->OnSysCommand(0xF060));  // SC_CLOSE: the default handling
    EXPECT_EQ(d.aboutBoxes, 2);

    // No port at all: an empty list with nothing selected.
    TestWindow none;
    EXPECT_EQ(none.host.ComboCount(IDC_PORT_COMBO), 0);
    EXPECT_EQ(none.host.ComboSelection(IDC_PORT_COMBO), -1);
}

TEST_F(Win32WindowTest, JobButtonsWithoutAPortSaySoAndStartNothing) {
    TestWindow t;
    FakeDialog& d = t.host;
    CPellorinDlg& w = *t.window;
    d.SelectComboItem(IDC_BAUD_COMBO, 0);
    const std::pair<std::string, std::string> noPort{"Pellorin", "Canot find serial interface!"};

    w.OnCommand(IDC_UPDATE_DSP);
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_EQ(d.boxes.back(), noPort);
    EXPECT_EQ(w.JobMode(), kJobDspUpdate);
    EXPECT_TRUE(w.NegotiateBaud());
    EXPECT_EQ(d.ComboSelection(IDC_BAUD_COMBO), 0);

    // "Update MCU" still switches the speed field to "19200".
    w.OnCommand(IDC_UPDATE_MCU);
    EXPECT_EQ(d.boxes.back(), noPort);
    EXPECT_EQ(w.JobMode(), kJobMcuUpdate);
    EXPECT_EQ(d.ComboSelection(IDC_BAUD_COMBO), 2);

    // The hidden buttons, reached through their commands; "Rest EEPROM" asks first, and No
    // changes nothing.
    w.OnCommand(IDC_READ_VERSION);
    EXPECT_EQ(w.JobMode(), kJobReadVersion);
    EXPECT_FALSE(w.NegotiateBaud());
    const std::size_t shown = d.boxes.size();
    w.OnCommand(IDC_RESET_EEPROM);
    ASSERT_EQ(d.boxes.size(), shown + 1);
    EXPECT_EQ(d.boxes.back().first, "This action will reset EEPROM");
    EXPECT_EQ(d.boxes.back().second,
              " Please do this action only inverter always report 17 fault after Update "
              "MCU,Continue ? ");
    EXPECT_EQ(w.JobMode(), kJobReadVersion);
    d.answerYes = true;
    w.OnCommand(IDC_RESET_EEPROM);
    EXPECT_EQ(d.boxes.back(), noPort);
    EXPECT_EQ(w.JobMode(), kJobResetEeprom);

    EXPECT_FALSE(w.Engine().JobRunning());
    EXPECT_TRUE(d.log.empty());
    EXPECT_TRUE(d.ControlEnabled(IDC_UPDATE_DSP));
    EXPECT_TRUE(d.ControlEnabled(IDC_UPDATE_MCU));
}

TEST_F(Win32WindowTest, PortsThatDoNotOpenSayWhyAndARefreshFollowsTheChosenAdapter) {
    using serial::PortState;
    const std::string inUse = "in use by another program (the system refused access)";
    std::vector<serial::PortInfo> ports = {Port(3, "busy", PortState::InUse, inUse)};
    TestWindow t = MadeUpPorts(ports);
    FakeDialog& d = t.host;
    CPellorinDlg& w = *t.window;
    d.listPorts = [&ports] { return ports; };

    // No port opens: the tooltip and the job buttons' message say which port and why.
    EXPECT_EQ(d.ComboCount(IDC_PORT_COMBO), 0);
    EXPECT_EQ(d.toolTips[IDC_PORT_COMBO], "COM3: " + inUse);
    w.OnCommand(IDC_UPDATE_DSP);
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_EQ(d.boxes.back().second,
              "Canot find serial interface!\nCOM3 (\\Device\\busy): " + inUse);

    // Adapters plugged in: the list follows once the burst of changes has settled.
    ports = {Port(1, "a"), Port(3, "b"), Port(4, "c")};
    w.OnDevicesChanged();
    ASSERT_TRUE(d.Pump([&] { return d.ComboCount(IDC_PORT_COMBO) == 3; }, 5000));
    EXPECT_EQ(d.ComboSelection(IDC_PORT_COMBO), 0);
    EXPECT_FALSE(d.timers.count(kPortSettleTimer));

    // The chosen adapter stays selected when the list is made again, under whatever number.
    d.SelectComboItem(IDC_PORT_COMBO, 2);
    ports = {Port(2, "c"), Port(5, "a")};
    w.OnPortListOpening();
    EXPECT_EQ(d.combos[IDC_PORT_COMBO], (std::vector<std::string>{"COM2", "COM5"}));
    EXPECT_EQ(d.ComboSelection(IDC_PORT_COMBO), 0);
    EXPECT_EQ(d.toolTips[IDC_PORT_COMBO], "COM2 (\\Device\\c)");

    // Typed text stays typed.
    d.SelectComboItem(IDC_PORT_COMBO, -1);
    d.SetControlText(IDC_PORT_COMBO, "COM9");
    w.OnPortListOpening();
    EXPECT_EQ(d.ComboSelection(IDC_PORT_COMBO), -1);
    EXPECT_EQ(d.ControlText(IDC_PORT_COMBO), "COM9");

    // While a job has the port the list stays; it follows when the job ends.
    d.SelectComboItem(IDC_PORT_COMBO, 1);
    w.EnableJobButtons(false);
    ports = {Port(5, "a"), Port(6, "d")};
    w.OnPortListOpening();
    EXPECT_EQ(d.combos[IDC_PORT_COMBO], (std::vector<std::string>{"COM2", "COM5"}));
    w.EnableJobButtons(true);
    EXPECT_EQ(d.combos[IDC_PORT_COMBO], (std::vector<std::string>{"COM5", "COM6"}));
    EXPECT_EQ(d.ComboSelection(IDC_PORT_COMBO), 0);
}

TEST_F(Win32WindowTest, TheJobOpensTheChosenAdapterOrSaysWhyNot) {
    // COM1 is a line in the port folder now, but the operator chose another adapter under that
    // number, which is not plugged in: the job refuses with the reason and writes nothing.
    sim::PseudoTerminal line;
    ASSERT_TRUE(line.Ok());
    ASSERT_TRUE(line.LinkAs((m_comDir / "com1").string()));
    serial::PortInfo chosen = Port(1, "");
    chosen.identity = "dir:" + (m_comDir / "com2").string();
    TestWindow t = MadeUpPorts({chosen});
    FakeDialog& d = t.host;
    platform::ScopedClockScale scale(kClockScale);

    t.window->OnCommand(IDC_UPDATE_DSP);
    ASSERT_TRUE(d.Pump([&] { return t.JobEnded(); }, kJobTimeoutMs));
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_EQ(d.boxes.back().second.rfind("Cannot open serial port\nCOM1", 0), 0u);
    EXPECT_NE(d.boxes.back().second.find("not plugged in"), std::string::npos);
    EXPECT_EQ(line.ReadMaster(50), std::string());
}

TEST_F(Win32WindowTest, ImageFolderIsChosenRememberedAndShown) {
    auto settings = std::make_shared<std::map<std::string, std::string>>();
    {
        TestWindow t({}, false, settings);
        FakeDialog& d = t.host;
        // Cancelled: nothing changes.
        EXPECT_TRUE(t.window->OnSysCommand(kImageFolderCommand));
        EXPECT_EQ(t.window->Engine().ImageFolder(), "");
        // A folder whose name the engine's file calls cannot take is refused with a message.
        d.folderToChoose = "/images/€";
        t.window->OnSysCommand(kImageFolderCommand);
        EXPECT_EQ(t.window->Engine().ImageFolder(), "");
        ASSERT_EQ(d.boxes.size(), 1u);
        EXPECT_TRUE(settings->empty());

        d.folderToChoose = kImageDir;
        t.window->OnSysCommand(kImageFolderCommand);
        EXPECT_EQ(t.window->Engine().ImageFolder(), kImageDir);
        EXPECT_EQ((*settings)[kImageFolderSetting], kImageDir);
        EXPECT_EQ(d.menu[1].second, "Image folder… (" + kImageDir + ")");
    }
    // The next start of the program. Beside the log: the program's folder, looked in first,
    // then the one chosen.
    TestWindow t({}, false, settings);
    EXPECT_EQ(t.window->Engine().ImageFolder(), kImageDir);
    EXPECT_EQ(t.host.menu[1].second, "Image folder… (" + kImageDir + ")");
    EXPECT_EQ(t.host.texts[IDC_IMAGE_FOLDERS],
              "Images: " + kImageDir + "/, then " + kImageDir + "/");
    // The log's menu holds the system menu's entries but About.
    t.host.folderToChoose = "/elsewhere";
    t.host.popupAnswer = kImageFolderCommand;
    t.window->OnLogContextMenu(-1, -1);
    ASSERT_EQ(t.host.popupMenus.size(), 1u);
    EXPECT_EQ(t.host.popupMenus[0].first, IDC_LOG_LIST);
    EXPECT_EQ(t.host.popupMenus[0].second, (std::vector<std::pair<unsigned, std::string>>{
                                               {kImageFolderCommand, "Image folder…"},
                                               {kCopyLogCommand, "Copy log"},
                                               {kSaveLogCommand, "Save log…"},
                                               {kOpenRecordsCommand, "Open records folder"}}));
    EXPECT_EQ(t.host.chooserStart, kImageDir);
    EXPECT_EQ(t.host.texts[IDC_IMAGE_FOLDERS], "Images: " + kImageDir + "/, then /elsewhere/");
}

TEST_F(Win32WindowTest, AMissingImageSaysWhereItLookedAndOffersTheFolderChooser) {
    const std::filesystem::path program = m_comDir / "program";
    std::filesystem::create_directory(program);
    auto device = StartSim({});
    ASSERT_TRUE(device);
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t({}, false, nullptr, program.string());
    FakeDialog& d = t.host;
    d.answerYes = true;
    d.folderToChoose = kImageDir;
    t.window->OnCommand(IDC_UPDATE_DSP);
    ASSERT_TRUE(d.Pump([&] { return t.JobEnded(); }, kJobTimeoutMs));
    EXPECT_EQ(std::vector<std::string>(d.log.begin(), d.log.begin() + 2),
              (std::vector<std::string>{"Com was closed", "dsp.hex can not found!"}));
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_EQ(d.boxes[0].second,
              "dsp.hex can not found!\nLooked in " + program.string() +
                  "/: put dsp.hex there, or choose the folder that holds it with \"Image "
                  "folder…\" in the window's menu (its icon, top left) or the log's (right-click "
                  "the log).\n\nChoose the image folder now?");
    EXPECT_EQ(t.window->Engine().ImageFolder(), kImageDir);
    EXPECT_EQ(d.texts[IDC_IMAGE_FOLDERS],
              "Images: " + program.string() + "/, then " + kImageDir + "/");
}

TEST_F(Win32WindowTest, LogIsCopiedAndSavedOldestFirstWithTimesAndRecordsAreShown) {
    TestWindow t;
    FakeDialog& d = t.host;
    CPellorinDlg& w = *t.window;
    w.InsertLogLine("first");
    w.InsertLogLine("second");
    EXPECT_EQ(d.log, (std::vector<std::string>{"second", "first"}));  // no times in the list

    w.OnSysCommand(kCopyLogCommand);
    const std::vector<std::string> lines = w.LogWithTimes();
    ASSERT_EQ(lines.size(), 2u);
    // "2026-12-07 14:03:05.123  first"
    EXPECT_EQ(lines[0].size(), 23u + 2u + 5u);
    EXPECT_EQ(lines[0].substr(4, 1) + lines[0].substr(10, 1) + lines[0].substr(19, 1), "- .");
    EXPECT_EQ(lines[0].substr(23), "  first");
    EXPECT_EQ(lines[1].substr(23), "  second");
    EXPECT_EQ(d.clipboard, lines[0] + "\r\n" + lines[1] + "\r\n");

    d.saveTo = "/logs/saved.txt";
    w.OnSysCommand(kSaveLogCommand);
    EXPECT_EQ(d.files["/logs/saved.txt"], d.clipboard);
    EXPECT_TRUE(d.boxes.empty());
    d.writable = false;
    w.OnSysCommand(kSaveLogCommand);
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_EQ(d.boxes.back().second, "The log could not be saved to /logs/saved.txt");

    // Without a file manager the window says where the records are.
    d.fileManager = false;
    w.OnSysCommand(kOpenRecordsCommand);
    ASSERT_EQ(d.opened.size(), 1u);
    EXPECT_FALSE(d.opened[0].empty());
    EXPECT_EQ(d.boxes.back().second, "The update records are kept in " + d.opened[0]);
}

class Win32WindowUpdateTest : public Win32WindowTest,
                              public ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(Win32WindowUpdateTest, FullUpdateThroughTheWindow) {
    const auto [image, button] = GetParam();
    sim::Options options;
    options.eraseTimeMs = 0;
    options.expectImage = kImageDir + "/" + image;
    auto device = StartSim(options);
    ASSERT_TRUE(device);
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t;
    FakeDialog& d = t.host;
    d.SelectComboItem(IDC_BAUD_COMBO, 3);
    const int blocks = ImageLines(image);
    ASSERT_GT(blocks, 1000);
    const std::string total = std::to_string(blocks);

    t.window->OnCommand(button);
    // The buttons went grey before the worker ran; "Update MCU" chose "19200".
    EXPECT_FALSE(d.ControlEnabled(IDC_UPDATE_DSP));
    EXPECT_FALSE(d.ControlEnabled(IDC_UPDATE_MCU));
    EXPECT_TRUE(d.ControlEnabled(IDC_EXIT));
    EXPECT_EQ(d.ComboSelection(IDC_BAUD_COMBO), button == IDC_UPDATE_MCU ? 2 : 3);
    EXPECT_EQ(t.window->PortName(), "COM1");
    ASSERT_TRUE(d.Pump([&] { return t.JobEnded(); }, kJobTimeoutMs));

    // Every line was inserted on the window thread, newest on top, in the order of the run.
    EXPECT_EQ(d.logThreads, (std::set<std::thread::id>{std::this_thread::get_id()}));
    std::vector<std::string> oldestFirst(d.log.rbegin(), d.log.rend());
    EXPECT_EQ(d.log.front(), "Com was closed");
    EXPECT_EQ(d.log.back(), "COM1 was opened!");
    EXPECT_TRUE(InOrder(oldestFirst,
                        {"COM1 was opened!", "Connecting..........", "Total blocks:" + total,
                         "Ereasing flash.............", "Ereased flash ok!", "Erase case time:",
                         "Program flash..........", "Verify flash data...............",
                         "Verify flash data ok!", "Reflash  case time:", "Com was closed"}));

    // The bar and the fields at the end; the end sound once; the timers stopped.
    EXPECT_EQ(d.range, std::make_pair(0, blocks));
    EXPECT_EQ(d.barPosition, blocks);
    EXPECT_EQ(d.texts[IDC_TOTAL_BLOCKS], total);
    EXPECT_EQ(d.texts[IDC_WRITTEN_BLOCKS], total);
    EXPECT_EQ(d.texts[IDC_PERCENT_TEXT], "100%");
    EXPECT_EQ(d.texts[IDC_ELAPSED_TEXT].size(), 5u);
    EXPECT_EQ(d.sounds, 1);
    EXPECT_TRUE(d.timers.empty());
    EXPECT_TRUE(d.boxes.empty());
    EXPECT_FALSE(t.window->Engine().PortOpen());

    const sim::Summary summary = device->GetSummary();
    EXPECT_TRUE(summary.imageMatches);
    EXPECT_TRUE(summary.violations.empty())
        << (summary.violations.empty() ? "" : summary.violations[0]);
}

INSTANTIATE_TEST_SUITE_P(DspAndMcu, Win32WindowUpdateTest,
                         ::testing::Values(std::make_pair("dsp.hex", int(IDC_UPDATE_DSP)),
                                           std::make_pair("mcu.hex", int(IDC_UPDATE_MCU))),
                         [](const auto& param) {
                             return param.param.second == IDC_UPDATE_DSP ? "Dsp" : "Mcu";
                         });

TEST_F(Win32WindowTest, ADspImageWithoutVerificationRecordIsRefused) {
    // Without its record at 7FFE the DSP would never be asked for its sum: refused as a damaged
    // image is, before the device is entered, with no end sound.
    const std::filesystem::path images = m_comDir / "images";
    std::filesystem::create_directory(images);
    {
        sim::HexImageOptions image;
        image.records = 20;
        std::ofstream file(images / "dsp.hex");
        for (const std::string& line : sim::MakeHexImageLines(image)) file << line << "\n";
    }
    auto device = StartSim({});
    ASSERT_TRUE(device);
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t({}, false, nullptr, images.string());
    FakeDialog& d = t.host;
    t.window->OnCommand(IDC_UPDATE_DSP);
    ASSERT_TRUE(d.Pump([&] { return t.JobEnded(); }, kJobTimeoutMs));
    ASSERT_GE(d.log.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(d.log.begin(), d.log.begin() + 3),
              (std::vector<std::string>{"Com was closed",
                                        "dsp.hex: no verification record (address 7FFE): the DSP "
                                        "would never be asked for its sum",
                                        "Total blocks:21"}));
    EXPECT_EQ(device->ReceivedLines(), (std::vector<std::string>{"^S008BAUD192", "SV"}));
    EXPECT_EQ(d.sounds, 0);
}

TEST_F(Win32WindowTest, ExitDuringProgrammingEndsTheJobAndTheDialog) {
    sim::Options options;
    options.eraseTimeMs = 0;
    options.blockWriteTimeMs = 20;
    auto device = StartSim(options);
    ASSERT_TRUE(device);
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t;
    FakeDialog& d = t.host;
    CPellorinDlg& w = *t.window;

    w.OnCommand(IDC_UPDATE_DSP);
    ASSERT_TRUE(d.Pump([&] { return w.Counters().WrittenBlocks.load() >= 20; }, kJobTimeoutMs));
    ASSERT_TRUE(w.TimerActive(kProgramTimer));
    ASSERT_TRUE(w.Engine().JobRunning());

    w.OnCommand(IDC_EXIT);
    // The dialog ended with Cancel; the worker has ended, the port is closed, the timers are off.
    EXPECT_EQ(d.endResult, 2);
    EXPECT_TRUE(w.Closed());
    EXPECT_TRUE(w.StopRequested());
    EXPECT_FALSE(w.Engine().JobRunning());
    EXPECT_FALSE(w.Engine().PortOpen());
    EXPECT_TRUE(d.timers.empty());
    // Late notifications or worker calls change nothing; the job was abandoned.
    const std::vector<std::string> log = d.log;
    d.PumpFor(100);
    EXPECT_EQ(d.log, log);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Com was closed"), 0);
}

TEST_F(Win32WindowTest, WorkerCallsRunOnTheWindowThreadAndEndOnClose) {
    TestWindow t;
    FakeDialog& d = t.host;
    CPellorinDlg& w = *t.window;

    bool done = false;
    std::mutex doneMutex;
    int baudIndex = -2;
    std::thread worker([&] {
        w.InsertLogLine("first");
        w.InsertLogLine("second");
        w.EnableJobButtons(false);
        w.SetProgressRange(0, 50000);
        w.SetProgressPos(40000);
        w.StartTimer(kEraseTimer, 50);
        const int index = w.SelectedBaudIndex();
        w.ShowMessage("Cannot open serial port");
        std::lock_guard lock(doneMutex);
        baudIndex = index;
        done = true;
    });
    ASSERT_TRUE(d.Pump(
        [&] {
            std::lock_guard lock(doneMutex);
            return done;
        },
        10000));
    worker.join();
    EXPECT_EQ(d.logThreads, (std::set<std::thread::id>{std::this_thread::get_id()}));
    EXPECT_EQ(d.log, (std::vector<std::string>{"second", "first"}));
    EXPECT_FALSE(d.ControlEnabled(IDC_UPDATE_DSP));
    EXPECT_FALSE(d.ControlEnabled(IDC_UPDATE_MCU));
    EXPECT_FALSE(d.ControlEnabled(IDC_READ_VERSION));
    EXPECT_TRUE(d.ControlEnabled(IDC_EXIT));
    EXPECT_EQ(d.range, std::make_pair(0, 50000));
    EXPECT_EQ(d.barPosition, 40000);
    EXPECT_EQ(baudIndex, 2);
    EXPECT_EQ(d.boxes.back(),
              (std::pair<std::string, std::string>{"Pellorin", "Cannot open serial port"}));
    // Started through the contract, timer 1 ticks on its own and paces the bar.
    EXPECT_TRUE(w.TimerActive(kEraseTimer));
    w.Counters().ProgressPercent = 0;
    ASSERT_TRUE(d.Pump([&] { return w.Counters().ProgressPercent.load() >= 3; }, 5000));
    EXPECT_EQ(d.barPosition, w.Counters().ProgressPercent.load());

    // A worker waiting for the window thread is released when the window closes, and no call
    // touches the window after that.
    std::atomic<bool> returned{false};
    std::thread late([&] {
        w.InsertLogLine("never shown");
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it wait; nothing pumps
    EXPECT_FALSE(returned.load());
    w.OnCommand(IDC_EXIT);
    late.join();  // hangs here if the close did not wake it
    EXPECT_TRUE(returned.load());
    w.InsertLogLine("after close");
    d.PumpFor(20);
    EXPECT_EQ(d.log, (std::vector<std::string>{"second", "first"}));
    EXPECT_TRUE(d.timers.empty());
}

TEST_F(Win32WindowTest, ProgrammingTicksShowTheTimesAndAskForTheSoundOnce) {
    TestWindow t;
    FakeDialog& d = t.host;
    CPellorinDlg& w = *t.window;
    FlashCounters& c = w.Counters();

    // 300 of 1200 blocks after 60 s.
    c.TotalBlocks = 1200;
    c.WrittenBlocks = 300;
    c.TotalBlocksShown = 1200;
    c.WrittenBlocksShown = 300;
    c.PercentShown = 25;
    c.FlashStartTime = platform::timeGetTime() - 60000;
    c.FlashPhase = kPhaseProgramming;
    w.OnTimer(kProgramTimer);
    EXPECT_EQ(d.texts[IDC_ELAPSED_TEXT], "01:00");
    EXPECT_EQ(d.texts[IDC_SPEED_TEXT], "5 Blocks/Sec");
    EXPECT_EQ(d.texts[IDC_REMAIN_TEXT], "03:00");
    EXPECT_EQ(d.texts[IDC_TOTAL_BLOCKS], "1200");
    EXPECT_EQ(d.texts[IDC_WRITTEN_BLOCKS], "300");
    EXPECT_EQ(d.texts[IDC_PERCENT_TEXT], "25%");
    EXPECT_EQ(d.sounds, 0);

    // Resumed after block 900 of 2100: only the 300 blocks sent in this run count; an hour or
    // more reads h:mm:ss.
    c.TotalBlocks = 2100;
    c.ResumedFrom = 900;
    c.WrittenBlocks = 1200;
    w.OnTimer(kProgramTimer);
    EXPECT_EQ(d.texts[IDC_SPEED_TEXT], "5 Blocks/Sec");
    EXPECT_EQ(d.texts[IDC_REMAIN_TEXT], "03:00");
    c.FlashStartTime = platform::timeGetTime() - 3900000;
    w.OnTimer(kProgramTimer);
    EXPECT_EQ(d.texts[IDC_ELAPSED_TEXT], "1:05:00");

    // The end: one sound on the tick that finds the finished phase, none after, none on failure.
    c.FlashPhase = kPhaseFinished;
    w.OnTimer(kProgramTimer);
    w.OnTimer(kProgramTimer);
    EXPECT_EQ(d.sounds, 1);
    c.FlashPhase = kPhaseFailed;
    w.OnTimer(kProgramTimer);
    EXPECT_EQ(d.sounds, 1);
    EXPECT_EQ(c.FlashPhase.load(), kPhaseIdle);
}

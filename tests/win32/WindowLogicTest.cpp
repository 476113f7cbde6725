// The Windows window's own behaviour (win32/PellorinDlg) as the dialog procedure calls it: its
// system menu, the catalogue's ports as Windows describes them, the engine's file names; what
// both windows do alike is the window contract (tests/window), run here by
// Win32WindowDriver.cpp. The engine is the real one, behind PELLORIN_COM_DIR.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "SerialLib/Serial/PortCatalog.h"
#include "console/JobMode.h"
#include "platform/Clock.h"
#include "sim/PseudoTerminal.h"
#include "tests/win32/FakeDialog.h"

using namespace pellorin;
using namespace pellorin::win32;
using namespace pellorin::win32::testing_dialog;

namespace {

constexpr double kClockScale = 10;    // program ms per real ms
constexpr int kJobTimeoutMs = 15000;  // real ms; generous for sanitizer builds

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

    std::filesystem::path m_comDir;
};

}  // namespace

TEST_F(Win32WindowTest, InitialisationListsTheCataloguesPortsAndFillsTheSystemMenu) {
    TestWindow t = MadeUpPorts({Port(0, "a"), Port(2, "b"), Port(7, "c", serial::PortState::InUse),
                                Port(10, "d"), Port(29, "e")});
    FakeDialog& d = t.host;
    // The ports that open, in numeric order although the control sorts, the lowest selected with
    // its device in the tooltip; the one in use is not offered.
    EXPECT_EQ(d.combos[IDC_PORT_COMBO],
              (std::vector<std::string>{"COM0", "COM2", "COM10", "COM29"}));
    EXPECT_EQ(d.ComboSelection(IDC_PORT_COMBO), 0);
    EXPECT_EQ(d.toolTips[IDC_PORT_COMBO], "COM0 (\\Device\\a)");
    // The speed field's template items, added to the sorted combo, keep their order.
    EXPECT_EQ(d.combos[IDC_BAUD_COMBO],
              (std::vector<std::string>{" 4800", " 9600", "19200", "38400"}));
    EXPECT_EQ(d.aboutEntries, 1);
    // The operator's entries come before About, which stays the system menu's last.
    EXPECT_EQ(d.menu, (std::vector<std::pair<unsigned, std::string>>{{0, ""},
                                                                     {0x20, "Image folder…"},
                                                                     {0x30, "Copy log"},
                                                                     {0x40, "Save log…"},
                                                                     {0x50, "Open records folder"},
                                                                     {0x10, "About"}}));

    // The system menu: the About entry (whatever its low four bits) opens the box; others not.
    EXPECT_TRUE(t.window->OnSysCommand(0x0010));
    EXPECT_TRUE(t.window->OnSysCommand(0x0013));
    EXPECT_FALSE(t.window->OnSysCommand(0xF060));  // SC_CLOSE: the default handling
    EXPECT_EQ(d.aboutBoxes, 2);
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

TEST_F(Win32WindowTest, ImageFolderTheEngineCannotNameIsRefusedAndTheMenusShowTheFolder) {
    auto settings = std::make_shared<std::map<std::string, std::string>>();
    {
        TestWindow t({}, false, settings);
        FakeDialog& d = t.host;
        // A folder whose name the engine's file calls cannot take is refused with a message.
        d.folderToChoose = "/images/€";
        EXPECT_TRUE(t.window->OnSysCommand(kImageFolderCommand));
        EXPECT_EQ(t.window->Engine().ImageFolder(), "");
        ASSERT_EQ(d.boxes.size(), 1u);
        EXPECT_TRUE(settings->empty());

        d.folderToChoose = kImageDir;
        t.window->OnSysCommand(kImageFolderCommand);
        EXPECT_EQ((*settings)[kImageFolderSetting], kImageDir);
        EXPECT_EQ(d.menu[1].second, "Image folder… (" + kImageDir + ")");
    }
    // The next start shows it in the system menu's entry; the log's menu holds the system menu's
    // entries but About, and its chooser starts in the folder chosen.
    TestWindow t({}, false, settings);
    EXPECT_EQ(t.host.menu[1].second, "Image folder… (" + kImageDir + ")");
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

TEST_F(Win32WindowTest, LogLinesEndInCrLfAndASaveThatFailsSaysSo) {
    TestWindow t;
    FakeDialog& d = t.host;
    CPellorinDlg& w = *t.window;
    w.InsertLogLine("first");
    w.InsertLogLine("second");
    w.OnSysCommand(kCopyLogCommand);
    const std::vector<std::string> lines = w.LogWithTimes();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(d.clipboard, lines[0] + "\r\n" + lines[1] + "\r\n");

    d.saveTo = "/logs/saved.txt";
    d.writable = false;
    w.OnSysCommand(kSaveLogCommand);
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_EQ(d.boxes.back().second, "The log could not be saved to /logs/saved.txt");

    // The records' box names the folder in the window's words.
    d.fileManager = false;
    w.OnSysCommand(kOpenRecordsCommand);
    ASSERT_EQ(d.opened.size(), 1u);
    EXPECT_EQ(d.boxes.back().second, "The update records are kept in " + d.opened[0]);
}

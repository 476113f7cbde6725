// The window contract run against the Windows window's logic, in its stand-in dialog.
#include <map>
#include <memory>

#include "tests/win32/FakeDialog.h"
#include "tests/window/WindowDriver.h"

namespace pellorin::testing_window {
namespace {

using win32::CPellorinDlg;
using win32::testing_dialog::FakeDialog;
using win32::testing_dialog::TestWindow;
using Settings = std::map<std::string, std::string>;

class Win32Driver : public WindowDriver {
  public:
    Win32Driver(std::shared_ptr<Settings> settings, const std::string& programFolder)
        : m_t({}, false, std::move(settings), programFolder) {}

    Console& Window() override { return W(); }
    FlashCounters& Counters() override { return W().Counters(); }
    void Press(int id) override { W().OnCommand(id); }
    void Tick(int timerId) override { W().OnTimer(timerId); }
    bool Pump(const std::function<bool()>& done, int timeoutMs) override {
        return D().Pump(done, timeoutMs);
    }
    int JobMode() const override { return m_t.window->JobMode(); }
    bool NegotiateBaud() const override { return m_t.window->NegotiateBaud(); }
    std::string PortName() const override { return m_t.window->PortName(); }
    bool TimerActive(int timerId) const override { return m_t.window->TimerActive(timerId); }
    bool Closed() const override { return m_t.host.endResult == 2 && m_t.window->Closed(); }

    bool JobRunning() const override { return m_t.window->Engine().JobRunning(); }
    bool PortOpen() const override { return m_t.window->Engine().PortOpen(); }
    std::string ImageFolder() const override { return m_t.window->Engine().ImageFolder(); }
    std::string RecordsFolder() const override { return m_t.window->Engine().RecordsFolder(); }

    std::vector<std::string> Log() const override { return m_t.host.log; }
    bool LogOnWindowThreadOnly() const override {
        return m_t.host.logThreads.empty() ||
               m_t.host.logThreads == std::set<std::thread::id>{std::this_thread::get_id()};
    }
    std::string Text(int id) const override { return m_t.host.ControlText(id); }
    bool Enabled(int id) const override { return m_t.host.ControlEnabled(id); }
    // The template hides them, and this window shows no control.
    bool HiddenControlsHidden() const override { return true; }
    std::vector<std::string> ComboItems(int id) const override {
        const auto it = m_t.host.combos.find(id);
        return it == m_t.host.combos.end() ? std::vector<std::string>{} : it->second;
    }
    int ComboSelection(int id) const override { return m_t.host.ComboSelection(id); }
    void SelectComboItem(int id, int index) override { D().SelectComboItem(id, index); }
    std::pair<int, int> BarRange() const override { return m_t.host.range; }
    int BarPosition() const override { return m_t.host.barPosition; }
    std::string ImageFoldersShown() const override { return Text(IDC_IMAGE_FOLDERS); }

    std::vector<std::pair<std::string, std::string>> Boxes() const override {
        return m_t.host.boxes;
    }
    void AnswerYes(bool yes) override { D().answerYes = yes; }
    int Sounds() const override { return m_t.host.sounds; }
    void FolderToChoose(const std::string& folder) override { D().folderToChoose = folder; }
    void ChooseImageFolder() override { W().OnSysCommand(win32::kImageFolderCommand); }
    std::string CopyLog() override {
        W().OnSysCommand(win32::kCopyLogCommand);
        return D().clipboard;
    }
    std::string SaveLog(const std::string& path) override {
        D().saveTo = path;
        W().OnSysCommand(win32::kSaveLogCommand);
        return D().files[path];
    }
    std::vector<std::string> OpenRecordsFolderWithoutFileManager() override {
        D().fileManager = false;
        W().OnSysCommand(win32::kOpenRecordsCommand);
        return D().opened;
    }
    std::string ImageFolderEntryPlace() const override {
        return "in the window's menu (its icon, top left) or the log's (right-click the log)";
    }

  private:
    CPellorinDlg& W() { return *m_t.window; }
    FakeDialog& D() { return m_t.host; }

    TestWindow m_t;
};

// The settings outlive a window, as the registry does between runs of the program.
class Win32Kind : public WindowKind {
  public:
    const char* Name() const override { return "Win32"; }
    std::unique_ptr<WindowDriver> Open(const std::string& programFolder) override {
        return std::make_unique<Win32Driver>(m_settings, programFolder);
    }
    void ForgetSettings() override { m_settings = std::make_shared<Settings>(); }

  private:
    std::shared_ptr<Settings> m_settings = std::make_shared<Settings>();
};

Win32Kind g_win32;

}  // namespace

INSTANTIATE_TEST_SUITE_P(Win32, WindowContract, ::testing::Values(&g_win32));

}  // namespace pellorin::testing_window

// The Windows window's handlers: initialisation, the port list, the system menu's entries, timer
// ticks and the Console calls; the buttons are JobButtons.
#include "win32/PellorinDlg.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "console/JobMode.h"
#include "console/WallTime.h"

namespace pellorin::win32 {
namespace {

constexpr int kCancelResult = 2;
constexpr std::size_t kMaxPercentChars = 5;
constexpr int kJobButtons[] = {IDC_UPDATE_DSP, IDC_UPDATE_MCU, IDC_READ_VERSION};
// The operator's conveniences: the system menu's entries before About, and the log's menu.
constexpr std::pair<unsigned, const char*> kConveniences[] = {
    {kImageFolderCommand, "Image folder…"},
    {kCopyLogCommand, "Copy log"},
    {kSaveLogCommand, "Save log…"},
    {kOpenRecordsCommand, "Open records folder"},
};

}  // namespace

CPellorinDlg::CPellorinDlg(DialogHost& host, const EngineFactory& makeEngine)
    : m_host(host),
      m_calls([&host] { host.WakeWindowThread(); }),
      m_ports([&host] { return host.ListPorts(); }) {
    m_calls.SetWindowThread(std::this_thread::get_id());
    m_engine = makeEngine(*this, m_counters, [this](std::uintptr_t wParam, std::intptr_t lParam) {
        return m_acceptsPosts.load() && m_host.PostSerialMessage(wParam, lParam);
    });
    m_buttons =
        std::make_unique<JobButtons>(static_cast<JobButtons::Window&>(*this), *m_engine, m_ports);
}

CPellorinDlg::~CPellorinDlg() {
    ShutDown();
    m_buttons.reset();
    m_engine.reset();
}

bool CPellorinDlg::OnInitDialog() {
    // The template's initial data for the speed field.
    // Added to a sorted combo, the entries keep the table's order.
    for (const LinkSpeed& speed : kLinkSpeeds) m_host.AddComboItem(IDC_BAUD_COMBO, speed.boxEntry);
    // The operator's conveniences, then the About entry, which stays the system menu's last.
    m_host.AppendSystemMenuEntry(0, "");
    for (const auto& [command, text] : kConveniences) m_host.AppendSystemMenuEntry(command, text);
    m_host.AppendAboutEntry();
    FillPortList();
    // The display starts from the published numbers at zero: "0%", "0" and "0"; the time texts
    // start as "00:00" and the speed as "0 Blocks/Sec".
    m_counters.FlashPhase.store(kPhaseIdle);
    m_buttons->SetJobMode(kJobMcuUpdate);
    m_engine->SetJobMode(kJobMcuUpdate);
    m_host.SelectComboItem(IDC_BAUD_COMBO, kBaudItem19200);
    // The image folder the operator chose in an earlier run.
    const std::string folder = m_host.ReadUserSetting(kImageFolderSetting);
    if (!folder.empty()) m_engine->SetImageFolder(m_host.ToEnginePath(folder));
    ShowImageFolder();
    UpdateData();
    return true;
}

// ---- The port list ---------------------------------------------------------------------------

void CPellorinDlg::FillPortList() {
    const int selected = m_ports.Refresh();
    // At an index: the list keeps the numeric order although the control sorts additions.
    for (int index = 0; index < m_ports.Count(); ++index)
        m_host.InsertComboItem(IDC_PORT_COMBO, index, m_ports.Name(index));
    // Item 0 selected; with no port the list is empty and nothing is selected.
    if (selected >= 0) m_host.SelectComboItem(IDC_PORT_COMBO, selected);
    ShowPortDescription();
}

void CPellorinDlg::OnPortListOpening() {
    // A port that another program has let go is announced by no device event.
    m_portsChanged = true;
    RefreshPortList();
}

void CPellorinDlg::OnDevicesChanged() {
    if (m_shutDown) return;
    // The changes of one replug come as a burst: the list is made once they have settled.
    m_portsChanged = true;
    m_host.SetTimer(kPortSettleTimer, kPortSettleMs);
}

void CPellorinDlg::RefreshPortList() {
    if (m_shutDown || !m_portsChanged) return;
    // A job has the port: the list follows once the job has ended (EnableJobButtons).
    if (!JobButtonsEnabled()) return;
    m_portsChanged = false;
    const int selected = m_host.ComboSelection(IDC_PORT_COMBO);
    const std::string typed = selected < 0 ? m_host.ControlText(IDC_PORT_COMBO) : std::string();
    const int keep = m_ports.Refresh(m_ports.Identity(selected));
    m_host.ResetCombo(IDC_PORT_COMBO);
    for (int index = 0; index < m_ports.Count(); ++index)
        m_host.InsertComboItem(IDC_PORT_COMBO, index, m_ports.Name(index));
    if (!typed.empty()) {
        // What the operator typed stays, and selects nothing, as before.
        m_host.SetControlText(IDC_PORT_COMBO, typed);
    } else if (keep >= 0) {
        m_host.SelectComboItem(IDC_PORT_COMBO, keep);
    }
    ShowPortDescription();
}

void CPellorinDlg::OnPortSelected() { ShowPortDescription(); }

void CPellorinDlg::ShowPortDescription() {
    m_host.SetToolTip(IDC_PORT_COMBO, m_ports.Description(SelectedPortEntry()));
}

// ---- Commands --------------------------------------------------------------------------------

void CPellorinDlg::OnCommand(int id) {
    if (id == IDC_EXIT) return OnCancel();
    m_buttons->OnCommand(id);
}

bool CPellorinDlg::ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) {
    return m_host.ShowMessageBox(text, caption, yesNo);
}

void CPellorinDlg::Inform(const std::string& text) {
    m_host.ShowMessageBox(text, kApplicationName, false);
}

void CPellorinDlg::SelectBaudItem(int index) { m_host.SelectComboItem(IDC_BAUD_COMBO, index); }

int CPellorinDlg::SelectedPortEntry() const {
    // -1 also when typed text matches no item.
    return m_host.ComboSelection(IDC_PORT_COMBO);
}

std::string CPellorinDlg::TypedPortText() const {
    return SelectedPortEntry() < 0 ? m_host.ControlText(IDC_PORT_COMBO) : std::string();
}

bool CPellorinDlg::JobButtonsEnabled() const { return m_host.ControlEnabled(IDC_UPDATE_DSP); }

void CPellorinDlg::SetJobButtonsEnabled(bool enable) {
    for (int id : kJobButtons) m_host.EnableControl(id, enable);
}

void CPellorinDlg::OnCancel() {
    ShutDown();
    m_host.EndDialog(kCancelResult);
}

void CPellorinDlg::ShutDown() {
    if (m_shutDown) return;
    m_shutDown = true;
    // Order matters: first no worker call may wait for this thread any more and no notification
    // is posted, then the engine stops the worker (its pauses and reply waits end on the stop
    // request), closes the port and waits for the worker and the listener; only then may the
    // window go.
    m_calls.Close();
    m_acceptsPosts.store(false);
    if (m_buttons) m_buttons->Close();
    for (int timerId : {kEraseTimer, kProgramTimer}) {
        m_host.KillTimer(timerId);
        m_timerRunning[timerId - 1] = false;
    }
    m_host.KillTimer(kPortSettleTimer);
    if (m_engine) m_engine->Shutdown();
}

// ---- The system menu -------------------------------------------------------------------------

bool CPellorinDlg::OnSysCommand(unsigned command) {
    switch (command & 0xFFF0u) {
        case kAboutCommand:
            m_host.ShowAboutBox();
            return true;
        case kImageFolderCommand:
            OnImageFolder();
            return true;
        case kCopyLogCommand:
            OnCopyLog();
            return true;
        case kSaveLogCommand:
            OnSaveLog();
            return true;
        case kOpenRecordsCommand:
            OnOpenRecordsFolder();
            return true;
        default:
            return false;
    }
}

void CPellorinDlg::OnLogContextMenu(int x, int y) {
    if (m_shutDown) return;
    const unsigned chosen = m_host.ShowPopupMenu(
        IDC_LOG_LIST, x, y, {std::begin(kConveniences), std::end(kConveniences)});
    if (chosen != 0) OnSysCommand(chosen);
}

void CPellorinDlg::OnImageFolder() {
    if (m_shutDown) return;
    const std::string chosen = m_host.ChooseFolder(m_host.FromEnginePath(m_engine->ImageFolder()));
    if (chosen.empty()) return;
    const std::string enginePath = m_host.ToEnginePath(chosen);
    if (enginePath.empty()) {
        Inform("The images cannot be read from " + chosen +
               "\nIts name has characters this system's programs cannot name; choose another "
               "folder.");
        return;
    }
    if (!m_host.WriteUserSetting(kImageFolderSetting, chosen)) {
        Inform("The image folder is used until the program ends but could not be remembered in " +
               m_host.UserSettingsPlace());
    }
    m_engine->SetImageFolder(enginePath);
    ShowImageFolder();
}

void CPellorinDlg::ShowImageFolder() {
    const std::string folder = m_host.FromEnginePath(m_engine->ImageFolder());
    m_host.SetSystemMenuEntryText(
        kImageFolderCommand, folder.empty() ? "Image folder…" : "Image folder… (" + folder + ")");
    std::vector<std::string> folders;
    for (const std::string& searched : m_engine->ImageSearchFolders())
        folders.push_back(m_host.FromEnginePath(searched));
    const std::string text = ImageFoldersText(folders);
    m_host.SetControlText(IDC_IMAGE_FOLDERS, text);
    m_host.SetToolTip(IDC_IMAGE_FOLDERS,
                      text + "\nAnother folder: \"Image folder…\" " + kHowToChooseFolder);
}

std::vector<std::string> CPellorinDlg::LogWithTimes() const {
    std::vector<std::string> lines;
    lines.reserve(m_logLines.size());
    for (const auto& [when, line] : m_logLines) lines.push_back(LocalTimeText(when) + "  " + line);
    return lines;
}

void CPellorinDlg::OnCopyLog() {
    std::string text;
    for (const std::string& line : LogWithTimes()) text += line + "\r\n";
    m_host.CopyToClipboard(text);
}

void CPellorinDlg::OnSaveLog() {
    if (m_shutDown) return;
    // "pellorin-log-20261207-140305.txt"
    std::string stamp = LocalTimeText(std::chrono::system_clock::now()).substr(0, 19);
    std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
    std::replace(stamp.begin(), stamp.end(), ' ', '-');
    const std::string suggested = "pellorin-log-" + stamp + ".txt";
    const std::string path = m_host.ChooseSaveFile(suggested);
    if (path.empty()) return;
    std::string text;
    for (const std::string& line : LogWithTimes()) text += line + "\r\n";
    if (!m_host.WriteTextFile(path, text)) Inform("The log could not be saved to " + path);
}

void CPellorinDlg::OnOpenRecordsFolder() {
    if (m_shutDown) return;
    const std::string folder = m_host.FromEnginePath(m_engine->RecordsFolder());
    if (!folder.empty() && m_host.OpenFolder(folder)) return;
    Inform(folder.empty() ? std::string("No update records are kept.")
                          : "The update records are kept in " + folder);
}

void CPellorinDlg::OnSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) {
    if (!m_shutDown) m_engine->OnSerialMessage(wParam, lParam);
}

void CPellorinDlg::RunPendingCalls() { m_calls.RunPending(); }

// ---- Timers and display ----------------------------------------------------------------------

void CPellorinDlg::OnTimer(int timerId) {
    if (m_shutDown) return;
    if (timerId == kPortSettleTimer) {
        m_host.KillTimer(kPortSettleTimer);
        RefreshPortList();
        return;
    }
    if (timerId == kEraseTimer) {
        m_counters.BarPosition.store(m_display.OnEraseTick());
    } else if (timerId == kProgramTimer) {
        if (m_display.OnProgramTick(m_engine->Now())) m_host.PlayEndSound();
    }
    UpdateData();
}

void CPellorinDlg::UpdateData() {
    // The worker moves the bar's position after every block without waiting for this thread;
    // it is shown here, with the texts.
    m_host.SetProgressPos(IDC_PROGRESS_BAR, m_counters.BarPosition.load());
    m_host.SetControlText(IDC_TOTAL_BLOCKS, m_display.TotalBlocksText());
    m_host.SetControlText(IDC_ELAPSED_TEXT, m_display.ElapsedText());
    m_host.SetControlText(IDC_REMAIN_TEXT, m_display.RemainText());
    m_host.SetControlText(IDC_SPEED_TEXT, m_display.SpeedText());
    m_host.SetControlText(IDC_PERCENT_TEXT, m_display.PercentText().substr(0, kMaxPercentChars));
    m_host.SetControlText(IDC_WRITTEN_BLOCKS, m_display.WrittenBlocksText());
}

// ---- Console ---------------------------------------------------------------------------------

void CPellorinDlg::InsertLogLine(const std::string& line) {
    m_calls.Run([this, line] {
        m_host.InsertListLine(IDC_LOG_LIST, 0, line);
        m_logLines.emplace_back(std::chrono::system_clock::now(), line);
    });
}

void CPellorinDlg::SetProgressRange(int lower, int upper) {
    m_calls.Run([this, lower, upper] { m_host.SetProgressRange(IDC_PROGRESS_BAR, lower, upper); });
}

void CPellorinDlg::SetProgressPos(int position) {
    m_calls.Run([this, position] {
        m_counters.BarPosition.store(position);
        m_host.SetProgressPos(IDC_PROGRESS_BAR, position);
    });
}

void CPellorinDlg::StartTimer(int timerId, unsigned periodMs) {
    m_calls.Run([this, timerId, periodMs] {
        if (timerId < 1 || timerId > 2) return;
        // The period is in the engine's milliseconds; a scaled clock shortens it in real time.
        const unsigned real = m_engine->RealPeriodMs(periodMs);
        m_host.SetTimer(timerId, real > 0 ? real : 1);
        m_timerRunning[timerId - 1] = true;
    });
}

void CPellorinDlg::StopTimer(int timerId) {
    m_calls.Run([this, timerId] {
        if (timerId < 1 || timerId > 2) return;
        m_host.KillTimer(timerId);
        m_timerRunning[timerId - 1] = false;
        // A run that finished after the last tick still owes the operator its end sound.
        if (timerId == kProgramTimer && m_display.OnProgramTimerStopped()) m_host.PlayEndSound();
    });
}

void CPellorinDlg::EnableJobButtons(bool enable) {
    m_calls.Run([this, enable] {
        SetJobButtonsEnabled(enable);
        // Adapters plugged in or out during the job show now.
        if (enable) RefreshPortList();
        if (enable) ShowImageFolder();
    });
}

int CPellorinDlg::SelectedBaudIndex() {
    // Shared, not on this stack: a worker released by the closing does not wait for the call.
    auto index = std::make_shared<int>(-1);
    m_calls.Run([this, index] { *index = m_host.ComboSelection(IDC_BAUD_COMBO); });
    return *index;
}

void CPellorinDlg::ImageNotFound(const std::string& fileName,
                                 const std::vector<std::string>& folders) {
    std::vector<std::string> shown;
    for (const std::string& folder : folders) shown.push_back(m_host.FromEnginePath(folder));
    const std::string text = ImageNotFoundMessage(fileName, shown, kHowToChooseFolder) +
                             "\n\nChoose the image folder now?";
    m_calls.Run([this, text] {
        if (m_host.ShowMessageBox(text, kApplicationName, true)) OnImageFolder();
    });
}

void CPellorinDlg::ShowMessage(const std::string& text) {
    m_calls.Run([this, text] { m_host.ShowMessageBox(text, kApplicationName, false); });
}

}  // namespace pellorin::win32

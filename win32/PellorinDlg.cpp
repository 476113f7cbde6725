// The Windows window's handlers: initialisation, buttons, timer ticks and the Console calls.
#include "win32/PellorinDlg.h"

#include "link/JobMode.h"

namespace pellorin::win32 {
namespace {

constexpr int kCancelResult = 2;
constexpr std::size_t kMaxPercentChars = 5;
// How long a button press waits for a worker that has already re-enabled the buttons as its last
// window call and is only returning.
constexpr unsigned kEndingJobWaitMs = 1000;
constexpr int kJobButtons[] = {IDC_UPDATE_DSP, IDC_UPDATE_MCU, IDC_READ_VERSION};

const char* const kNoPortText = "Canot find serial interface!";
const char* const kResetQuestion =
    " Please do this action only inverter always report 17 fault after Update MCU,Continue ? ";
const char* const kResetCaption = "This action will reset EEPROM";

}  // namespace

CPellorinDlg::CPellorinDlg(DialogHost& host, const EngineFactory& makeEngine)
    : m_host(host), m_calls([&host] { host.WakeWindowThread(); }) {
    m_calls.SetWindowThread(std::this_thread::get_id());
    m_engine = makeEngine(*this, m_counters, [this](std::uintptr_t wParam, std::intptr_t lParam) {
        return m_acceptsPosts.load() && m_host.PostSerialMessage(wParam, lParam);
    });
}

CPellorinDlg::~CPellorinDlg() {
    ShutDown();
    m_engine.reset();
}

bool CPellorinDlg::OnInitDialog() {
    // The template's initial data for the speed field.
    for (const char* item : kBaudItems) m_host.AddComboItem(IDC_BAUD_COMBO, item);
    m_host.AppendAboutEntry();
    FillPortList();
    // The display starts from the published numbers at zero: "0%", "0" and "0"; the time texts
    // start as "00:00" and the speed as "0 Blocks/Sec".
    m_counters.FlashPhase.store(kPhaseIdle);
    m_jobMode = kJobMcuUpdate;
    m_engine->SetJobMode(kJobMcuUpdate);
    m_host.SelectComboItem(IDC_BAUD_COMBO, kBaudItem19200);
    UpdateData();
    return true;
}

void CPellorinDlg::FillPortList() {
    int index = 0;
    for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number) {
        if (!m_host.PortPresent(number)) continue;
        // At an index: the list keeps the numeric order although the control sorts additions.
        m_host.InsertComboItem(IDC_PORT_COMBO, index++, "COM" + std::to_string(number));
    }
    // Item 0 selected; with no port the list is empty and nothing is selected.
    if (index > 0) m_host.SelectComboItem(IDC_PORT_COMBO, 0);
}

// ---- Commands --------------------------------------------------------------------------------

void CPellorinDlg::OnCommand(int id) {
    switch (id) {
        case IDC_UPDATE_DSP:
            OnOK();
            break;
        case IDC_EXIT:
            OnCancel();
            break;
        case IDC_UPDATE_MCU:
            OnUpdateMcu();
            break;
        case IDC_READ_VERSION:
            OnReadVersion();
            break;
        case IDC_RESET_EEPROM:
            OnResetEeprom();
            break;
        case kCommandClosePort:
            if (!m_shutDown) m_engine->ClosePort();
            break;
        case kCommandCountImageBlocks:
            // The image reader belongs to the running job while there is one.
            if (!m_shutDown && !m_engine->JobRunning()) m_engine->CountImageBlocks();
            break;
        default:
            break;
    }
}

void CPellorinDlg::OnOK() { StartJobFromButton(kJobDspUpdate, true); }

void CPellorinDlg::OnUpdateMcu() {
    m_host.SelectComboItem(IDC_BAUD_COMBO, kBaudItem19200);
    StartJobFromButton(kJobMcuUpdate, true);
}

void CPellorinDlg::OnReadVersion() { StartJobFromButton(kJobReadVersion, false); }

void CPellorinDlg::OnResetEeprom() {
    if (m_shutDown) return;
    if (!m_host.ShowMessageBox(kResetQuestion, kResetCaption, true)) return;
    StartJobFromButton(kJobResetEeprom, false);
}

void CPellorinDlg::StartJobFromButton(int jobMode, bool negotiateBaud) {
    if (m_shutDown) return;
    // Collecting the fields changes nothing: every bound text field is read-only.
    m_jobMode = jobMode;
    m_negotiateBaud = negotiateBaud;
    const int port = m_host.ComboSelection(IDC_PORT_COMBO);
    if (port < 0) {
        m_host.ShowMessageBox(kNoPortText, kApplicationName, false);
        return;
    }
    m_portName = m_host.ComboItemText(IDC_PORT_COMBO, port);

    if (m_engine->JobRunning() && m_host.ControlEnabled(IDC_UPDATE_DSP)) {
        // The buttons are enabled again: the worker has made its last window call and is only
        // returning.
        m_engine->WaitForJob(kEndingJobWaitMs);
    }
    // One job at a time: the buttons go grey here, before the worker starts, so a second press
    // (or a second Enter) cannot start a second worker on the one port.
    if (m_engine->JobRunning()) return;
    SetJobButtonsEnabled(false);
    if (!m_engine->StartJob(m_jobMode, m_negotiateBaud, m_portName)) SetJobButtonsEnabled(true);
}

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
    for (int timerId : {kEraseTimer, kProgramTimer}) {
        m_host.KillTimer(timerId);
        m_timerRunning[timerId - 1] = false;
    }
    if (m_engine) m_engine->Shutdown();
}

bool CPellorinDlg::OnSysCommand(unsigned command) {
    if ((command & 0xFFF0u) != kAboutCommand) return false;
    m_host.ShowAboutBox();
    return true;
}

void CPellorinDlg::OnSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) {
    if (!m_shutDown) m_engine->OnSerialMessage(wParam, lParam);
}

void CPellorinDlg::RunPendingCalls() { m_calls.RunPending(); }

// ---- Timers and display ----------------------------------------------------------------------

void CPellorinDlg::OnTimer(int timerId) {
    if (m_shutDown) return;
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
    m_calls.Run([this, line] { m_host.InsertListLine(IDC_LOG_LIST, 0, line); });
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
    });
}

void CPellorinDlg::EnableJobButtons(bool enable) {
    m_calls.Run([this, enable] { SetJobButtonsEnabled(enable); });
}

int CPellorinDlg::SelectedBaudIndex() {
    // Shared, not on this stack: a worker released by the closing does not wait for the call.
    auto index = std::make_shared<int>(-1);
    m_calls.Run([this, index] { *index = m_host.ComboSelection(IDC_BAUD_COMBO); });
    return *index;
}

void CPellorinDlg::ShowMessage(const std::string& text) {
    m_calls.Run([this, text] { m_host.ShowMessageBox(text, kApplicationName, false); });
}

}  // namespace pellorin::win32

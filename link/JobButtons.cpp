// The job buttons' common course.
#include "link/JobButtons.h"

#include "SerialLib/Serial/RemotePortName.h"
#include "console/Console.h"
#include "console/JobMode.h"

namespace pellorin {
namespace {

// How long a button press waits for a worker that has already re-enabled the buttons as its last
// window call and is only returning.
constexpr unsigned kEndingJobWaitMs = 1000;

const char* const kResetQuestion =
    " Please do this action only inverter always report 17 fault after Update MCU,Continue ? ";
const char* const kResetCaption = "This action will reset EEPROM";
// The program file's name, the caption of the window's own message boxes.
const char* const kCaption = "Pellorin";

}  // namespace

void JobButtons::OnCommand(int id) {
    switch (id) {
        case IDC_UPDATE_DSP:
            OnOK();
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
            if (!m_closed) m_engine.ClosePort();
            break;
        case kCommandCountImageBlocks:
            // The image reader belongs to the running job while there is one.
            if (!m_closed && !m_engine.JobRunning()) m_engine.CountImageBlocks();
            break;
        default:
            break;
    }
}

void JobButtons::OnOK() { StartJobFromButton(kJobDspUpdate, true); }

void JobButtons::OnUpdateMcu() {
    m_window.SelectBaudItem(kBaudItem19200);
    StartJobFromButton(kJobMcuUpdate, true);
}

void JobButtons::OnReadVersion() { StartJobFromButton(kJobReadVersion, false); }

void JobButtons::OnResetEeprom() {
    if (m_closed) return;
    if (!m_window.ShowMessageBox(kResetQuestion, kResetCaption, true)) return;
    StartJobFromButton(kJobResetEeprom, false);
}

void JobButtons::StartJobFromButton(int jobMode, bool negotiateBaud) {
    if (m_closed) return;
    // Collecting the fields changes nothing: every bound text field is read-only.
    m_jobMode = jobMode;
    m_negotiateBaud = negotiateBaud;
    const int selected = m_window.SelectedPortEntry();
    std::string identity;
    if (!m_ports.Name(selected).empty()) {
        m_portName = m_ports.Name(selected);
        // The adapter behind the entry, so the job opens it wherever it is plugged in now.
        identity = m_ports.Identity(selected);
    } else if (const std::string typed = m_window.TypedPortText();
               serial::IsRemotePortName(typed)) {
        if (const std::string problem = serial::RemoteNameProblem(typed); !problem.empty()) {
            m_window.ShowMessageBox("Cannot open serial port\n" + problem, kCaption, false);
            return;
        }
        m_portName = typed;
        identity = "remote:" + typed;
    } else {
        m_window.ShowMessageBox(m_ports.NoPortMessage(), kCaption, false);
        return;
    }

    if (m_engine.JobRunning() && m_window.JobButtonsEnabled()) {
        // The buttons are enabled again: the worker has made its last window call and is only
        // returning.
        m_engine.WaitForJob(kEndingJobWaitMs);
    }
    // One job at a time: the buttons go grey here, before the worker starts, so a second press
    // (or a second Enter) cannot start a second worker on the one port.
    if (m_engine.JobRunning()) return;
    m_window.SetJobButtonsEnabled(false);
    if (!m_engine.StartJob(m_jobMode, m_negotiateBaud, m_portName, identity))
        m_window.SetJobButtonsEnabled(true);
}

}  // namespace pellorin

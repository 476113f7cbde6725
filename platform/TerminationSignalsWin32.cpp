// Ctrl+C, Ctrl+Break and the console's closing through a console control handler that sets an
// event; the program's main thread waits on that event.
#include "platform/TerminationSignals.h"
#include "platform/Win32Types.h"

namespace platform {
namespace {

// The handler runs on a thread the system starts for it, so what it touches is global: the
// event it sets, and the event that says the watch has gone (the work has ended).
HANDLE g_requested = nullptr;
HANDLE g_finished = nullptr;
volatile LONG g_request = -1;  // the first control event that arrived

// How long a closing console waits for the work to end: Windows ends the process about five
// seconds after the close, whatever the handler does.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD type) {
    ::InterlockedCompareExchange(&g_request, static_cast<LONG>(type), -1);
    ::SetEvent(g_requested);
    switch (type) {
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends when this returns: the jobs close their ports first.
            ::WaitForSingleObject(g_finished, kCloseGraceMs);
            break;
        default:
            break;
    }
    return TRUE;  // handled: Ctrl+C does not end the process
}

}  // namespace

TerminationWatch::TerminationWatch() {
    if (!g_requested) g_requested = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_finished) g_finished = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_requested || !g_finished) return;
    ::ResetEvent(g_requested);
    ::ResetEvent(g_finished);
    ::InterlockedExchange(&g_request, -1);
    m_watching = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}

TerminationWatch::~TerminationWatch() {
    if (!m_watching) return;
    // A console that is being closed lets the process end now; a later Ctrl+C no longer reaches
    // work that has gone, but still ends the program as by default.
    ::SetEvent(g_finished);
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

bool TerminationWatch::Watching() const { return m_watching; }

bool TerminationWatch::Wait(int timeoutMs) {
    if (m_arrived) return true;
    if (!m_watching) {
        ::Sleep(static_cast<DWORD>(timeoutMs));
        return false;
    }
    m_arrived = ::WaitForSingleObject(g_requested, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
    if (m_arrived) m_request = static_cast<int>(::InterlockedCompareExchange(&g_request, -1, -1));
    return m_arrived;
}

const char* TerminationWatch::Cause() const {
    switch (m_request) {
        case CTRL_C_EVENT:
            return "stopped by the operator (Ctrl+C)";
        case CTRL_BREAK_EVENT:
            return "stopped by the operator (Ctrl+Break)";
        case CTRL_CLOSE_EVENT:
            return "stopped: the console window was closed";
        case CTRL_LOGOFF_EVENT:
            return "stopped: the user logged off";
        case CTRL_SHUTDOWN_EVENT:
            return "stopped: the system is shutting down";
        default:
            return "stopped";
    }
}

}  // namespace platform

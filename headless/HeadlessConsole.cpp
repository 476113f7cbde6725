// The headless console's window thread and its recording of the window's state.
#include "headless/HeadlessConsole.h"

#include "flash/UpdateEngine.h"
#include "platform/Clock.h"

namespace pellorin {

HeadlessConsole::HeadlessConsole()
    : m_comMessage(platform::RegisterWindowMessage("CSerialWnd_DefaultComMsg")),
      m_engine(std::make_unique<UpdateEngine>(*this, *this, Counters)) {
    m_engine->Link.JobMode.store(kJobMcuUpdate);  // as the window's initialisation leaves it
    m_thread = std::thread([this] { RunLoop(); });
    m_calls.SetWindowThread(m_thread.get_id());
}

HeadlessConsole::~HeadlessConsole() { Exit(); }

DeviceLink& HeadlessConsole::Link() { return m_engine->Link; }

void HeadlessConsole::Exit() {
    m_calls.Close();  // a worker waiting for the window thread gives up at once
    m_engine->Link.Shutdown();
    {
        std::lock_guard lock(m_mutex);
        m_loopEnds = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable() && !OnWindowThread()) m_thread.join();
}

void HeadlessConsole::Enqueue(std::function<void()> work) {
    {
        std::lock_guard lock(m_mutex);
        if (m_loopEnds) return;
        m_queue.push_back(std::move(work));
    }
    m_wake.notify_all();
}

bool HeadlessConsole::Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message != m_comMessage) return false;
    try {
        Enqueue([this, wParam, lParam] { m_engine->Link.OnSerialMessage(wParam, lParam); });
    } catch (...) {
        return false;
    }
    return true;
}

void HeadlessConsole::RunLoop() {
    std::unique_lock lock(m_mutex);
    while (!m_loopEnds) {
        if (!m_queue.empty()) {
            auto work = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            work();
            lock.lock();
            continue;
        }
        auto nextDue = std::chrono::steady_clock::time_point::max();
        for (const auto& [id, timer] : m_timers) nextDue = std::min(nextDue, timer.due);
        if (nextDue <= std::chrono::steady_clock::now()) {
            lock.unlock();
            RunDueTimers();
            lock.lock();
            continue;
        }
        const auto wakeUp = [this] { return m_loopEnds || !m_queue.empty(); };
        if (nextDue == std::chrono::steady_clock::time_point::max()) {
            m_wake.wait(lock, wakeUp);
        } else {
            m_wake.wait_until(lock, nextDue, wakeUp);
        }
    }
}

void HeadlessConsole::RunDueTimers() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> due;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [id, timer] : m_timers) {
            if (timer.due <= now) {
                due.push_back(id);
                timer.due = now + platform::RealDuration(timer.periodMs);
            }
        }
    }
    for (int id : due) {
        if (id == kEraseTimer) {
            Counters.BarPosition.store(m_display.OnEraseTick());
        } else if (id == kProgramTimer) {
            const unsigned phase = Counters.FlashPhase.load();
            {
                std::lock_guard lock(m_mutex);
                if (phase < 32) m_phasesSeen |= 1u << phase;
            }
            const bool sound = m_display.OnProgramTick(platform::timeGetTime());
            std::lock_guard lock(m_mutex);
            // A run can end between the load above and the tick, which then turns its phase
            // back to idle.
            m_phasesSeen |= 1u << m_display.PhaseEnded();
            if (sound) ++m_endSounds;
            m_elapsed = m_display.ElapsedText();
            m_remain = m_display.RemainText();
            m_speed = m_display.SpeedText();
        }
    }
}

void HeadlessConsole::InsertLogLine(const std::string& line) {
    Invoke([this, line] {
        std::lock_guard lock(m_mutex);
        m_log.push_back(line);
        m_logTicks.push_back(platform::GetTickCount());
    });
}

void HeadlessConsole::SetProgressRange(int lower, int upper) {
    Invoke([this, lower, upper] {
        std::lock_guard lock(m_mutex);
        m_progressLower = lower;
        m_progressUpper = upper;
    });
}

void HeadlessConsole::SetProgressPos(int position) {
    Invoke([this, position] { Counters.BarPosition.store(position); });
}

void HeadlessConsole::StartTimer(int timerId, unsigned periodMs) {
    Invoke([this, timerId, periodMs] {
        std::lock_guard lock(m_mutex);
        m_timers[timerId] =
            Timer{periodMs, std::chrono::steady_clock::now() + platform::RealDuration(periodMs)};
    });
    m_wake.notify_all();
}

void HeadlessConsole::StopTimer(int timerId) {
    Invoke([this, timerId] {
        const bool sound = timerId == kProgramTimer && m_display.OnProgramTimerStopped();
        std::lock_guard lock(m_mutex);
        m_timers.erase(timerId);
        if (sound) ++m_endSounds;
    });
}

void HeadlessConsole::EnableJobButtons(bool enable) {
    Invoke([this, enable] {
        std::lock_guard lock(m_mutex);
        m_buttonsEnabled = enable;
    });
}

int HeadlessConsole::SelectedBaudIndex() {
    auto index = std::make_shared<int>(-1);
    Invoke([this, index] {
        std::lock_guard lock(m_mutex);
        *index = m_baudIndex;
    });
    return *index;
}

void HeadlessConsole::ShowMessage(const std::string& text) {
    Invoke([this, text] {
        std::lock_guard lock(m_mutex);
        m_messageBoxes.push_back(text);  // answered with OK at once
    });
}

void HeadlessConsole::SelectBaudIndex(int index) {
    Invoke([this, index] {
        std::lock_guard lock(m_mutex);
        m_baudIndex = index;
    });
}

bool HeadlessConsole::PressJobButton(int jobMode, const std::string& portName) {
    auto started = std::make_shared<bool>(false);
    Invoke([this, jobMode, portName, started] {
        {
            std::lock_guard lock(m_mutex);
            if (!m_buttonsEnabled) return;
            if (jobMode == kJobMcuUpdate) m_baudIndex = 2;
            // Only one job at a time: the buttons go off before the worker starts.
            m_buttonsEnabled = false;
        }
        const bool negotiate = jobMode == kJobMcuUpdate || jobMode == kJobDspUpdate;
        *started = m_engine->Link.StartJob(jobMode, negotiate, portName);
        if (!*started) {
            std::lock_guard lock(m_mutex);
            m_buttonsEnabled = true;
        }
    });
    return *started;
}

bool HeadlessConsole::WaitForJobEnd(DWORD timeoutMs) {
    return m_engine->Link.WaitForJob(timeoutMs);
}

std::vector<std::string> HeadlessConsole::LogOldestFirst() const {
    std::lock_guard lock(m_mutex);
    return m_log;
}

std::vector<DWORD> HeadlessConsole::LogTicksOldestFirst() const {
    std::lock_guard lock(m_mutex);
    return m_logTicks;
}

std::vector<std::string> HeadlessConsole::LogNewestFirst() const {
    std::lock_guard lock(m_mutex);
    return {m_log.rbegin(), m_log.rend()};
}

std::vector<std::string> HeadlessConsole::MessageBoxes() const {
    std::lock_guard lock(m_mutex);
    return m_messageBoxes;
}

int HeadlessConsole::ProgressPos() const { return Counters.BarPosition.load(); }

std::pair<int, int> HeadlessConsole::ProgressRange() const {
    std::lock_guard lock(m_mutex);
    return {m_progressLower, m_progressUpper};
}

bool HeadlessConsole::JobButtonsEnabled() const {
    std::lock_guard lock(m_mutex);
    return m_buttonsEnabled;
}

bool HeadlessConsole::TimerRunning(int timerId) const {
    std::lock_guard lock(m_mutex);
    return m_timers.count(timerId) != 0;
}

int HeadlessConsole::EndSounds() const {
    std::lock_guard lock(m_mutex);
    return m_endSounds;
}

bool HeadlessConsole::PhaseSeen(int phase) const {
    std::lock_guard lock(m_mutex);
    return phase >= 0 && phase < 32 && (m_phasesSeen & (1u << phase)) != 0;
}

std::string HeadlessConsole::PercentText() const { return m_display.PercentText(); }
std::string HeadlessConsole::WrittenBlocksText() const { return m_display.WrittenBlocksText(); }
std::string HeadlessConsole::TotalBlocksText() const { return m_display.TotalBlocksText(); }

std::string HeadlessConsole::ElapsedText() const {
    std::lock_guard lock(m_mutex);
    return m_elapsed;
}

std::string HeadlessConsole::RemainText() const {
    std::lock_guard lock(m_mutex);
    return m_remain;
}

std::string HeadlessConsole::SpeedText() const {
    std::lock_guard lock(m_mutex);
    return m_speed;
}

}  // namespace pellorin

// A console without a window: its own window thread runs a message loop that receives the
// serial layer's posted messages (and runs OnSerialMessage), carries out the worker's calls and
// runs the two timers' ticks. It owns the engine, as a window does, and records the log, the bar,
// the timers, the message boxes and the end sounds: pellorin-cli's terminal console builds on it,
// and the tests and benchmarks drive updates through it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/Console.h"
#include "console/FlashCounters.h"
#include "console/ProgressDisplay.h"
#include "console/WindowCalls.h"
#include "link/LinkSpeeds.h"
#include "platform/Messages.h"

namespace pellorin {

class UpdateEngine;
class DeviceLink;

class HeadlessConsole : public Console,
                        public platform::WindowObject,
                        public platform::MessageTarget {
  public:
    HeadlessConsole();
    ~HeadlessConsole() override;
    HeadlessConsole(const HeadlessConsole&) = delete;
    HeadlessConsole& operator=(const HeadlessConsole&) = delete;

    // The operator's side (any thread; carried out on the window thread).
    void SelectBaudIndex(int index);  // -1: text typed into the box
    // What a job button does: "Update MCU" also selects "19200"; update jobs negotiate the
    // speed. False when a job is still running (the buttons are disabled).
    bool PressJobButton(int jobMode, const std::string& portName);
    bool WaitForJobEnd(DWORD timeoutMs);
    // "Exit": the worker stops, the port closes, the window thread ends.
    void Exit();

    // What the window shows (any thread).
    std::vector<std::string> LogNewestFirst() const;
    std::vector<std::string> LogOldestFirst() const;
    // The program clock's tick when each line was logged, oldest first.
    std::vector<DWORD> LogTicksOldestFirst() const;
    std::vector<std::string> MessageBoxes() const;
    int ProgressPos() const;
    std::pair<int, int> ProgressRange() const;
    bool JobButtonsEnabled() const;
    bool TimerRunning(int timerId) const;
    int EndSounds() const;
    // Whether a tick of the programming clock has seen FlashPhase at this value.
    bool PhaseSeen(int phase) const;
    std::string PercentText() const;
    std::string WrittenBlocksText() const;
    std::string TotalBlocksText() const;
    std::string ElapsedText() const;
    std::string RemainText() const;
    std::string SpeedText() const;

    FlashCounters Counters;
    UpdateEngine& Engine() { return *m_engine; }
    DeviceLink& Link();

    // Console
    void InsertLogLine(const std::string& line) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPos(int position) override;
    void StartTimer(int timerId, unsigned periodMs) override;
    void StopTimer(int timerId) override;
    void EnableJobButtons(bool enable) override;
    int SelectedBaudIndex() override;
    void ShowMessage(const std::string& text) override;
    bool StopRequested() const override { return m_calls.Closing(); }

    // WindowObject and MessageTarget: the serial layer posts its notifications here.
    platform::HWND GetSafeHwnd() override { return this; }
    bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;

  private:
    struct Timer {
        unsigned periodMs;
        std::chrono::steady_clock::time_point due;
    };

    // Runs `work` on the window thread and waits for it, unless the console is closing.
    void Invoke(std::function<void()> work) { m_calls.Run(std::move(work)); }
    void Enqueue(std::function<void()> work);
    void RunLoop();
    void RunDueTimers();
    bool OnWindowThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

    const UINT m_comMessage;
    ProgressDisplay m_display{Counters};

    WindowCalls m_calls{[this] { Enqueue([this] { m_calls.RunPending(); }); }};

    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_loopEnds = false;
    std::map<int, Timer> m_timers;
    std::vector<std::string> m_log;  // oldest first
    std::vector<DWORD> m_logTicks;
    std::vector<std::string> m_messageBoxes;
    int m_progressLower = 0;
    int m_progressUpper = 100;
    bool m_buttonsEnabled = true;
    int m_baudIndex = kBaudItem19200;
    int m_endSounds = 0;
    unsigned m_phasesSeen = 0;  // bit n: a programming tick saw FlashPhase n
    std::string m_elapsed = "00:00";
    std::string m_remain = "00:00";
    std::string m_speed = "0 Blocks/Sec";

    std::unique_ptr<UpdateEngine> m_engine;
    std::thread m_thread;
};

}  // namespace pellorin

// Pellorin.exe as a preview of the window alone: a stand-in behind the window's engine interface
// plays the course of an update through the Console contract (erase pacing, programming with
// its counters, the end) without opening any port, so the window can be shown, driven and
// photographed under Wine before the engine itself builds for Windows.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "win32/Win32Dialog.h"

namespace pellorin::win32 {
namespace {

constexpr std::uint32_t kPreviewBlocks = 600;
constexpr unsigned kErasePacingMs = 50;
constexpr unsigned kProgramClockMs = 1000;

class PreviewEngine : public WindowEngine {
  public:
    PreviewEngine(Console& console, FlashCounters& counters)
        : m_console(console), m_counters(counters) {}
    ~PreviewEngine() override { Shutdown(); }

    bool StartJob(int jobMode, bool, const std::string& portName, const std::string&) override {
        if (m_running || m_stop) return false;
        if (m_worker.joinable()) m_worker.join();
        m_running = true;
        m_worker = std::thread([this, jobMode, portName] { Run(jobMode, portName); });
        return true;
    }
    bool JobRunning() const override { return m_running; }
    bool WaitForJob(unsigned timeoutMs) override {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return !m_running; });
    }
    void Shutdown() override {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_worker.joinable()) m_worker.join();
    }
    void SetJobMode(int) override {}
    bool PortOpen() const override { return false; }
    void SetImageFolder(const std::string& folder) override { m_imageFolder = folder; }
    std::string ImageFolder() const override { return m_imageFolder; }
    std::vector<std::string> ImageSearchFolders() const override {
        std::vector<std::string> folders{"C:\\Program Files\\Pellorin\\"};
        if (!m_imageFolder.empty()) folders.push_back(m_imageFolder + "\\");
        return folders;
    }
    std::string RecordsFolder() const override { return {}; }
    void OnSerialMessage(std::uintptr_t, std::intptr_t) override {}
    void ClosePort() override {}
    void CountImageBlocks() override {}
    std::uint32_t Now() const override { return GetTickCount(); }
    unsigned RealPeriodMs(unsigned periodMs) const override { return periodMs; }

  private:
    // Pauses the worker; false when the window is closing.
    bool Pause(unsigned ms) {
        std::unique_lock lock(m_mutex);
        return !m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop; });
    }

    void Run(int jobMode, const std::string& portName) {
        Console& c = m_console;
        c.EnableJobButtons(false);
        c.InsertLogLine("Preview: a stand-in engine, " + portName + " is not opened");
        c.InsertLogLine(jobMode == 2 ? "Preview: DSP update" : "Preview: MCU update");
        m_counters.TotalBlocks = kPreviewBlocks;
        m_counters.TotalBlocksShown = kPreviewBlocks;
        m_counters.WrittenBlocks = 0;
        m_counters.WrittenBlocksShown = 0;
        m_counters.ProgressPercent = 0;
        c.SetProgressRange(0, 100);
        c.SetProgressPos(0);
        c.StartTimer(kEraseTimer, kErasePacingMs);
        c.InsertLogLine("Preview: erasing");
        bool ok = Pause(1500);
        if (ok) {
            c.StopTimer(kEraseTimer);
            c.SetProgressRange(0, static_cast<int>(kPreviewBlocks));
            c.SetProgressPos(0);
            m_counters.PercentShown = 0;
            m_counters.FlashStartTime = Now();
            c.StartTimer(kProgramTimer, kProgramClockMs);
            m_counters.FlashPhase = kPhaseProgramming;
            c.InsertLogLine("Preview: programming");
            // Ten blocks every 50 ms: 200 blocks a second.
            for (std::uint32_t block = 1; ok && block <= kPreviewBlocks; ++block) {
                if (block % 10 == 0) ok = Pause(50);
                m_counters.WrittenBlocks = block;
                m_counters.WrittenBlocksShown = block;
                m_counters.PercentShown = block * 100 / kPreviewBlocks;
                m_counters.BarPosition = static_cast<std::int32_t>(block);
            }
        }
        if (ok) {
            m_counters.FlashPhase = kPhaseFinished;
            c.InsertLogLine("Preview: finished");
            ok = Pause(1000);
            c.StopTimer(kProgramTimer);
        }
        if (ok) c.EnableJobButtons(true);
        {
            std::lock_guard lock(m_mutex);
            m_running = false;
        }
        m_changed.notify_all();
    }

    Console& m_console;
    FlashCounters& m_counters;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<bool> m_running{false};
    bool m_stop = false;
    std::thread m_worker;
    std::string m_imageFolder;
};

}  // namespace
}  // namespace pellorin::win32

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace pellorin;
    win32::CPellorinApp application(
        instance, [](Console& console, FlashCounters& counters, win32::PostSerialMessageFn) {
            return std::unique_ptr<win32::WindowEngine>(
                std::make_unique<win32::PreviewEngine>(console, counters));
        });
    application.InitInstance();
    return 0;
}

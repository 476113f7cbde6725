// Serial layer benchmark: the CPU an open, quiet, listening port uses, and the round trip of a
// short exchange along the program's path (listener -> posted message -> reader on a "window"
// thread -> event -> waiting worker) beside the same exchange done with a plain poll() loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "SerialLib/Serial/DeviceSerial.h"
#include "platform/Event.h"
#include "sim/PseudoTerminal.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int EXCHANGES = 10000;
constexpr std::size_t OUT_BYTES = 50;
constexpr std::size_t BACK_BYTES = 10;

double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double LoadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// The device: answers every 50 bytes it receives with 10 bytes.
class EchoDevice {
  public:
    explicit EchoDevice(int masterFd) : m_fd(masterFd), m_thread([this] { Run(); }) {}
    ~EchoDevice() {
        m_running.store(false);
        m_thread.join();
    }

  private:
    void Run() {
        std::size_t pending = 0;
        const char reply[BACK_BYTES] = {'A', 'C', 'K', '0', '1', '2', '3', '4', '5', '\r'};
        while (m_running.load()) {
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0) continue;
            char buffer[512];
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n <= 0) continue;
            pending += static_cast<std::size_t>(n);
            while (pending >= OUT_BYTES) {
                pending -= OUT_BYTES;
                (void)!write(m_fd, reply, sizeof reply);
            }
        }
    }
    int m_fd;
    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

// A "window" with its own thread and message queue, as the console's window thread is: on
// each notification it reads the port in 128-byte chunks, and sets the reply event once the
// whole reply is in.
class ReaderWindow : public platform::MessageTarget, public platform::WindowObject {
  public:
    explicit ReaderWindow(CSerial& port) : m_port(port), m_thread([this] { Run(); }) {}
    ~ReaderWindow() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    bool Post(UINT, WPARAM wParam, LPARAM) noexcept override {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back({wParam, Clock::now()});
        }
        m_changed.notify_one();
        return true;
    }
    platform::HWND GetSafeHwnd() override { return this; }

    // The worker's side: expect a reply of `count` bytes.
    void Expect(std::size_t count) {
        std::lock_guard lock(m_mutex);
        m_received = 0;
        m_expected = count;
        m_replyIn.Reset();
    }
    platform::Event& ReplyIn() { return m_replyIn; }
    // When the listener posted the message whose handling completed the last reply.
    Clock::time_point AnnouncedAt() {
        std::lock_guard lock(m_mutex);
        return m_announcedAt;
    }

  private:
    void Run() {
        for (;;) {
            WPARAM wParam;
            Clock::time_point postedAt;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
                if (m_stop) return;
                std::tie(wParam, postedAt) = m_queue.front();
                m_queue.pop_front();
            }
            if (!(wParam & EV_RXCHAR)) continue;
            char buffer[128];
            DWORD count = 0;
            do {
                if (m_port.Read(buffer, sizeof buffer, &count) != ERROR_SUCCESS) break;
                std::lock_guard lock(m_mutex);
                m_received += count;
                if (m_expected && m_received >= m_expected) {
                    m_expected = 0;
                    m_announcedAt = postedAt;
                    m_replyIn.Set();
                }
            } while (count == sizeof buffer);
        }
    }

    CSerial& m_port;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<WPARAM, Clock::time_point>> m_queue;
    Clock::time_point m_announcedAt;
    bool m_stop = false;
    std::size_t m_received = 0;
    std::size_t m_expected = 0;
    platform::Event m_replyIn;
    std::thread m_thread;
};

void QuietPortCpu() {
    sim::PseudoTerminal pty;
    CDeviceSerial port;
    ReaderWindow window(port);
    if (port.Open(pty.SlavePath().c_str(), &static_cast<platform::WindowObject&>(window)) !=
        ERROR_SUCCESS) {
        std::printf("quiet port: open failed\n");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double before = ProcessCpuMs();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpuMs() - before;
    port.Close();
    std::printf("quiet listening port: %.3f ms CPU over %.2f s = %.4f ms CPU per second\n", cpu,
                seconds, cpu / seconds);
}

// The program's path: the worker writes with its own record and waits for the reply event that
// the window thread sets after reading what the listener announced.
class ProgramPath {
  public:
    ProgramPath() : m_window(m_port) {
        m_ok = m_port.Open(m_pty.SlavePath().c_str(),
                           &static_cast<platform::WindowObject&>(m_window)) == ERROR_SUCCESS &&
               m_port.Setup(38400, 8, NOPARITY, ONESTOPBIT) == ERROR_SUCCESS;
        if (m_ok) m_device = std::make_unique<EchoDevice>(m_pty.MasterFd());
    }
    ~ProgramPath() {
        m_device.reset();
        m_port.Close();
    }
    bool Ok() const { return m_ok; }
    // Per exchange: from the listener's post to the worker awake with the reply (the message,
    // the window thread's read and the event), the part of the round trip the layer adds.
    const std::vector<double>& LayerShare() const { return m_layerShare; }

    // One exchange; its round trip in microseconds, or -1 when the reply did not come.
    double Exchange() {
        const char command[OUT_BYTES] = {};
        m_window.Expect(BACK_BYTES);
        OVERLAPPED record = OverlappedFor(m_txDone);
        DWORD written = 0;
        const auto start = Clock::now();
        if (m_port.Write(command, sizeof command, &written, &record, INFINITE) != ERROR_SUCCESS)
            return -1;
        (void)m_txDone.Wait(INFINITE);
        if (m_window.ReplyIn().Wait(5000) != WAIT_OBJECT_0) return -1;
        const auto end = Clock::now();
        m_layerShare.push_back(
            std::chrono::duration<double, std::micro>(end - m_window.AnnouncedAt()).count());
        return std::chrono::duration<double, std::micro>(end - start).count();
    }

  private:
    sim::PseudoTerminal m_pty;
    CDeviceSerial m_port;
    ReaderWindow m_window;
    platform::Event m_txDone;
    std::unique_ptr<EchoDevice> m_device;
    std::vector<double> m_layerShare;
    bool m_ok = false;
};

// The same exchange on one thread: write, then poll() and read until the reply is in.
class PlainPollLoop {
  public:
    PlainPollLoop() {
        m_fd = open(m_pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) return;
        termios settings{};
        tcgetattr(m_fd, &settings);
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        tcsetattr(m_fd, TCSANOW, &settings);
        m_device = std::make_unique<EchoDevice>(m_pty.MasterFd());
    }
    ~PlainPollLoop() {
        m_device.reset();
        if (m_fd >= 0) close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }

    double Exchange() {
        const char command[OUT_BYTES] = {};
        const auto start = Clock::now();
        (void)!write(m_fd, command, sizeof command);
        std::size_t got = 0;
        while (got < BACK_BYTES) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 5000) <= 0) return -1;
            char buffer[128];
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }

  private:
    sim::PseudoTerminal m_pty;
    int m_fd = -1;
    std::unique_ptr<EchoDevice> m_device;
};

}  // namespace

int main() {
    QuietPortCpu();
    ProgramPath program;
    PlainPollLoop plain;
    if (!program.Ok() || !plain.Ok()) {
        std::printf("round trip: could not open the ports\n");
        return 1;
    }
    // The two kinds of exchange alternate, so that a change in the machine's load during the
    // run weighs on both alike.
    std::vector<double> programTimes, plainTimes;
    programTimes.reserve(EXCHANGES);
    plainTimes.reserve(EXCHANGES);
    for (int i = 0; i < EXCHANGES; ++i) {
        const double viaProgram = program.Exchange();
        const double viaPoll = plain.Exchange();
        if (viaProgram < 0 || viaPoll < 0) {
            std::printf("round trip: reply %d lost\n", i);
            return 1;
        }
        programTimes.push_back(viaProgram);
        plainTimes.push_back(viaPoll);
    }
    const double programMedian = Median(programTimes);
    const double plainMedian = Median(plainTimes);
    std::printf("round trip, %d exchanges of %zu bytes out and %zu back:\n", EXCHANGES, OUT_BYTES,
                BACK_BYTES);
    std::printf(
        "  program path (listener, message, reader thread, event): median %.1f us, "
        "p99 %.1f us\n",
        programMedian, Percentile(programTimes, 0.99));
    std::printf(
        "  plain poll() loop:                                       median %.1f us, "
        "p99 %.1f us\n",
        plainMedian, Percentile(plainTimes, 0.99));
    std::printf("  of the program path, listener's post -> worker awake:    median %.1f us\n",
                Median(program.LayerShare()));
    std::printf("  ratio program / plain: %.2f\n", programMedian / plainMedian);
    std::printf("  (load average now %.2f on %u cores; the figures move with the machine's load)\n",
                LoadAverage(), std::thread::hardware_concurrency());
    return 0;
}

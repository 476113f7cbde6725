// The listener's test doubles, the same on every system: a "window" that records the messages
// posted to it, the window thread that reads when told, and a port whose listener can be held
// between two waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "SerialLib/Serial/DeviceSerial.h"
#include "platform/Event.h"
#include "platform/Messages.h"

namespace serialtest {

// A "window" that records every posted message; its owner waits for them.
class RecordingTarget : public platform::MessageTarget, public platform::WindowObject {
  public:
    using Message = std::tuple<UINT, WPARAM, LPARAM>;

    bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept override {
        {
            std::lock_guard lock(m_mutex);
            m_messages.emplace_back(message, wParam, lParam);
        }
        m_changed.notify_all();
        return true;
    }
    platform::HWND GetSafeHwnd() override { return this; }
    // The window object, as the console hands it to CDeviceSerial::Open.
    platform::WindowObject* Object() { return this; }

    // Waits (real time) until at least `count` messages are there; returns how many are.
    std::size_t WaitFor(std::size_t count, int timeoutMs = 5000) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return m_messages.size() >= count; });
        return m_messages.size();
    }
    std::vector<Message> Messages() {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::size_t Count() {
        std::lock_guard lock(m_mutex);
        return m_messages.size();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Message> m_messages;
};

// A port whose listener can be held just before its second wait, so that a stop request can be
// placed exactly between two waits: after the listener's last look at the stop flag and before
// its wait begins.
class GatedPort : public CDeviceSerial {
  public:
    ~GatedPort() override { CloseOnDestruction(); }
    LONG WaitEvent(LPOVERLAPPED lpOverlapped, DWORD dwTimeout) override {
        if (++m_waits == 2) {
            atGate.Set();
            (void)gateOpen.Wait(INFINITE);
        }
        return CDeviceSerial::WaitEvent(lpOverlapped, dwTimeout);
    }
    LONG SetMask(DWORD dwMask) override {
        const LONG lStatus = CDeviceSerial::SetMask(dwMask);
        if (m_waits.load() >= 2) maskSet.Set();
        return lStatus;
    }
    platform::Event atGate, gateOpen, maskSet;

  private:
    std::atomic<int> m_waits{0};
};

// The window thread of the program's pattern: for each message posted to `window` it reads all
// that the port holds, until Stop; with `answer` it then writes a reply, which fails once the
// port has been closed under it.
class WindowReader {
  public:
    WindowReader(RecordingTarget& window, CSerial& port, bool answer)
        : m_thread([this, &window, &port, answer] { Run(window, port, answer); }) {}
    ~WindowReader() { Stop(); }
    void Stop() {
        m_running.store(false);
        if (m_thread.joinable()) m_thread.join();
    }
    [[nodiscard]] long BytesRead() const { return m_bytesRead.load(); }

  private:
    void Run(RecordingTarget& window, CSerial& port, bool answer) {
        std::size_t handled = 0;
        while (m_running.load()) {
            if (window.WaitFor(handled + 1, 20) <= handled) continue;
            ++handled;
            char buffer[128];
            DWORD count = 0;
            do {
                if (port.Read(buffer, sizeof buffer, &count) != ERROR_SUCCESS) break;
                m_bytesRead += count;
            } while (count == sizeof buffer);
            if (answer) {
                DWORD written = 0;
                (void)port.Write("ack", &written);
            }
        }
    }

    std::atomic<bool> m_running{true};
    std::atomic<long> m_bytesRead{0};
    std::thread m_thread;  // last: it starts once the members it uses are there
};

}  // namespace serialtest

// The listener's test doubles, the same on every system: a "window" that records the messages
// posted to it, and a port whose listener can be held between two waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

}  // namespace serialtest

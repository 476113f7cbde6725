// The two ends of the test line on Windows: PELLORIN_TEST_PORT is the port under test and
// PELLORIN_TEST_PEER the device's end of the same line (under Wine, two COM numbers that
// scripts/test-windows.sh maps to pseudo-terminals joined by a null-modem relay). Under Wine the
// suite refuses to run unless both numbers are mapped explicitly, and never to /dev/ttyS*:
// Wine gives an unmapped number to the machine's own serial ports. Also: the device's end of the
// line (Peer) and the system's calls with a device that can be pulled out (PullableCalls).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "SerialLib/Serial/CommCalls.h"
#include "SerialLib/Serial/Serial.h"
#include "platform/Win32Types.h"

namespace serialtest {

inline std::string TestPortName(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? value : "";
}
inline std::string PortUnderTest() { return TestPortName("PELLORIN_TEST_PORT"); }
inline std::string PeerPort() { return TestPortName("PELLORIN_TEST_PEER"); }

inline bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The device Wine maps a COM name to, "" when it has no explicit mapping.
inline std::string WineMapping(const std::string& port) {
    char value[512];
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Wine\\Ports", port.c_str(), RRF_RT_REG_SZ,
                     nullptr, value, &size) != ERROR_SUCCESS)
        return "";
    return value;
}

class SafePortsCheck : public ::testing::Environment {
  public:
    void SetUp() override {
        for (const std::string& port : {PortUnderTest(), PeerPort()}) {
            ASSERT_FALSE(port.empty())
                << "PELLORIN_TEST_PORT and PELLORIN_TEST_PEER must name the two ends of a line";
            if (!UnderWine()) continue;
            const std::string device = WineMapping(port);
            ASSERT_FALSE(device.empty()) << port << " has no explicit mapping in Wine";
            ASSERT_NE(device.rfind("/dev/ttyS", 0), 0u)
                << port << " is mapped to " << device << ", a real serial port";
        }
    }
};

// The device's end of the line, opened without overlapped mode.
class Peer {
  public:
    Peer() {
        m_opened = m_port.Open(PeerPort().c_str()) == ERROR_SUCCESS &&
                   m_port.Setup(19200, 8, NOPARITY, ONESTOPBIT) == ERROR_SUCCESS;
    }
    [[nodiscard]] bool Ok() const { return m_opened; }
    bool Send(const std::string& bytes) {
        DWORD written = 0;
        return m_port.Write(bytes.data(), bytes.size(), &written) == ERROR_SUCCESS &&
               written == bytes.size();
    }
    // What arrives within timeoutMs (real), stopping once `until` bytes are there.
    std::string Receive(std::size_t until, int timeoutMs = 5000) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < until && std::chrono::steady_clock::now() < end) {
            char buffer[256];
            DWORD count = 0;
            if (m_port.Read(buffer, sizeof buffer, &count) != ERROR_SUCCESS) break;
            got.append(buffer, count);
            if (count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return got;
    }

  private:
    CSerial m_port;
    bool m_opened = false;
};

// The system's calls, until the device is "pulled out": from then on every call on the port
// fails with the chosen code, as a driver's do when its device has gone, and what was pending
// ends with it. Whether the system still knows the device is chosen too: its name may stop
// resolving, or the port may stop answering a status query (as under Wine), or neither (a
// failure that leaves the device in place).
class PullableCalls : public CommCalls {
  public:
    enum class Confirms { NameGone, PortSilent, Nothing };

    void Pull(LONG code, Confirms confirms) {
        m_code.store(code);
        m_confirms.store(confirms);
        m_pulled.store(true);
        (void)CommCalls::CancelIoEx(m_port.load(), nullptr);
    }
    void Replug() { m_pulled.store(false); }
    // Only the next WriteFile fails with `code`; the device stays.
    void FailNextWrite(LONG code) { m_failNextWrite.store(code); }

    HANDLE OpenDevice(const char* path, DWORD flags) override {
        m_port.store(CommCalls::OpenDevice(path, flags));
        return m_port.load();
    }
    BOOL WriteFile(HANDLE port, const void* data, DWORD length, DWORD* written,
                   OVERLAPPED* record) override {
        if (const LONG code = m_failNextWrite.exchange(0); code != 0) return Fail(code);
        return m_pulled ? Fail() : CommCalls::WriteFile(port, data, length, written, record);
    }
    BOOL ReadFile(HANDLE port, void* data, DWORD length, DWORD* read, OVERLAPPED* record) override {
        return m_pulled ? Fail() : CommCalls::ReadFile(port, data, length, read, record);
    }
    BOOL WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* record) override {
        return m_pulled ? Fail() : CommCalls::WaitCommEvent(port, events, record);
    }
    BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* record, DWORD* count, BOOL wait) override {
        const BOOL done = CommCalls::GetOverlappedResult(port, record, count, wait);
        return m_pulled ? Fail() : done;
    }
    BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) override {
        if (m_pulled && m_confirms.load() != Confirms::NameGone) return Fail();
        return CommCalls::ClearCommError(port, errors, status);
    }
    BOOL GetCommState(HANDLE port, DCB* dcb) override {
        return m_pulled ? Fail() : CommCalls::GetCommState(port, dcb);
    }
    DWORD DosDeviceTarget(const char* name, char* target, DWORD size) override {
        if (m_pulled && m_confirms.load() == Confirms::NameGone) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        return CommCalls::DosDeviceTarget(name, target, size);
    }

  private:
    BOOL Fail(LONG code) {
        ::SetLastError(static_cast<DWORD>(code));
        return FALSE;
    }
    BOOL Fail() { return Fail(m_code.load()); }

    std::atomic<HANDLE> m_port{INVALID_HANDLE_VALUE};
    std::atomic<bool> m_pulled{false};
    std::atomic<LONG> m_code{0};
    std::atomic<Confirms> m_confirms{Confirms::Nothing};
    std::atomic<LONG> m_failNextWrite{0};
};

}  // namespace serialtest

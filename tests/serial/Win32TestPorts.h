// The two ends of the test line on Windows: PELLORIN_TEST_PORT is the port under test and
// PELLORIN_TEST_PEER the device's end of the same line (under Wine, two COM numbers that
// scripts/test-windows.sh maps to pseudo-terminals joined by a null-modem relay). Under Wine the
// suite refuses to run unless both numbers are mapped explicitly, and never to /dev/ttyS*:
// Wine gives an unmapped number to the machine's own serial ports.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

}  // namespace serialtest

// A job on Windows whose adapter is pulled out: the whole engine on the port under test, the test
// playing the device on the peer port, and the system's calls failing from one moment on as
// Wine's do once a line has gone away. The port is named at once, the step's failure follows, the
// port is closed once, and the next job works after a replug.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flash/FlashEngine.h"
#include "headless/HeadlessConsole.h"
#include "platform/Clock.h"
#include "platform/Trace.h"
#include "tests/serial/Win32TestPorts.h"

using namespace pellorin;
using Lines = std::vector<std::string>;

namespace {

const auto* const safePorts = ::testing::AddGlobalTestEnvironment(new serialtest::SafePortsCheck);

// An Intel HEX image of `count` data records of 16 bytes, the DSP's verification record (address
// 7FFE) and its end record.
std::string HexImage(int count) {
    std::string image;
    for (int record = 0; record < count; ++record) {
        const unsigned address = 0x8000u + 16u * static_cast<unsigned>(record);
        unsigned sum = 16 + (address >> 8) + (address & 0xFF);
        char line[64];
        int at = std::snprintf(line, sizeof line, ":10%04X00", address);
        for (int i = 0; i < 16; ++i) {
            at += std::snprintf(line + at, sizeof line - at, "%02X", record + i);
            sum += static_cast<unsigned>(record + i);
        }
        std::snprintf(line + at, sizeof line - at, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        image += line;
    }
    return image + ":027FFE00000081\r\n:00000001FF\r\n";
}

// The device's side: what arrives up to and including the next carriage return.
std::string NextLine(serialtest::Peer& device) {
    std::string line;
    while (line.find('\r') == std::string::npos) {
        const std::string got = device.Receive(1, 100);
        if (got.empty() && line.empty()) continue;
        line += got;
    }
    return line;
}

}  // namespace

TEST(Win32Disconnect, AnAdapterPulledOutEndsTheJobAtOnceNamingThePortAndTheNextJobWorks) {
    platform::SetClockScale(1);  // the bound below is in real program seconds
    serialtest::Peer device;
    ASSERT_TRUE(device.Ok());
    (void)device.Receive(1u << 20, 50);
    const auto folder = std::filesystem::temp_directory_path() / "pellorin-disconnect-test";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "dsp.hex", std::ios::binary) << HexImage(5);

    platform::TraceCapture traces;
    auto calls = std::make_shared<serialtest::PullableCalls>();
    auto console = std::make_unique<HeadlessConsole>();
    console->Link().ModulePath = (folder / "Pellorin.exe").string();
    console->Link().Port.SetCommCalls(calls);

    // The device acknowledges the speed and is pulled out when the next command arrives.
    std::atomic<DWORD> pulledAt{0};
    std::thread pulling([&] {
        EXPECT_EQ(NextLine(device), "^S008BAUD192\r");
        device.Send("^D006ACK\r");
        (void)NextLine(device);
        pulledAt = platform::GetTickCount();
        calls->Pull(ERROR_NOT_READY, serialtest::PullableCalls::Confirms::PortSilent);
    });
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, serialtest::PortUnderTest()));
    ASSERT_TRUE(console->WaitForJobEnd(60000));
    pulling.join();
    const Lines log = console->LogOldestFirst();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.end() - 3, log.end()),
              (Lines{serialtest::PortUnderTest() + " was disconnected!", "connect fail",
                     "Com was closed"}));
    EXPECT_LT(console->LogTicksOldestFirst().back() - pulledAt.load(), 1000u)
        << "no reply wait and no settling pause after the device has gone";
    EXPECT_EQ(console->Counters.FlashPhase.load(), kPhaseFailed);
    EXPECT_FALSE(console->Link().Port.IsOpen());
    EXPECT_FALSE(traces.Contains("CSerial::Close - Method called when device is not open\n"))
        << "the port is closed once";

    // Plugged back in: the next job opens the port and talks to the device again.
    platform::SetClockScale(20);
    calls->Replug();
    (void)device.Receive(1u << 20, 50);
    std::thread answering([&] {
        EXPECT_EQ(NextLine(device), "^S008BAUD192\r");
        device.Send("^D006ACK\r");
        EXPECT_EQ(NextLine(device), "SV\r") << "the missing image's leave command";
    });
    ASSERT_TRUE(console->PressJobButton(kJobMcuUpdate, serialtest::PortUnderTest()));
    ASSERT_TRUE(console->WaitForJobEnd(60000));
    answering.join();
    EXPECT_EQ(console->LogOldestFirst().back(), "Com was closed");
    console.reset();
    std::filesystem::remove_all(folder);
    platform::SetClockScale(1);
}

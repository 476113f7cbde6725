// Shared set-up of the simulator's pty tests: a device under a scaled clock, a client on its
// slave side, and a small valid image to program.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "sim/HexGen.h"
#include "sim/SimInverter.h"
#include "tests/sim/SlaveClient.h"

namespace simtest {

class SimTest : public ::testing::Test {
  protected:
    void Start(sim::Options options) {
        m_sim = std::make_unique<sim::SimInverter>(std::move(options));
        ASSERT_TRUE(m_sim->Start());
        m_client = std::make_unique<SlaveClient>(m_sim->SlavePath());
        ASSERT_TRUE(m_client->Ok());
        m_handled = 0;
    }

    // Sends one line (its CR included in `bytes`), waits until the device has handled it and
    // returns whatever it answered: the answer, if any, is on the line by then.
    std::string Exchange(const std::string& bytes) {
        m_client->Send(bytes);
        ++m_handled;
        EXPECT_TRUE(m_sim->WaitForLines(m_handled, 40000)) << "line not handled: " << bytes;
        return m_client->ReadFor(20);
    }

    // Speed command at 2400, then the client moves to `speed`.
    void Negotiate(const std::string& code, speed_t speed) {
        m_client->SetLine(B2400, 1);
        ASSERT_EQ(Exchange("^S008BAUD" + code + "\r"), "^D006ACK\r");
        m_client->SetLine(speed, 1);
    }

    // Entry, erase and wait for the end of the erase on a device with a short erase time.
    void EnterAndErase(const std::string& entry) {
        ASSERT_EQ(Exchange(entry + "\r").substr(0, 3), "ST1");
        ASSERT_EQ(Exchange(":efh\r"), "ST2\r");
        for (int i = 0; i < 200; ++i) {
            const std::string reply = Exchange(":st\r");
            if (reply == "ST3\r") return;
            platform::Sleep(20);
        }
        FAIL() << "the erase never ended";
    }

    static std::vector<std::string> Image(int records, int verifyLine = 0) {
        sim::HexImageOptions options;
        options.records = records;
        options.verifyRecordLine = verifyLine;
        options.endOfFileRecord = false;
        return sim::MakeHexImageLines(options);
    }

    static bool HasViolation(const sim::Summary& summary, const std::string& part) {
        for (const std::string& v : summary.violations)
            if (v.find(part) != std::string::npos) return true;
        return false;
    }

    static sim::Options Fast() {
        sim::Options options;
        options.eraseTimeMs = 100;
        return options;
    }

    platform::ScopedClockScale m_scale{20};
    std::unique_ptr<sim::SimInverter> m_sim;
    std::unique_ptr<SlaveClient> m_client;
    std::size_t m_handled = 0;
};

}  // namespace simtest

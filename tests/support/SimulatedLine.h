// Test rig: a simulated inverter on a pseudo-terminal published as COM1, a headless console with
// the whole engine, and a folder that plays the executable's own folder (where the images go).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "flash/UpdateEngine.h"
#include "headless/HeadlessConsole.h"
#include "platform/Clock.h"
#include "sim/SimInverter.h"

namespace testing_support {

// A scratch folder, removed with everything in it at the end of the test.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    [[nodiscard]] const std::string& Path() const { return m_path; }
    [[nodiscard]] std::string File(const std::string& name) const { return m_path + "/" + name; }
    void Write(const std::string& name, const std::string& content) const;

  private:
    std::string m_path;
};

// An Intel HEX image of `count` data records of `dataBytes` bytes, with the record at address
// 7FFE after `sentinelAfter` data records when that is non-zero, and an end-of-file record. Lines
// end in CR LF. Another `seed` gives another image of the same shape.
std::string MakeHexImage(int count, int dataBytes = 16, int sentinelAfter = 0,
                         std::uint32_t seed = 1);

// How many of the lines begin with `prefix`.
int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix);

class SimulatedLine : public ::testing::Test {
  protected:
    static constexpr double kClockScale = 20.0;

    // Starts the simulated inverter with these options (its COM folder filled in) and the
    // console; the image folder stays empty until the test writes images into it.
    void Start(sim::Options options = {});
    // Runs one job as its button would and waits for its end.
    void RunJob(int jobMode, DWORD timeoutMs = 600000);
    // The log, oldest line first.
    [[nodiscard]] std::vector<std::string> Log() const { return console->LogOldestFirst(); }
    [[nodiscard]] bool Logged(const std::string& line) const;

    platform::ScopedClockScale scale{kClockScale};
    TempFolder folder;
    std::unique_ptr<sim::SimInverter> device;
    std::unique_ptr<pellorin::HeadlessConsole> console;
};

}  // namespace testing_support

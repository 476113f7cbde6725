// The simulated-line test rig.
#include "tests/support/SimulatedLine.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim/HexGen.h"

namespace testing_support {

TempFolder::TempFolder() {
    char pattern[] = "/tmp/pellorin-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_path = made ? made : "/tmp";
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    if (m_path != "/tmp") std::filesystem::remove_all(m_path, ignored);
}

void TempFolder::Write(const std::string& name, const std::string& content) const {
    std::ofstream(File(name), std::ios::binary) << content;
}

std::string MakeHexImage(int count, int dataBytes, int sentinelAfter, std::uint32_t seed) {
    sim::HexImageOptions options;
    options.seed = seed;
    options.records = count;
    options.dataLength = dataBytes;
    options.verifyRecordLine = sentinelAfter == 0 ? 0 : sentinelAfter + 1;
    options.crlf = true;
    std::string image;
    for (const std::string& line : sim::MakeHexImageLines(options)) image += line + "\r\n";
    return image;
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(prefix, 0) == 0;
    }));
}

void SimulatedLine::Start(sim::Options options) {
    options.comDir = folder.Path();
    options.comNumber = 1;
    device = std::make_unique<sim::SimInverter>(options);
    ASSERT_TRUE(device->Start());
    setenv("PELLORIN_COM_DIR", folder.Path().c_str(), 1);
    console = std::make_unique<pellorin::HeadlessConsole>();
    console->Link().ModulePath = folder.File("Pellorin");
}

void SimulatedLine::RunJob(int jobMode, DWORD timeoutMs) {
    ASSERT_TRUE(console->PressJobButton(jobMode, "COM1"));
    ASSERT_TRUE(console->WaitForJobEnd(timeoutMs)) << "the job did not end";
}

bool SimulatedLine::Logged(const std::string& line) const {
    const auto log = Log();
    return std::find(log.begin(), log.end(), line) != log.end();
}

}  // namespace testing_support

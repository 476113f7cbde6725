// Benchmark of whole updates, headless against the simulated inverter:
//   1. tool time per block on an unpaced pseudo-terminal, beside a plain poll() client's round
//      trip with the same device on the same kind of line;
//   2. paced updates at 38400 and 9600 baud beside the physical limit of the bytes on the wire,
//      with the update record off and on;
//   2b. the paced update at 38400 baud through ser2net on the loopback address (RFC 2217), with
//      its chardelay off and at its default, beside the direct pseudo-terminal in the same run;
//   3. peak memory for images of 1,000, 100,000 and 1,000,000 records (each in a fresh process);
//   4. CPU used while the device is slow.
// Usage: flash_bench [--blocks N] [--remote]   (N blocks for the paced runs, 300 by default;
//        --remote: only 2b)
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bench/flash/LineUse.h"
#include "flash/FlashEngine.h"
#include "flash/IntelHexRecord.h"
#include "headless/HeadlessConsole.h"
#include "platform/Clock.h"
#include "sim/HexGen.h"
#include "sim/SimInverter.h"
#include "tests/support/NetworkServers.h"

extern char** environ;

using namespace pellorin;
using bench::LineUse;
using bench::MeasureLineUse;
using bench::MedianBlockUs;
using Clock = std::chrono::steady_clock;

namespace {

// A scratch folder for one run, removed with its images afterwards.
struct ScratchFolder {
    ScratchFolder() {
        char pattern[] = "/tmp/pellorin-bench-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string path;
};

// A DSP image: `records` data records, then its verification record (7FFE) and end of file.
void WriteImage(const std::string& path, int records) {
    sim::HexImageOptions options;
    options.records = records;
    options.dataLength = 16;
    options.verifyRecordLine = std::numeric_limits<int>::max();  // after the last data record
    sim::WriteHexImage(path, options);
}

// The lines of a file: the image's blocks.
std::uint32_t LinesOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return static_cast<std::uint32_t>(
        std::count(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>(), '\n'));
}

// Runs a DSP update of the image in `folder` and returns the simulated inverter's transcript.
// The update record goes to a folder beside the image, or nowhere when `record` is false.
std::vector<sim::TranscriptEntry> RunUpdate(
    const std::string& folder, sim::Options options, int baudIndex, bool record = true,
    const std::function<std::string(const sim::SimInverter&)>& portFor = nullptr) {
    options.comDir = folder;
    options.comNumber = 1;
    sim::SimInverter device(options);
    if (!device.Start()) {
        std::fprintf(stderr, "cannot start the simulated inverter\n");
        std::exit(1);
    }
    setenv("PELLORIN_COM_DIR", folder.c_str(), 1);
    HeadlessConsole console;
    console.Link().ModulePath = folder + "/Pellorin";
    console.Link().Record.SetFolder(record ? folder + "/records" : "");
    console.SelectBaudIndex(baudIndex);
    console.PressJobButton(kJobDspUpdate, portFor ? portFor(device) : std::string("COM1"));
    console.WaitForJobEnd(INFINITE);
    return device.Transcript();
}

// Plain client: the same device on the same kind of line, a raw descriptor and poll(), one
// block out and its acknowledgement back, nothing else. `speedCommand` (sent at 2400) and
// `speed` move the line to a working rate first when given.
struct PlainRun {
    double medianUs = 0;
    std::vector<sim::TranscriptEntry> transcript;
};

PlainRun RunPlainClient(const std::string& folder, int blocks, bool pace,
                        const char* speedCommand = nullptr, speed_t speed = B2400) {
    sim::Options options;
    options.comDir = folder;
    options.comNumber = 2;
    options.dspState = 3;
    options.eraseTimeMs = 0;
    options.pace = pace;
    sim::SimInverter device(options);
    device.Start();
    const int fd = open(device.ComPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B2400);
    tcsetattr(fd, TCSANOW, &settings);
    auto exchange = [fd](const std::string& command) {
        (void)!write(fd, command.data(), command.size());
        std::string reply;
        while (reply.find('\r') == std::string::npos) {
            pollfd pfd{fd, POLLIN, 0};
            poll(&pfd, 1, 2000);
            char buffer[256];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
        }
    };
    if (speedCommand != nullptr) {
        exchange(speedCommand);
        cfsetspeed(&settings, speed);
        tcsetattr(fd, TCSANOW, &settings);
    }
    exchange(":dsp\r");
    sim::HexImageOptions image;
    image.records = blocks;
    const auto lines = sim::MakeHexImageLines(image);
    std::vector<double> times;
    for (int n = 1; n <= blocks; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "SD_%04d", n);
        const auto start = Clock::now();
        exchange(number + lines[static_cast<std::size_t>(n - 1)] + "\r");
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(fd);
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], device.Transcript()};
}

void UnpacedPerBlock() {
    const ScratchFolder scratch;
    const std::string& folder = scratch.path;
    const int blocks = 2000;
    WriteImage(folder + "/dsp.hex", blocks);
    sim::Options options;
    options.dspState = 3;  // ready for blocks: the run is all programming
    const double offUs = MedianBlockUs(RunUpdate(folder, options, 2, false));
    const double toolUs = MedianBlockUs(RunUpdate(folder, options, 2, true));
    const double plainUs = RunPlainClient(folder, blocks, false).medianUs;
    std::printf(
        "unpaced pty, %d blocks: tool %.1f us per block (median; %.1f us with the record "
        "off), plain poll() client %.1f us per round trip (median), ratio %.2f\n",
        blocks, toolUs, offUs, plainUs, plainUs > 0 ? toolUs / plainUs : 0.0);
}

void PacedRun(unsigned baud, int baudIndex, const char* speedCommand, speed_t speed, int blocks) {
    const ScratchFolder scratch;
    const std::string& folder = scratch.path;
    WriteImage(folder + "/dsp.hex", blocks);
    sim::Options options;
    options.dspState = 3;
    options.pace = true;
    // Three runs each with the record off and on, in turns that start once with each (off-on,
    // on-off, off-on), so that neither gains from going first; the median of each is shown.
    std::vector<LineUse> offRuns;
    std::vector<LineUse> onRuns;
    for (int turn = 0; turn < 6; ++turn) {
        const bool record = turn == 1 || turn == 2 || turn == 5;
        (record ? onRuns : offRuns)
            .push_back(MeasureLineUse(RunUpdate(folder, options, baudIndex, record), baud));
    }
    const auto median = [](std::vector<LineUse> runs) {
        std::sort(runs.begin(), runs.end(),
                  [](const LineUse& a, const LineUse& b) { return a.actualMs < b.actualMs; });
        return runs[runs.size() / 2];
    };
    const LineUse off = median(offRuns);
    const LineUse tool = median(onRuns);
    const LineUse plain =
        MeasureLineUse(RunPlainClient(folder, blocks, true, speedCommand, speed).transcript, baud);
    std::printf(
        "paced %u baud, %d blocks: tool %.0f ms against a physical limit of %.0f ms "
        "(%.0f bytes at 10 bits): %.1f%% of the limit (record off: %.1f%%; medians of three); "
        "plain poll() "
        "client %.1f%%\n",
        baud, blocks, tool.actualMs, tool.limitMs, tool.wireBytes,
        100.0 * tool.limitMs / tool.actualMs, 100.0 * off.limitMs / off.actualMs,
        100.0 * plain.limitMs / plain.actualMs);
}

// The paced 38400-baud update through ser2net (chardelay off, then at its default) against the
// direct pseudo-terminal, the three in turns so that none gains from its place; medians of three.
void RemotePacedRun(int blocks) {
    const ScratchFolder scratch;
    const std::string& folder = scratch.path;
    // The remote ports used last are remembered in the settings: the scratch folder's here.
    setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
    WriteImage(folder + "/dsp.hex", blocks);
    sim::Options options;
    options.dspState = 3;
    options.pace = true;
    std::vector<LineUse> runs[3];  // direct, ser2net chardelay off, ser2net default chardelay
    for (int turn = 0; turn < 9; ++turn) {
        const int which = (turn + turn / 3) % 3;
        std::unique_ptr<testing_support::Ser2net> server;
        const auto throughServer = [&](const sim::SimInverter& device) {
            testing_support::Ser2netLine line{device.SlavePath()};
            line.chardelay = which == 2;
            server = std::make_unique<testing_support::Ser2net>(line);
            return server->Url();
        };
        runs[which].push_back(MeasureLineUse(
            RunUpdate(
                folder, options, 3, true,
                which == 0 ? std::function<std::string(const sim::SimInverter&)>() : throughServer),
            38400));
    }
    LineUse median[3];
    for (int i = 0; i < 3; ++i) {
        std::sort(runs[i].begin(), runs[i].end(),
                  [](const LineUse& a, const LineUse& b) { return a.actualMs < b.actualMs; });
        median[i] = runs[i][runs[i].size() / 2];
    }
    const auto percent = [](const LineUse& use) { return 100.0 * use.limitMs / use.actualMs; };
    std::printf(
        "paced 38400 baud through ser2net (RFC 2217, loopback), %d blocks: direct pty %.1f%% of "
        "the limit; ser2net chardelay false %.1f%% (%.1f%% of the direct figure); ser2net "
        "default chardelay %.1f%%, %.2f ms more a block (medians of three)\n",
        blocks, percent(median[0]), percent(median[1]),
        100.0 * median[0].actualMs / median[1].actualMs, percent(median[2]),
        (median[2].actualMs - median[0].actualMs) / blocks);
}

long PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// In a fresh process: count, check, sum and stream an image of `records` data records past a
// resume point just before its end-of-file record (the device holds the rest and confirms it by
// its sum; only the end-of-file record is sent), and report the growth of the peak resident size.
int MemoryChild(int records, const std::string& folder) {
    platform::SetClockScale(50);  // the run's fixed pauses, not its work, are shortened
    sim::Options options;
    options.comDir = folder;
    options.comNumber = 1;
    options.dspState = 3;
    options.dspBlock = LinesOf(folder + "/dsp.hex") - 1;
    // The device answers with the DSP's sum of the lines it reports held (every data record but
    // the verification record), without holding a copy of them in this process's memory.
    unsigned dspSum = 0;
    std::ifstream image(folder + "/dsp.hex");
    for (std::string line; std::getline(image, line);) {
        if (IsDataRecord(line) && !IsVerificationRecord(line)) dspSum += RecordWordSum(line + "\r");
    }
    char sum[16];
    std::snprintf(sum, sizeof sum, "SUM%04X", dspSum & 0xFFFFu);
    options.faults.sumReplyOverride = sum;
    sim::SimInverter device(options);
    device.Start();
    setenv("PELLORIN_COM_DIR", folder.c_str(), 1);
    HeadlessConsole console;
    console.Link().ModulePath = folder + "/Pellorin";
    console.Link().Record.SetFolder(folder + "/records");
    const long before = PeakKiB();
    console.PressJobButton(kJobDspUpdate, "COM1");
    console.WaitForJobEnd(INFINITE);
    const long after = PeakKiB();
    std::printf("image of %d records: peak resident size grew by %ld KiB (%s)\n", records,
                after - before, console.TotalBlocksText().c_str());
    return 0;
}

void Memory(const char* self) {
    for (int records : {1000, 100000, 1000000}) {
        const ScratchFolder scratch;
        const std::string& folder = scratch.path;
        WriteImage(folder + "/dsp.hex", records);
        const std::string count = std::to_string(records);
        char* args[] = {const_cast<char*>(self), const_cast<char*>("--memory-child"),
                        const_cast<char*>(count.c_str()), const_cast<char*>(folder.c_str()),
                        nullptr};
        pid_t child = 0;
        if (posix_spawn(&child, self, nullptr, nullptr, args, environ) == 0) {
            int status = 0;
            waitpid(child, &status, 0);
        }
    }
}

void CpuWhileWaiting() {
    const ScratchFolder scratch;
    const std::string& folder = scratch.path;
    WriteImage(folder + "/dsp.hex", 10);
    sim::Options options;
    options.dspState = 3;
    options.blockWriteTimeMs = 500;  // a slow device: half a second per block
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    RunUpdate(folder, options, 2);
    const double wallS = std::chrono::duration<double>(Clock::now() - start).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    const double cpuMs =
        ms(after.ru_utime) - ms(before.ru_utime) + ms(after.ru_stime) - ms(before.ru_stime);
    std::printf(
        "slow device (500 ms a block), %.1f s: %.1f ms CPU in all, %.2f ms per second "
        "(tool and simulated device together)\n",
        wallS, cpuMs, cpuMs / wallS);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--memory-child") == 0) {
        return MemoryChild(std::atoi(argv[2]), argv[3]);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int blocks = 300;
    bool remoteOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--blocks") == 0 && i + 1 < argc) blocks = std::atoi(argv[++i]);
        if (std::strcmp(argv[i], "--remote") == 0) remoteOnly = true;
    }
    if (remoteOnly) {
        RemotePacedRun(blocks);
        return 0;
    }
    UnpacedPerBlock();
    PacedRun(38400, 3, "^S008BAUD384\r", B38400, blocks);
    PacedRun(9600, 1, "^S008BAUD096\r", B9600, blocks);
    RemotePacedRun(blocks);
    Memory(argv[0]);
    CpuWhileWaiting();
    return 0;
}

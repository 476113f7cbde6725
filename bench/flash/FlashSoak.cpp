// Soak: many whole updates back to back in one process against the simulated inverter on the
// scaled clock, a third of them with one fault injected at a random step. After every run the
// verdict must be right: the run ends in success exactly when the simulated flash holds the image.
// After a failed run the device keeps its flash (a state file), so the next run may resume what
// was written; after a successful one it starts empty, so that no run finds the image in place. At
// the end the process's descriptors, threads and resident memory must be where they were after the
// first runs. Usage: flash_soak [--runs N] [--seed S] [--scale X] [--records N] Exit status 0 when
// every verdict was right and nothing grew, 1 otherwise.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "flash/FlashEngine.h"
#include "headless/HeadlessConsole.h"
#include "platform/Clock.h"
#include "sim/HexGen.h"
#include "sim/SimInverter.h"

using namespace pellorin;

namespace {

struct Settings {
    int runs = 1000;
    unsigned seed = 12;
    double scale = 40;
    int records = 24;
};

struct ProcessFigures {
    int descriptors = 0;
    int threads = 0;
    long rssKiB = 0;
};

ProcessFigures Measure() {
    ProcessFigures figures;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++figures.descriptors;
    }
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) figures.threads = std::atoi(line.c_str() + 8);
        if (line.rfind("VmRSS:", 0) == 0) figures.rssKiB = std::atol(line.c_str() + 6);
    }
    return figures;
}

// One fault at one step of the procedure, or none.
struct Fault {
    std::string step;
    std::string what;
};

Fault InjectFault(std::mt19937& random, sim::Options& options, sim::Target target, int blocks) {
    auto pick = [&random](int count) {
        return static_cast<int>(random() % static_cast<unsigned>(count));
    };
    const int block = 1 + pick(blocks);
    sim::Faults& f = options.faults;
    switch (pick(14)) {
        case 0:
            f.ackOnAttempt = 0;
            return {"speed", "never acknowledged"};
        case 1:
            f.ackOverride = "^D006AC";
            return {"speed", "short acknowledgement"};
        case 2:
            f.silentFirstLines = 1 + pick(6);
            return {"entry", "first lines unheard"};
        case 3:
            options.stateReplyOverride = pick(2) ? "XYZ" : "ST";
            return {"entry", "garbage state reply"};
        case 4:
            f.neverAnswer = {":efh"};
            return {"erase", "silence"};
        case 5:
            f.neverAnswer = {":st"};
            return {"end of erase", "silence"};
        case 6:
            f.refuseBlock = block;
            return {"block " + std::to_string(block), "refused"};
        case 7:
            f.misAckBlock = block;
            f.misAckReply = pick(2) ? "ST4_00" : "st4_" + std::to_string(block);
            return {"block " + std::to_string(block), "wrong acknowledgement"};
        case 8:
            f.stopAfterBlock = block;
            return {"block " + std::to_string(block), "silent from here"};
        case 9:
            f.hangUpAfterBlock = block;
            return {"block " + std::to_string(block), "hang-up"};
        case 10:
            f.wrongChecksumTimes = pick(2) ? -1 : 1 + pick(8);
            return {"SUM", "wrong sum"};
        case 11:
            f.neverAnswer = {target == sim::Target::Mcu ? "CHKS" : "SV"};
            return {"leave", "silence"};
        case 12:
            f.fragmentPauseMs = {1, 5, 30};
            f.noiseBetweenReplies = pick(2) != 0;
            return {"every reply", "fragments and noise"};
        default:
            f.garbage600 = true;
            return {"first reply", "600 bytes without CR"};
    }
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--runs")
            settings.runs = std::atoi(argv[i + 1]);
        else if (option == "--seed")
            settings.seed = static_cast<unsigned>(std::atol(argv[i + 1]));
        else if (option == "--scale")
            settings.scale = std::atof(argv[i + 1]);
        else if (option == "--records")
            settings.records = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr,
                         "usage: flash_soak [--runs N] [--seed S] [--scale X] [--records N]\n");
            return 2;
        }
    }

    char pattern[] = "/tmp/pellorin-soak-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    setenv("PELLORIN_COM_DIR", folder.c_str(), 1);
    sim::HexImageOptions image;
    image.records = settings.records;
    image.verifyRecordLine = settings.records - 3;  // the DSP verifies near the end
    sim::WriteHexImage(folder + "/dsp.hex", image);
    image.verifyRecordLine = 0;
    image.seed = 2;
    sim::WriteHexImage(folder + "/mcu.hex", image);
    const std::vector<std::string> dspLines = ReadLines(folder + "/dsp.hex");
    const std::vector<std::string> mcuLines = ReadLines(folder + "/mcu.hex");

    platform::ScopedClockScale scale{settings.scale};
    std::mt19937 random(settings.seed);
    const auto start = std::chrono::steady_clock::now();
    ProcessFigures baseline;
    const int baselineRun = std::min(20, settings.runs);
    int successes = 0, failures = 0, faulted = 0, wrong = 0, conservative = 0;
    std::map<std::string, int> faultCounts;

    for (int run = 1; run <= settings.runs; ++run) {
        const bool mcu = random() % 2 != 0;
        const sim::Target target = mcu ? sim::Target::Mcu : sim::Target::Dsp;
        const auto& lines = mcu ? mcuLines : dspLines;
        sim::Options options;
        options.comDir = folder;
        options.comNumber = 1;
        options.stateFile = folder + "/flash.state";
        options.eraseTimeMs = 300;
        Fault fault;
        if (random() % 3 == 0) {
            fault = InjectFault(random, options, target, static_cast<int>(lines.size()));
            ++faulted;
            ++faultCounts[fault.step.rfind("block", 0) == 0 ? "block: " + fault.what
                                                            : fault.step + ": " + fault.what];
        }

        bool success = false;
        std::vector<std::string> stored;
        std::vector<std::string> log;
        {
            sim::SimInverter device(options);
            if (!device.Start()) {
                std::fprintf(stderr, "run %d: the simulated inverter did not start\n", run);
                return 1;
            }
            HeadlessConsole console;
            console.Link().ModulePath = folder + "/Pellorin";
            if (!console.PressJobButton(mcu ? kJobMcuUpdate : kJobDspUpdate, "COM1") ||
                !console.WaitForJobEnd(3600000)) {
                std::fprintf(stderr, "run %d: the job did not start or did not end\n", run);
                return 1;
            }
            log = console.LogOldestFirst();
            for (const auto& line : log) {
                if (line.rfind("Reflash  case time:", 0) == 0) success = true;
            }
            device.Stop();
            stored = device.StoredRecords(target);
        }
        const bool flashHoldsImage = stored == lines;
        success ? ++successes : ++failures;
        if (success) std::filesystem::remove(options.stateFile);
        if (success != flashHoldsImage) {
            // A success with a flash that differs is a wrong verdict; a failure with the image in
            // place is the cautious side (the device never confirmed it), counted apart.
            if (success) {
                ++wrong;
            } else {
                ++conservative;
            }
            std::printf(
                "run %d (%s, fault: %s at %s): %s, flash %s the image (%zu of %zu records)\n", run,
                mcu ? "MCU" : "DSP", fault.what.empty() ? "none" : fault.what.c_str(),
                fault.step.empty() ? "-" : fault.step.c_str(), success ? "success" : "failure",
                flashHoldsImage ? "holds" : "does not hold", stored.size(), lines.size());
            const std::size_t from = log.size() > 4 ? log.size() - 4 : 0;
            for (std::size_t i = from; i < log.size(); ++i)
                std::printf("    | %s\n", log[i].c_str());
        }
        if (run == baselineRun) baseline = Measure();
        if (run % 100 == 0) {
            const ProcessFigures now = Measure();
            std::printf(
                "after %4d runs: %d successes, %d failures, %d wrong; fds %d, threads %d, RSS %ld "
                "KiB, %.0f s\n",
                run, successes, failures, wrong, now.descriptors, now.threads, now.rssKiB,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            std::fflush(stdout);
        }
    }

    const ProcessFigures end = Measure();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "\n%d runs in %.0f s (clock scale %.0f, %d-record images, seed %u): %d successes, %d "
        "failures, "
        "%d with a fault\n",
        settings.runs, seconds, settings.scale, settings.records, settings.seed, successes,
        failures, faulted);
    for (const auto& [what, count] : faultCounts) std::printf("    %4d  %s\n", count, what.c_str());
    std::printf("wrong verdicts (success, flash differs): %d\n", wrong);
    std::printf("failure with the image in place: %d\n", conservative);
    std::printf(
        "after run %d / at the end: descriptors %d / %d, threads %d / %d, RSS %ld / %ld KiB\n",
        baselineRun, baseline.descriptors, end.descriptors, baseline.threads, end.threads,
        baseline.rssKiB, end.rssKiB);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    const bool flat = end.descriptors <= baseline.descriptors && end.threads <= baseline.threads &&
                      end.rssKiB - baseline.rssKiB < 2048;
    std::printf("%s\n", wrong == 0 && flat ? "PASS" : "FAIL");
    return wrong == 0 && flat ? 0 : 1;
}

// flash_bench_port: one update through a named serial port against a simulated inverter that
// runs in another process (pellorin-sim --pace --transcript F), so that one measure serves the
// Linux build and the Windows build under Wine alike. The line's use is measured afterwards from
// the simulator's transcript, by the Linux build (the simulator's clock is the same for both).
//
//   flash_bench_port update dsp|mcu --port COMn --image FILE [--baud 4800|9600|19200|38400]
//                    [--record DIR]
//       runs the update (the DSP at the rate chosen, 19200 by default; the MCU always runs its
//       line at 9600), prints how it ended and the job's time; status 0 when it updated.
//   flash_bench_port line-use --transcript F.jsonl      (Linux build)
//       prints the paced run's figures from the transcript: blocks, bytes on the wire, the
//       physical limit at 10 bits a byte, the time taken, the share of the limit, the median
//       time per block and the tool's turnaround per block (median and 90th percentile), as
//       "name=value" words.
//
// scripts/bench-windows.sh runs both builds against the same simulator and shows them side by
// side.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "flash/FlashEngine.h"
#include "headless/HeadlessConsole.h"

#ifdef PELLORIN_BENCH_LINE_USE
#include <fstream>

#include "bench/flash/LineUse.h"
#endif

using namespace pellorin;

namespace {

constexpr unsigned kRates[] = {4800, 9600, 19200, 38400};  // the speed box's items, in order

const char* OutcomeName(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::None:
            return "none";
        case JobOutcome::Updated:
            return "updated";
        case JobOutcome::PortNotOpened:
            return "port not opened";
        case JobOutcome::PortSetupFailed:
            return "port setup failed";
        case JobOutcome::ImageMissing:
            return "image missing";
        case JobOutcome::ImageUnreadable:
            return "image unreadable";
        case JobOutcome::ImageRefused:
            return "image refused";
        case JobOutcome::ConnectFail:
            return "connect fail";
        case JobOutcome::WriteFail:
            return "write fail";
        case JobOutcome::VerifyFail:
            return "verify fail";
    }
    return "?";
}

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "flash_bench_port: %s\nusage: flash_bench_port update dsp|mcu --port COMn "
                 "--image FILE [--baud 4800|9600|19200|38400] [--record DIR]\n"
                 "       flash_bench_port line-use --transcript F.jsonl\n",
                 problem);
    return 2;
}

int Update(const std::vector<std::string>& args) {
    if (args.empty() || (args[0] != "dsp" && args[0] != "mcu")) return Usage("dsp or mcu?");
    const int job = args[0] == "dsp" ? kJobDspUpdate : kJobMcuUpdate;
    std::string port;
    std::string image;
    std::string record;
    int baudIndex = 2;
    for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
        const std::string& name = args[i];
        const std::string& value = args[i + 1];
        if (name == "--port") {
            port = value;
        } else if (name == "--image") {
            image = value;
        } else if (name == "--record") {
            record = value;
        } else if (name == "--baud") {
            baudIndex = -1;
            for (int n = 0; n < 4; ++n) {
                if (value == std::to_string(kRates[n])) baudIndex = n;
            }
            if (baudIndex < 0) return Usage("--baud must be 4800, 9600, 19200 or 38400");
        } else {
            return Usage(("unknown option " + name).c_str());
        }
    }
    if (args.size() % 2 == 0) return Usage("an option without its value");
    if (port.empty() || image.empty()) return Usage("--port and --image are needed");

    HeadlessConsole console;
    console.Link().ExplicitImagePath = image;
    console.Link().Record.SetFolder(record);  // "" writes no record
    console.SelectBaudIndex(baudIndex);
    const auto start = std::chrono::steady_clock::now();
    if (!console.PressJobButton(job, port)) {
        std::printf("%s on %s: the job did not start\n", args[0].c_str(), port.c_str());
        return 1;
    }
    console.WaitForJobEnd(INFINITE);
    const double jobMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const JobOutcome outcome = console.Link().Outcome.load();
    std::printf("%s on %s: %s, %s blocks, job %.0f ms\n", args[0].c_str(), port.c_str(),
                OutcomeName(outcome), console.TotalBlocksText().c_str(), jobMs);
    return outcome == JobOutcome::Updated ? 0 : 1;
}

#ifdef PELLORIN_BENCH_LINE_USE
int LineUseOf(const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != "--transcript") return Usage("line-use --transcript F");
    std::ifstream in(args[1], std::ios::binary);
    if (!in) return Usage(("cannot read " + args[1]).c_str());
    std::vector<sim::TranscriptEntry> transcript;
    std::string error;
    if (!bench::ReadTranscriptJsonLines(in, transcript, error)) {
        return Usage((args[1] + ": " + error).c_str());
    }
    // The rate the blocks went at, as the simulated line saw it.
    unsigned baud = 0;
    for (const auto& entry : transcript) {
        if (bench::IsBlock(entry)) {
            baud = entry.baudAtArrival;
            break;
        }
    }
    if (baud == 0) {
        std::printf("blocks=0\n");
        return 1;
    }
    const bench::LineUse use = bench::MeasureLineUse(transcript, baud);
    const std::vector<double> turnarounds = bench::TurnaroundsMs(transcript, baud);
    const auto share = [&turnarounds](double p) {
        return turnarounds.empty()
                   ? 0.0
                   : turnarounds[static_cast<std::size_t>(p * (turnarounds.size() - 1))];
    };
    std::printf(
        "blocks=%d baud=%u bytes=%.0f limit_ms=%.1f actual_ms=%.1f percent=%.1f "
        "bytes_per_s=%.0f limit_bytes_per_s=%.0f block_ms=%.3f block_limit_ms=%.3f "
        "turnaround_ms=%.2f turnaround_p90_ms=%.2f\n",
        use.blocks, baud, use.wireBytes, use.limitMs, use.actualMs, use.Percent(),
        use.actualMs > 0 ? use.wireBytes * 1000.0 / use.actualMs : 0.0, baud / 10.0,
        bench::MedianBlockUs(transcript) / 1000.0, use.blocks > 0 ? use.limitMs / use.blocks : 0.0,
        share(0.5), share(0.9));
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "update") return Update(args);
#ifdef PELLORIN_BENCH_LINE_USE
    if (command == "line-use") return LineUseOf(args);
#endif
    return Usage(command.empty() ? "no command" : ("unknown command " + command).c_str());
}

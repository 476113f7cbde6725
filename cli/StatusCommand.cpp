// pellorin-cli status: the bootloader of one port's DSP or MCU, entered as an update enters it,
// says its state and the block an update would resume after; with an image, whether it holds
// that image by its sum. Then it is told to leave the bootloader, unless it is part-way through
// an update. Nothing is erased or written.
#include <cstdio>
#include <iostream>
#include <mutex>
#include <vector>

#include "cli/Commands.h"
#include "cli/ImageRules.h"
#include "cli/Output.h"
#include "cli/TerminalConsole.h"
#include "console/JobMode.h"
#include "console/SumText.h"
#include "console/UpdateRecord.h"
#include "console/WallTime.h"
#include "flash/UpdateEngine.h"
#include "platform/Clock.h"

namespace pellorin::cli {
namespace {

constexpr int kPollMs = 50;  // real ms between two looks at the job
using Holds = FlashEngine::DeviceStatus::Holds;

const char* HoldsWord(Holds held) {
    switch (held) {
        case Holds::Image:
            return "image";
        case Holds::Head:
            return "head";
        case Holds::Other:
            return "other";
        case Holds::Nothing:
            return "nothing";
        case Holds::Unknown:
            return "unknown";
        case Holds::NotAsked:
            break;
    }
    return nullptr;
}

std::string StateText(int state) {
    if (state == 1) return "waiting for an erase";
    if (state == 2) return "erasing";
    if (state >= 3) return "ready for blocks";
    return "in an unknown state";
}

// What the comparison means for an operator.
std::string HoldsText(const FlashEngine::DeviceStatus& status, const std::string& image) {
    const std::string deviceSum = status.DeviceSum ? SumText(*status.DeviceSum) : "none";
    switch (status.Held) {
        case Holds::Image:
            return "holds " + image + " (sum " + deviceSum + " agrees): nothing to update";
        case Holds::Head:
            return "holds blocks 1 to " + std::to_string(status.LinesCompared) + " of " + image +
                   " (sum " + deviceSum + " agrees): an update resumes at block " +
                   std::to_string(status.LinesCompared + 1);
        case Holds::Other:
            return "holds another image (sum " + deviceSum + ", " + image + " gives " +
                   SumText(status.ImageSum) + "): an update erases it and writes the whole image";
        case Holds::Nothing:
            return "holds nothing yet (erased or erasing): an update writes the whole image";
        case Holds::Unknown:
            return "sent no sum: whether it holds " + image + " is not known";
        case Holds::NotAsked:
            break;
    }
    return {};
}

// The device answered: 0 unless an image was named and the device does not hold it (6) or
// sent no sum (7).
int ExitStatusOf(Holds held) {
    switch (held) {
        case Holds::Other:
        case Holds::Nothing:
            return kExitVerifyFail;
        case Holds::Unknown:
            return kExitNotVerified;
        default:
            return kExitUpdated;
    }
}

}  // namespace

int RunStatusCommand(const Options& options, std::ostream& out,
                     platform::TerminationWatch& stopRequests) {
    const std::string& port = options.ports.front();
    const std::string image = options.images.empty() ? std::string() : options.images.front();
    const std::string target = options.jobMode == kJobDspUpdate ? "dsp" : "mcu";

    const DWORD startTick = platform::GetTickCount();
    std::mutex mutex;
    std::vector<std::string> pending;
    std::string pendingTrace;
    bool traceHeadShown = false;
    const auto flush = [&] {
        std::vector<std::string> lines;
        std::string trace;
        {
            std::lock_guard lock(mutex);
            lines.swap(pending);
            trace.swap(pendingTrace);
        }
        if (!trace.empty()) {
            out.flush();
            if (!traceHeadShown) {
                std::cerr << UpdateRecord::kEventColumns;
                traceHeadShown = true;
            }
            std::cerr << trace;
            std::cerr.flush();
        }
        if (options.quiet) return;
        for (const std::string& line : lines) {
            if (options.json) {
                out << JsonText({{"event", "log"},
                                 {"time_s", SecondsSince(startTick)},
                                 {"port", port},
                                 {"line", line}})
                    << "\n";
            } else {
                out << line << "\n";
            }
        }
        out.flush();
    };
    const auto report = [&](int exitStatus, const FlashEngine::DeviceStatus* status) {
        flush();
        const bool answered = status != nullptr && status->Answered;
        if (options.json) {
            const char* held = answered ? HoldsWord(status->Held) : nullptr;
            const bool compared = held != nullptr && status->Held != Holds::Nothing;
            out << JsonText({{"event", "status"},
                             {"time_s", SecondsSince(startTick)},
                             {"wall_time", IsoUtcText(std::chrono::system_clock::now())},
                             {"port", port},
                             {"target", target},
                             {"image", image.empty() ? Json() : Json(image)},
                             {"answered", answered},
                             {"state", answered ? Json(status->State) : Json()},
                             {"resume_block", answered ? Json(status->ResumeBlock) : Json()},
                             {"holds", held != nullptr ? Json(held) : Json()},
                             {"image_sum", compared ? Json(SumText(status->ImageSum)) : Json()},
                             {"device_sum", answered && status->DeviceSum
                                                ? Json(SumText(*status->DeviceSum))
                                                : Json()},
                             {"left_bootloader", answered && !status->StaysInBootloader},
                             {"outcome", answered ? "answered" : OutcomeName(exitStatus)},
                             {"exit", exitStatus}})
                << "\n";
        } else if (answered) {
            out << port << ": " << (target == "dsp" ? "DSP" : "MCU") << " bootloader "
                << StateText(status->State) << " (state " << status->State << "), "
                << (status->State >= 3 && status->ResumeBlock > 0
                        ? "resume point block " + std::to_string(status->ResumeBlock)
                        : std::string("no resume point"))
                << "\n";
            if (status->Held != Holds::NotAsked)
                out << port << ": " << HoldsText(*status, image) << "\n";
            if (status->StaysInBootloader) {
                out << port << ": left in its bootloader, as it is part-way through an update\n";
            }
            out << "exit status " << exitStatus << "\n";
        } else {
            out << port << ": " << OutcomeName(exitStatus) << ", exit status " << exitStatus
                << "\n";
        }
        out.flush();
        return exitStatus;
    };

    // A named image is checked before the port is opened, as for an update.
    if (!image.empty()) {
        ImageCheckOptions check;
        check.CollectDigests = false;
        ImageFacts facts = CheckImageFile(image, check);
        if (options.jobMode == kJobDspUpdate) RequireVerificationRecord(facts);
        if (!facts.Passed()) {
            {
                std::lock_guard lock(mutex);
                pending.push_back(RefusalLine(image, facts));
                pending.push_back(image + ": image refused");
            }
            return report(kExitImage, nullptr);
        }
    }

    TerminalConsole console([&](const std::string& line) {
        std::lock_guard lock(mutex);
        pending.push_back(line);
    });
    DeviceLink& link = console.Link();
    link.QueryOnly = true;
    link.ExplicitImagePath = image;
    link.Record.SetFolder("");  // nothing is written to the device, so nothing to record
    if (options.trace) {
        link.Record.SetWireCopy([&](const std::string& lines) {
            std::lock_guard lock(mutex);
            pendingTrace += lines;
        });
    }
    console.SelectBaudIndex(options.SpeedIndex());
    if (!console.PressJobButton(options.jobMode, port)) return report(kExitPort, nullptr);
    for (;;) {
        if (stopRequests.Wait(kPollMs)) {
            console.Exit();  // as "Exit": the port is closed; the device stays where it is
            return report(kExitInterrupted, nullptr);
        }
        flush();
        if (console.WaitForJobEnd(0)) break;
    }
    const FlashEngine::DeviceStatus& status = console.Engine().Flash.Status();
    if (!status.Answered) {
        return report(ExitStatusFor(link.Outcome.load(), link.Verified.load(), false), nullptr);
    }
    return report(ExitStatusOf(status.Held), &status);
}

}  // namespace pellorin::cli

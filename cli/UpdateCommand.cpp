// pellorin-cli update: one job per port, each on its own engine, driven exactly as the window's
// button drives it, with the progress on the terminal, as plain lines or as JSON.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "SerialLib/Serial/PortCatalog.h"
#include "cli/Commands.h"
#include "cli/ImageRules.h"
#include "cli/Output.h"
#include "cli/TerminalConsole.h"
#include "console/JobMode.h"
#include "console/ProgressDisplay.h"
#include "console/UpdateRecord.h"
#include "console/WallTime.h"
#include "flash/FlashEngine.h"
#include "platform/Clock.h"
#include "platform/Terminal.h"

namespace pellorin::cli {
namespace {

constexpr int kPollMs = 50;               // real ms between two looks at the jobs
constexpr DWORD kProgressEveryMs = 1000;  // program ms between two JSON progress events

enum class Style { Terminal, Plain, Json };

struct Job {
    std::string port;
    std::string image;
    std::unique_ptr<TerminalConsole> console;
    bool running = false;
    bool interrupted = false;
    int exitStatus = -1;    // -1 while running
    bool verified = false;  // updated, and the device confirmed the image's sum
    DWORD startTick = 0;
    DWORD endTick = 0;
    DWORD lastProgressTick = 0;
    std::uint32_t blocks = 0;
    std::uint32_t total = 0;
    std::string recordPath;
    SpeedReply speedReply = SpeedReply::NotAsked;
};

// The numbers of a running job, as the window's display computes them but without its 8-bit
// limits.
struct Progress {
    const char* stage = "connecting";
    // While connecting: the step, its try and the most it makes.
    ConnectStep step = ConnectStep::None;
    int attempt = 0;
    int attempts = 0;
    std::uint32_t blocks = 0;
    std::uint32_t total = 0;
    unsigned percent = 0;
    unsigned speed = 0;    // blocks sent in this run per second, 0 while unknown
    unsigned elapsed = 0;  // seconds of programming
    long remaining = -1;   // seconds, -1 while unknown
};

Progress ProgressOf(const Job& job) {
    Progress p;
    const FlashCounters& counters = job.console->Counters;
    p.total = counters.TotalBlocks.load();
    p.blocks = counters.WrittenBlocks.load();
    if (const JobOutcome outcome = job.console->Link().Outcome.load();
        outcome != JobOutcome::None) {
        p.stage = "closing";  // the run has ended; the port closes after its pause
        // A finished update stays at 100%, also when nothing was left to send.
        p.percent = outcome == JobOutcome::Updated ? 100 : counters.PercentShown.load();
    } else if (job.console->TimerRunning(kProgramTimer)) {
        p.stage = "programming";
        p.percent = counters.PercentShown.load();
        p.elapsed = (platform::timeGetTime() - counters.FlashStartTime.load()) / 1000;
        // Blocks a resumed run skipped took no time.
        if (p.elapsed >= 1) p.speed = BlocksSentThisRun(counters) / p.elapsed;
        if (p.speed > 0 && p.total >= p.blocks) p.remaining = (p.total - p.blocks) / p.speed;
    } else if (job.console->TimerRunning(kEraseTimer)) {
        p.stage = "erasing";
        p.percent = counters.ProgressPercent.load();
        p.blocks = 0;
    } else {
        const ConnectProgress& connecting = job.console->Link().Connecting;
        p.step = connecting.Step();
        if (p.step != ConnectStep::None && connecting.Attempts() > 0) {
            p.attempt = connecting.Attempt();
            p.attempts = connecting.Attempts();
        }
    }
    return p;
}

// A step of the connection: its word in JSON (nullptr for none) and its words on the status line.
struct StepNames {
    const char* word;
    const char* text;
};
StepNames NamesOf(ConnectStep step) {
    switch (step) {
        case ConnectStep::Open:
            return {"open", "opening the port"};
        case ConnectStep::Speed:
            return {"speed", "speed command"};
        case ConnectStep::Entry:
            return {"entry", "bootloader entry"};
        case ConnectStep::None:
            break;
    }
    return {nullptr, ""};
}

// The status line's words for a step of the connection.
std::string ConnectStepText(const Progress& p) {
    std::string text = NamesOf(p.step).text;
    if (p.attempts > 0)
        text += ", try " + std::to_string(p.attempt) + " of " + std::to_string(p.attempts);
    return text;
}

// What an operator checks when the device did not answer, from how far the connection got.
std::string NoAnswerHint(const Job& job, int jobMode, int speed) {
    const std::string processor = jobMode == kJobDspUpdate ? "DSP" : "MCU";
    if (job.speedReply == SpeedReply::Confirmed) {
        const int linkSpeed = jobMode == kJobDspUpdate ? speed : 9600;
        return "the device acknowledged the speed but its bootloader did not answer at " +
               std::to_string(linkSpeed) + " baud: is this the " + processor + "'s port" +
               (jobMode == kJobDspUpdate ? ", and does a lower --baud (9600) help on a long cable?"
                                         : "?");
    }
    return "nothing answered: check that the inverter is powered, that the cable sits in " +
           job.port + " and in the inverter (pellorin-cli ports lists the ports), and that the " +
           processor +
           " is in its bootloader; after a job that was cut short, power the inverter off and on "
           "so that it listens at 2400 baud again";
}

std::string WallTimeNow() { return IsoUtcText(std::chrono::system_clock::now()); }

std::string TargetName(int jobMode) { return jobMode == kJobDspUpdate ? "dsp" : "mcu"; }

// The device a port name reaches: a COM number where the job will open it (the adapter bound to
// it, wherever it is plugged in now), any other name as the device it leads to.
std::string DeviceOf(const std::string& portName) {
    std::string path = portName;
    if (const std::optional<serial::PortInfo> port = serial::LocatePort(portName)) {
        if (port->device.empty()) return port->identity.empty() ? port->name : port->identity;
        path = port->device;
    }
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

// The update record the finished job wrote (the engine writes one for every job); "" when it
// wrote none (records off, or the folder could not be written).
std::string RecordPathOf(Job& job) { return job.console->Link().Record.LastPath(); }

// The record of a job that never reached its port: its image was refused, or a stop request
// came while it was checked. `stopRequested` is asked while the image's digest is read; nothing
// else asks it until this returns.
std::string RecordUnstartedJob(const Options& options, const Job& job,
                               const std::vector<std::string>& lines, const std::string& check,
                               const std::string& cause,
                               const std::function<bool()>& stopRequested) {
    UpdateRecord record;
    record.SetStopCheck(stopRequested);
    record.Begin(options.jobMode, job.port);
    for (const std::string& line : lines) record.AddLogLine(line);
    record.AddNote("the port was not opened: nothing was sent to the device");
    record.SetImageCheck(check);
    record.SetOutcome(cause.empty() ? "image-refused" : "interrupted", cause);
    record.SetImage(job.image);
    return record.Finish();
}

class Reporter {
  public:
    Reporter(const Options& options, std::ostream& out, std::vector<Job>& jobs)
        : m_options(options),
          m_out(out),
          m_jobs(jobs),
          m_several(jobs.size() > 1),
          m_startTick(platform::GetTickCount()) {
        if (options.json) {
            m_style = Style::Json;
        } else if (&out == &std::cout && platform::StdoutIsTerminal()) {
            m_style = Style::Terminal;
            m_escapes = platform::EnableTerminalEscapes();
        }
    }

    // Any thread.
    void Queue(std::size_t job, const std::string& line) {
        std::lock_guard lock(m_mutex);
        m_pending.emplace_back(job, line);
    }
    // Any thread: lines of the wire for standard error (--trace).
    void QueueTrace(std::size_t job, const std::string& lines) {
        std::lock_guard lock(m_mutex);
        m_pendingTrace.emplace_back(job, lines);
    }

    // Main thread from here on.
    void Flush() {
        std::vector<std::pair<std::size_t, std::string>> lines;
        std::vector<std::pair<std::size_t, std::string>> trace;
        {
            std::lock_guard lock(m_mutex);
            lines.swap(m_pending);
            trace.swap(m_pendingTrace);
        }
        if (!trace.empty()) WriteTrace(trace);
        if (lines.empty() || m_options.quiet) return;
        ClearStatus();
        for (const auto& [job, line] : lines) {
            if (m_style == Style::Json) {
                m_out << JsonText({{"event", "log"},
                                   {"time_s", SecondsSince(m_startTick)},
                                   {"port", m_jobs[job].port},
                                   {"line", line}})
                      << "\n";
            } else {
                m_out << (m_several ? m_jobs[job].port + ": " : std::string()) << line << "\n";
            }
        }
    }

    void ProgressEvents() {
        if (m_style != Style::Json || m_options.quiet) return;
        const DWORD now = platform::GetTickCount();
        for (Job& job : m_jobs) {
            if (!job.running || now - job.lastProgressTick < kProgressEveryMs) continue;
            job.lastProgressTick = now;
            const Progress p = ProgressOf(job);
            const char* const step = NamesOf(p.step).word;
            m_out << JsonText({{"event", "progress"},
                               {"time_s", SecondsSince(m_startTick)},
                               {"port", job.port},
                               {"stage", p.stage},
                               {"step", step != nullptr ? Json(step) : Json()},
                               {"try", p.attempts > 0 ? Json(p.attempt) : Json()},
                               {"tries", p.attempts > 0 ? Json(p.attempts) : Json()},
                               {"blocks", p.blocks},
                               {"total", p.total},
                               {"percent", p.percent},
                               {"blocks_per_s", p.speed},
                               {"elapsed_s", (now - job.startTick) / 1000},
                               {"remaining_s", p.remaining >= 0 ? Json(p.remaining) : Json()}})
                  << "\n";
        }
    }

    void Result(const Job& job) {
        if (m_style == Style::Json) {
            Flush();
            m_out << JsonText(
                         {{"event", "result"},
                          {"time_s", SecondsSince(m_startTick)},
                          {"wall_time", WallTimeNow()},
                          {"port", job.port},
                          {"target", TargetName(m_options.jobMode)},
                          {"image", job.image},
                          {"outcome", OutcomeName(job.exitStatus)},
                          {"verified", job.verified},
                          {"exit", job.exitStatus},
                          {"blocks", job.blocks},
                          {"total", job.total},
                          {"duration_s", JsonNumber(Seconds(job), 6)},
                          {"record", job.recordPath.empty() ? Json() : Json(job.recordPath)},
                          {"hint", job.exitStatus == kExitNoAnswer ? Json(Hint(job)) : Json()}})
                  << "\n";
            return;
        }
        if (m_several) return;  // the summary table tells it
        Flush();
        ClearStatus();
        m_out << ResultLine(job) << "\n";
        if (job.exitStatus == kExitNoAnswer) m_out << job.port << ": hint: " << Hint(job) << "\n";
    }

    void Summary(int worst) {
        Flush();
        ClearStatus();
        if (m_style == Style::Json) {
            const bool allVerified = std::all_of(m_jobs.begin(), m_jobs.end(),
                                                 [](const Job& job) { return job.verified; });
            m_out << JsonText({{"event", "summary"},
                               {"time_s", SecondsSince(m_startTick)},
                               {"wall_time", WallTimeNow()},
                               {"ports", m_jobs.size()},
                               {"exit", worst},
                               {"outcome", OutcomeName(worst)},
                               {"verified", allVerified}})
                  << "\n";
        } else if (m_several) {
            char row[256];
            std::snprintf(row, sizeof row, "%-14s %-6s %-14s %13s %8s %5s\n", "PORT", "TARGET",
                          "RESULT", "BLOCKS", "TIME", "EXIT");
            if (!m_options.quiet) m_out << "\n";
            m_out << row;
            for (const Job& job : m_jobs) {
                const std::string blocks =
                    std::to_string(job.blocks) + "/" + std::to_string(job.total);
                std::snprintf(row, sizeof row, "%-14s %-6s %-14s %13s %8s %5d\n", job.port.c_str(),
                              TargetName(m_options.jobMode).c_str(), OutcomeName(job.exitStatus),
                              blocks.c_str(),
                              MinutesSeconds(static_cast<unsigned>(Seconds(job))).c_str(),
                              job.exitStatus);
                m_out << row;
            }
            for (const Job& job : m_jobs) {
                if (job.exitStatus == kExitNoAnswer)
                    m_out << job.port << ": hint: " << Hint(job) << "\n";
            }
            m_out << "exit status " << worst << "\n";
        }
        m_out.flush();
    }

    // The live status lines: one per port, below the log.
    void Status() {
        if (m_style != Style::Terminal || m_options.quiet) {
            m_out.flush();
            return;
        }
        ClearStatus();
        const std::size_t width = platform::TerminalColumns();
        if (!m_escapes) {
            // A terminal without cursor movement: the ports' status on one line, drawn over
            // with '\r'.
            std::string line;
            for (const Job& job : m_jobs) line += (line.empty() ? "" : "  |  ") + StatusLine(job);
            if (line.size() >= width) line.resize(width - 1);
            m_out << line;
            m_statusShown = line.size();
            m_out.flush();
            return;
        }
        for (const Job& job : m_jobs) {
            std::string line = StatusLine(job);
            if (line.size() >= width) line.resize(width - 1);
            m_out << line << "\n";
        }
        m_statusShown = m_jobs.size();
        m_out.flush();
    }

  private:
    std::string Hint(const Job& job) const {
        return NoAnswerHint(job, m_options.jobMode, m_options.speed);
    }

    // The wire's lines on standard error, below a head line the first time; with several ports
    // each line says whose it is.
    void WriteTrace(const std::vector<std::pair<std::size_t, std::string>>& trace) {
        ClearStatus();
        m_out.flush();
        if (!m_traceHeadShown) {
            std::cerr << (m_several ? "port  " : "") << UpdateRecord::kEventColumns;
            m_traceHeadShown = true;
        }
        for (const auto& [job, lines] : trace) {
            if (!m_several) {
                std::cerr << lines;
                continue;
            }
            std::size_t start = 0;
            while (start < lines.size()) {
                std::size_t end = lines.find('\n', start);
                if (end == std::string::npos) end = lines.size() - 1;
                std::cerr << m_jobs[job].port << "  " << lines.substr(start, end + 1 - start);
                start = end + 1;
            }
        }
        std::cerr.flush();
    }

    static double Seconds(const Job& job) {
        const DWORD end = job.exitStatus < 0 ? platform::GetTickCount() : job.endTick;
        return static_cast<double>(end - job.startTick) / 1000.0;
    }

    std::string ResultLine(const Job& job) const {
        std::ostringstream line;
        line << job.port << ": " << OutcomeName(job.exitStatus)
             << (job.verified ? ", verified" : ", not verified") << ", block " << job.blocks
             << " of " << job.total << ", " << MinutesSeconds(static_cast<unsigned>(Seconds(job)))
             << ", exit status " << job.exitStatus;
        if (job.exitStatus == kExitInterrupted) line << " (port closed; a later update resumes)";
        if (!job.recordPath.empty()) line << ", record " << job.recordPath;
        return line.str();
    }

    std::string StatusLine(const Job& job) const {
        std::ostringstream line;
        line << job.port << "  " << TargetName(m_options.jobMode) << "  ";
        if (job.exitStatus >= 0) {
            line << OutcomeName(job.exitStatus) << "  " << job.blocks << "/" << job.total;
            return line.str();
        }
        if (!job.running) return line.str() + "waiting";
        const Progress p = ProgressOf(job);
        line << p.stage;
        if (p.step != ConnectStep::None) {
            // A silent device takes minutes to give up: show how far it has come.
            line << "  " << ConnectStepText(p) << "  "
                 << MinutesSeconds((platform::GetTickCount() - job.startTick) / 1000);
        }
        if (std::string(p.stage) == "erasing") line << "  " << p.percent << "%";
        if (std::string(p.stage) == "programming") {
            line << "  " << p.blocks << "/" << p.total << " blocks  " << p.percent << "%  "
                 << p.speed << " blocks/s  " << MinutesSeconds(p.elapsed) << "  left "
                 << (p.remaining >= 0 ? MinutesSeconds(static_cast<unsigned>(p.remaining))
                                      : "--:--");
        }
        return line.str();
    }

    // Takes the status away; the next line starts where it began.
    void ClearStatus() {
        if (m_statusShown == 0) return;
        if (!m_escapes) {
            m_out << "\r" << std::string(m_statusShown, ' ') << "\r";
            m_statusShown = 0;
            return;
        }
        m_out << "\r";
        for (std::size_t i = 0; i < m_statusShown; ++i) m_out << "\x1b[1A\x1b[2K";
        m_statusShown = 0;
    }

    const Options& m_options;
    std::ostream& m_out;
    std::vector<Job>& m_jobs;
    const bool m_several;
    Style m_style = Style::Plain;
    bool m_escapes = true;          // the terminal moves the cursor on escape sequences
    std::size_t m_statusShown = 0;  // lines shown; without escapes, the characters of the one
    const DWORD m_startTick;        // the program's start, for the JSON objects' time
    bool m_traceHeadShown = false;
    std::mutex m_mutex;
    std::vector<std::pair<std::size_t, std::string>> m_pending;
    std::vector<std::pair<std::size_t, std::string>> m_pendingTrace;
};

void EndJob(Job& job, int exitStatus) {
    job.exitStatus = exitStatus;
    job.verified = exitStatus == kExitUpdated;
    job.running = false;
    job.endTick = platform::GetTickCount();
    if (job.console) {
        job.blocks = job.console->Counters.WrittenBlocks.load();
        job.total = job.console->Counters.TotalBlocks.load();
        job.speedReply = job.console->Link().Connecting.Speed();
    }
}

int ExitStatusOf(const Job& job, bool interrupted) {
    const DeviceLink& link = job.console->Link();
    return ExitStatusFor(link.Outcome.load(), link.Verified.load(), interrupted);
}

}  // namespace

int RunUpdateCommand(const Options& options, std::ostream& out,
                     platform::TerminationWatch& stopRequests) {
    // Two jobs never share a port, whatever names they give it.
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (DeviceOf(options.ports[i]) == DeviceOf(options.ports[j])) {
                std::cerr << "pellorin-cli: " << options.ports[j] << " and " << options.ports[i]
                          << " are the same port\n";
                return kExitUsage;
            }
        }
    }

    std::vector<Job> jobs(options.ports.size());
    Reporter reporter(options, out, jobs);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].port = options.ports[i];
        jobs[i].image = options.ImageFor(i);
        jobs[i].startTick = platform::GetTickCount();
    }

    // Each image is checked before its job starts; a refused image stops only its own port. A
    // stop request ends the check (a file of any size) and starts no further job.
    const std::function<bool()> stopRequested = [&stopRequests] { return stopRequests.Wait(0); };
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        // The engine's own check (it runs it again when the job starts), and the DSP's rule.
        ImageCheckOptions check;
        check.CollectDigests = false;
        check.StopRequested = stopRequested;
        ImageFacts facts;
        if (!stopRequests.Wait(0)) facts = CheckImageFile(job.image, check);
        if (stopRequests.Wait(0)) {
            job.recordPath = RecordUnstartedJob(options, job, {}, "stopped", stopRequests.Cause(),
                                                stopRequested);
            EndJob(job, kExitInterrupted);
            reporter.Result(job);
            continue;
        }
        if (options.jobMode == kJobDspUpdate) RequireVerificationRecord(facts);
        if (!facts.Passed()) {
            const std::vector<std::string> lines = {RefusalLine(job.image, facts),
                                                    job.image + ": image refused"};
            for (const std::string& line : lines) reporter.Queue(i, line);
            job.recordPath =
                RecordUnstartedJob(options, job, lines, lines.front(), {}, stopRequested);
            EndJob(job, kExitImage);
            reporter.Result(job);
            continue;
        }
        job.console = std::make_unique<TerminalConsole>(
            [&reporter, i](const std::string& line) { reporter.Queue(i, line); });
        job.console->Link().ExplicitImagePath = job.image;
        if (options.trace) {
            job.console->Link().Record.SetWireCopy(
                [&reporter, i](const std::string& lines) { reporter.QueueTrace(i, lines); });
        }
        job.console->Link().FullUpdate = options.erase;
        job.console->SelectBaudIndex(options.SpeedIndex());
        job.startTick = platform::GetTickCount();
        job.lastProgressTick = job.startTick;
        job.running = job.console->PressJobButton(options.jobMode, job.port);
        if (!job.running) {
            EndJob(job, kExitPort);
            reporter.Result(job);
        }
    }

    bool interrupted = false;
    for (;;) {
        const bool anyRunning =
            std::any_of(jobs.begin(), jobs.end(), [](const Job& j) { return j.running; });
        if (!anyRunning) break;
        if (stopRequests.Wait(kPollMs)) {
            interrupted = true;
            break;
        }
        reporter.Flush();
        for (Job& job : jobs) {
            if (!job.running || !job.console->WaitForJobEnd(0)) continue;
            EndJob(job, ExitStatusOf(job, false));
            reporter.Flush();
            job.recordPath = RecordPathOf(job);
            reporter.Result(job);
        }
        reporter.ProgressEvents();
        reporter.Status();
    }

    if (interrupted) {
        // As "Exit" in the window: every worker is told to stop, every port is closed at once and
        // the workers are joined; the devices stay where a later run resumes them. The jobs end
        // side by side, so many ports take no longer than one.
        std::vector<std::thread> stoppers;
        const std::string cause = stopRequests.Cause();
        for (Job& job : jobs) {
            if (!job.running) continue;
            job.console->Link().SetStopCause(cause);
            stoppers.emplace_back([&job] { job.console->Exit(); });
        }
        for (std::thread& stopper : stoppers) stopper.join();
        reporter.Flush();
        for (Job& job : jobs) {
            if (!job.running) continue;
            job.interrupted = true;
            EndJob(job, ExitStatusOf(job, true));
            job.recordPath = RecordPathOf(job);
            reporter.Result(job);
        }
    }

    int worst = kExitUpdated;
    for (const Job& job : jobs) worst = MoreSevere(worst, job.exitStatus);
    reporter.Summary(worst);
    for (Job& job : jobs) job.console.reset();  // the workers have ended; their sinks go next
    return worst;
}

}  // namespace pellorin::cli

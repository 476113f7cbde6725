// The simulated inverter's line side: the pseudo-terminal, framing of received bytes into lines,
// pacing at the line rate, the faults that concern the line (fragments, garbage, noise, hang-up),
// the transcript and the summary. The protocol itself is Bootloader's.
#include "sim/SimInverter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
// GCC 12 warns of an uninitialised std::function inside <regex>'s own automaton at -O2 under the
// sanitizers (a false positive of the library's code, not of this file's).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <thread>

#include "platform/Clock.h"
#include "platform/JsonText.h"
#include "platform/Trace.h"
#include "sim/Bootloader.h"
#include "sim/FlashModel.h"
#include "sim/PseudoTerminal.h"

namespace sim {
namespace {

using Steady = std::chrono::steady_clock;
using RealTime = Steady::time_point;

// A line that grows this long without a CR is not a command of this device: it is dropped.
constexpr std::size_t kMaxLineBytes = 64 * 1024;
constexpr std::size_t kGarbageBytes = 600;
constexpr const char* kNoise = "~\x7f#";
// Paced writes go out in pieces of this size, each when its last byte would have left the wire.
constexpr std::size_t kPacedChunk = 16;
// The last part of a paced wait is spent yielding rather than sleeping, for an exact deadline.
constexpr auto kSpinMargin = std::chrono::microseconds(300);
// A reply that the tool's side does not take in for this long is dropped.
constexpr auto kWriteGiveUp = std::chrono::seconds(2);
// Program ms the tool gets to read the last reply before a hang-up fault closes the line.
constexpr std::uint32_t kTakeInMs = 1000;

// Real time one byte takes on the line: 10 bits (start, 8 data, stop) at the rate, on the
// program clock's scale.
Steady::duration ByteTime(unsigned baud) {
    const double rate = baud == 0 ? 2400.0 : static_cast<double>(baud);
    const std::chrono::duration<double> seconds(10.0 / rate / platform::ClockScale());
    return std::chrono::duration_cast<Steady::duration>(seconds);
}

std::vector<std::string> ReadImageLines(const std::string& path, bool& ok) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Garbage() {
    std::string bytes;
    for (std::size_t i = 0; i < kGarbageBytes; ++i)
        bytes += static_cast<char>(0x21 + static_cast<int>(i % 94));  // printable, never a CR
    return bytes;
}

// The reply a step fault leaves (Silence is handled before the line reaches the bootloader).
void ApplyStepFault(const StepFault& fault, Reaction& reaction) {
    using Kind = StepFault::Kind;
    std::string& reply = reaction.reply;
    switch (fault.kind) {
        case Kind::Silence:
        case Kind::Fragments:  // SendReply cuts the reply
            break;
        case Kind::LostReply:
            reaction.leadLine.clear();
            reply.clear();
            break;
        case Kind::Garbage:
            reaction.leadLine.clear();
            reply = "\x15?#@!q\r";
            break;
        case Kind::WrongReply: {
            const std::size_t end = reply.find('\r');
            if (end == 0 || end == std::string::npos) break;
            char& last = reply[end - 1];
            if (last >= '0' && last <= '9')
                last = last == '9' ? '0' : static_cast<char>(last + 1);
            else if (last == 'Z' || last == 'z')
                last = static_cast<char>(last - 25);
            else
                last = static_cast<char>(last + 1);
            break;
        }
        case Kind::LowerCase:
            for (char& c : reply)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            break;
        case Kind::Flood:
            reaction.leadLine.clear();
            reply = Garbage();
            break;
        case Kind::Noise:
            if (!reply.empty()) reply = kNoise + reply + kNoise;
            break;
        case Kind::Late:
            reaction.busyMs += fault.lateMs;
            break;
        case Kind::HangUp:
            reaction.leadLine.clear();
            reply.clear();
            reaction.hangUp = true;
            break;
    }
    reaction.note += reaction.note.empty() ? "step fault" : "; step fault";
}

}  // namespace

struct SimInverter::Impl {
    explicit Impl(Options opts)
        : options(std::move(opts)),
          flash(options.dspState, options.dspBlock, options.mcuState, options.mcuBlock),
          boot(options, flash) {}

    struct PendingLine {
        std::string text;
        unsigned baud;
        int stopBits;
        RealTime due;  // when its CR would have arrived on a paced line
    };

    void Run();
    void TakeBytes(const char* bytes, std::size_t count, std::vector<PendingLine>& complete);
    void HandleLine(const PendingLine& line);
    // Sends `reply` in pieces with `pauses` between them; `tail` goes out in the last piece's
    // write, as an adapter delivers bytes that follow each other on the wire.
    std::string SendReply(const std::string& reply, unsigned rate, const std::vector<int>& pauses,
                          const std::string& tail = {});
    // The step fault that strikes this line, if any (counts the line for every fault it matches).
    const StepFault* StepFaultFor(const std::string& line);
    bool WritePaced(const std::string& bytes, unsigned rate);
    bool WriteAll(const std::string& bytes);
    void WaitUntilTaken();
    bool SleepUntil(RealTime until);
    bool SleepUntilPrecisely(RealTime until);
    bool SleepProgramMs(std::uint32_t ms) {
        return ms == 0 || SleepUntil(Steady::now() + platform::RealDuration(ms));
    }
    double ProgramMsAt(RealTime when) const {
        const std::chrono::duration<double, std::milli> real = when - startReal;
        return real.count() * platform::ClockScale();
    }
    double ProgramMsSinceStart() const { return ProgramMsAt(Steady::now()); }
    bool Stopping() const { return stopRequested.load(); }

    const Options options;
    FlashModel flash;
    Bootloader boot;
    std::unique_ptr<sim::PseudoTerminal> pty;
    std::string slavePath;
    std::string linkPath;

    mutable std::mutex mutex;  // guards everything below that the thread and callers share
    mutable std::condition_variable changed;
    std::string received;
    std::string partial;  // bytes of a line whose CR has not come yet
    std::vector<std::string> lines;
    std::vector<TranscriptEntry> transcript;
    std::size_t handled = 0;
    bool hungUp = false;

    // Used by the device thread only.
    bool garbageSent = false;
    int blocksHeard = 0;
    std::vector<std::regex> stepPatterns;
    std::vector<int> stepMatches;
    RealTime rxClock{};
    RealTime txClock{};

    RealTime startReal{};
    std::thread thread;
    std::atomic<bool> stopRequested{false};
    int wakeFd = -1;
    bool started = false;
    // PELLORIN_SIM_TRACE=1 writes every handled line as a trace line, for debugging a run.
    const bool traceLines = std::getenv("PELLORIN_SIM_TRACE") != nullptr;
};

SimInverter::SimInverter(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

SimInverter::~SimInverter() {
    Stop();
    if (m_impl->wakeFd >= 0) close(m_impl->wakeFd);
}

bool SimInverter::Start() {
    Impl& impl = *m_impl;
    if (impl.started) return false;
    impl.started = true;
    impl.pty = std::make_unique<sim::PseudoTerminal>();
    if (!impl.pty->Ok()) {
        platform::Trace("SimInverter::Start - Unable to open a pseudo-terminal\n");
        return false;
    }
    impl.slavePath = impl.pty->SlavePath();
    const std::pair<const std::string&, Target> held[] = {{impl.options.dspHolds, Target::Dsp},
                                                          {impl.options.mcuHolds, Target::Mcu}};
    for (const auto& [path, target] : held) {
        if (path.empty()) continue;
        bool read = false;
        std::vector<std::string> records = ReadImageLines(path, read);
        if (!read) {
            platform::Tracef("SimInverter::Start - Unable to read %s\n", path.c_str());
            return false;
        }
        const std::uint32_t block =
            target == Target::Dsp ? impl.options.dspBlock : impl.options.mcuBlock;
        if (records.size() > block) records.resize(block);
        impl.flash.Hold(target, records);
    }
    if (!impl.options.stateFile.empty()) {
        std::string error;
        if (!impl.flash.AttachFile(impl.options.stateFile, error)) {
            platform::Tracef("SimInverter::Start - State file: %s\n", error.c_str());
            return false;
        }
    }
    if (!impl.options.comDir.empty()) {
        impl.linkPath = impl.options.comDir + "/com" + std::to_string(impl.options.comNumber);
        if (!impl.pty->LinkAs(impl.linkPath)) {
            platform::Tracef("SimInverter::Start - Unable to publish %s\n", impl.linkPath.c_str());
            impl.linkPath.clear();
            return false;
        }
    }
    impl.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl.wakeFd < 0) {
        platform::Trace("SimInverter::Start - Unable to create the wake-up descriptor\n");
        return false;
    }
    impl.startReal = Steady::now();
    impl.rxClock = impl.txClock = impl.startReal;
    impl.thread = std::thread([&impl] { impl.Run(); });
    return true;
}

void SimInverter::Stop() {
    Impl& impl = *m_impl;
    if (impl.thread.joinable()) {
        {
            std::lock_guard lock(impl.mutex);
            impl.stopRequested.store(true);
        }
        impl.changed.notify_all();
        const std::uint64_t one = 1;
        if (write(impl.wakeFd, &one, sizeof one) < 0) {
            platform::Trace("SimInverter::Stop - Unable to wake the device thread\n");
        }
        impl.thread.join();
    }
    // Take the published link away only while it still names this simulator's slave.
    if (!impl.linkPath.empty()) {
        char target[256] = {};
        const ssize_t n = readlink(impl.linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && impl.slavePath == std::string(target, static_cast<std::size_t>(n)))
            unlink(impl.linkPath.c_str());
        impl.linkPath.clear();
    }
}

bool SimInverter::Impl::SleepUntil(RealTime until) {
    std::unique_lock lock(mutex);
    return !changed.wait_until(lock, until, [this] { return Stopping(); });
}

bool SimInverter::Impl::SleepUntilPrecisely(RealTime until) {
    // A thread wakes a few hundred microseconds late on a busy machine; on a paced line that
    // would add to every reply. Sleep to just short of the deadline and yield the rest.
    if (until - Steady::now() > kSpinMargin && !SleepUntil(until - kSpinMargin)) return false;
    while (Steady::now() < until) {
        if (Stopping()) return false;
        std::this_thread::yield();
    }
    return true;
}

void SimInverter::Impl::Run() {
    std::vector<PendingLine> complete;
    while (!Stopping()) {
        pollfd fds[2] = {{pty->MasterFd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            platform::Trace("SimInverter::Run - poll failed\n");
            return;
        }
        if (fds[1].revents != 0) return;
        char buffer[4096];
        const ssize_t n = read(pty->MasterFd(), buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            platform::Trace("SimInverter::Run - The line is gone\n");
            return;
        }
        complete.clear();
        TakeBytes(buffer, static_cast<std::size_t>(n), complete);
        for (const PendingLine& line : complete) {
            HandleLine(line);
            if (Stopping() || pty->MasterFd() < 0) return;
        }
    }
}

void SimInverter::Impl::TakeBytes(const char* bytes, std::size_t count,
                                  std::vector<PendingLine>& complete) {
    // The rate is read when the bytes arrive: the tool changes it only after a reply, so it is
    // the rate the bytes were sent at.
    const unsigned baud = pty->SlaveBaud();
    const int stopBits = pty->SlaveStopBits();
    const Steady::duration byteTime = ByteTime(baud);
    rxClock = std::max(rxClock, Steady::now());
    std::lock_guard lock(mutex);
    received.append(bytes, count);
    for (std::size_t i = 0; i < count; ++i) {
        rxClock += byteTime;
        if (bytes[i] != '\r') {
            partial += bytes[i];
            if (partial.size() > kMaxLineBytes) {
                boot.AddViolation("a line of more than " + std::to_string(kMaxLineBytes) +
                                  " bytes without CR was dropped");
                partial.clear();
            }
            continue;
        }
        lines.push_back(partial);
        complete.push_back({partial, baud, stopBits, rxClock});
        partial.clear();
    }
}

void SimInverter::Impl::HandleLine(const PendingLine& line) {
    TranscriptEntry entry;
    // On a paced line the device answers from the line's own clock: the reply starts when the
    // line's CR has arrived (plus the time the device works), whenever the thread got here.
    entry.timeMs = options.pace ? ProgramMsAt(line.due) : ProgramMsSinceStart();
    entry.received = line.text;
    entry.baudAtArrival = line.baud;
    entry.stopBitsAtArrival = line.stopBits;
    const StepFault* stepFault = StepFaultFor(line.text);
    if (stepFault && stepFault->kind == StepFault::Kind::Silence) {
        entry.note = "not heard (step fault)";
        {
            std::lock_guard lock(mutex);
            transcript.push_back(std::move(entry));
            ++handled;
        }
        changed.notify_all();
        return;
    }
    Reaction reaction;
    {
        std::lock_guard lock(mutex);
        reaction = boot.Handle(line.text, {line.baud, line.stopBits});
    }
    if (stepFault) ApplyStepFault(*stepFault, reaction);
    static const std::vector<int> kSlowPieces = {300, 300};
    const std::vector<int>& pauses = stepFault && stepFault->kind == StepFault::Kind::Fragments
                                         ? kSlowPieces
                                         : options.faults.fragmentPauseMs;
    const bool floodThisBlock = reaction.heard && line.text.rfind("SD_", 0) == 0 &&
                                ++blocksHeard == options.faults.garbageAtBlock;
    if (floodThisBlock || (options.faults.garbage600 && !garbageSent && reaction.heard)) {
        garbageSent = true;
        reaction.leadLine.clear();
        reaction.reply = Garbage();
        reaction.note = "600 bytes without CR instead of the reply (fault)";
    }
    entry.note = reaction.note;
    if (!reaction.leadLine.empty()) {
        entry.reply = SendReply(reaction.leadLine, reaction.lineRate, pauses);
        SleepProgramMs(options.ysjGapMs);
    }
    bool awake = true;
    if (options.pace) {
        txClock = std::max(txClock, line.due) + platform::RealDuration(reaction.busyMs);
    } else {
        awake = SleepProgramMs(reaction.busyMs);
    }
    if (awake && !reaction.reply.empty()) {
        entry.reply += SendReply(reaction.reply, reaction.lineRate, pauses,
                                 options.faults.noiseBetweenReplies ? kNoise : "");
    }
    // A tty hang-up throws away what the tool has not read yet; the adapter had sent it before it
    // was pulled out, so the tool gets a moment to take it in.
    if (reaction.hangUp) WaitUntilTaken();
    {
        std::lock_guard lock(mutex);
        if (reaction.hangUp) {
            // As when the adapter is pulled out: the tool's port sees the line go away.
            pty->HangUp();
            hungUp = true;
            entry.note = "hung up";
        }
        if (traceLines) {
            platform::Tracef("sim: %.1f ms at %u: %s -> %s %s\n", entry.timeMs, entry.baudAtArrival,
                             platform::JsonString(entry.received).c_str(),
                             platform::JsonString(entry.reply).c_str(), entry.note.c_str());
        }
        transcript.push_back(std::move(entry));
        ++handled;
    }
    changed.notify_all();
}

void SimInverter::Impl::WaitUntilTaken() {
    // The reply is taken in once it has shown up in the slave's queue and left it again, or once
    // the tool sends its next command; a tool that does not read is waited for a bounded time.
    const RealTime deadline = Steady::now() + platform::RealDuration(kTakeInMs);
    bool seenQueued = false;
    for (;;) {
        int queued = 0;
        if (ioctl(pty->SlaveFd(), FIONREAD, &queued) != 0) return;
        if (queued > 0)
            seenQueued = true;
        else if (seenQueued)
            return;
        pollfd pfd{pty->MasterFd(), POLLIN, 0};
        if (poll(&pfd, 1, 0) > 0) return;
        const RealTime next = Steady::now() + std::chrono::milliseconds(1);
        if (next >= deadline || !SleepUntil(next)) return;
    }
}

const StepFault* SimInverter::Impl::StepFaultFor(const std::string& line) {
    const std::vector<StepFault>& faults = options.faults.stepFaults;
    if (stepPatterns.size() != faults.size()) {
        for (const StepFault& fault : faults) stepPatterns.emplace_back(fault.pattern);
        stepMatches.assign(faults.size(), 0);
    }
    const StepFault* strikes = nullptr;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        if (!std::regex_search(line, stepPatterns[i])) continue;
        ++stepMatches[i];
        if (!strikes && (faults[i].occurrence == 0 || faults[i].occurrence == stepMatches[i]))
            strikes = &faults[i];
    }
    return strikes;
}

std::string SimInverter::Impl::SendReply(const std::string& reply, unsigned rate,
                                         const std::vector<int>& pauses, const std::string& tail) {
    const std::size_t pieces = std::min(pauses.size() + 1, reply.size());
    const std::size_t size = (reply.size() + pieces - 1) / pieces;
    std::string sent;
    for (std::size_t piece = 0, at = 0; at < reply.size(); ++piece, at += size) {
        if (piece > 0 &&
            !SleepProgramMs(static_cast<std::uint32_t>(std::max(0, pauses[piece - 1]))))
            break;
        std::string bytes = reply.substr(at, size);
        if (at + size >= reply.size()) bytes += tail;
        if (!WritePaced(bytes, rate)) break;
        sent += bytes;
    }
    return sent;
}

bool SimInverter::Impl::WritePaced(const std::string& bytes, unsigned rate) {
    if (!options.pace) return WriteAll(bytes);
    // An absolute line clock: each piece is due when its last byte has left the wire, so the
    // scheduling slack of one piece is not added to the next.
    const Steady::duration byteTime = ByteTime(rate);
    txClock = std::max(txClock, Steady::now());
    for (std::size_t at = 0; at < bytes.size(); at += kPacedChunk) {
        const std::string chunk = bytes.substr(at, kPacedChunk);
        txClock += byteTime * static_cast<int>(chunk.size());
        if (!SleepUntilPrecisely(txClock) || !WriteAll(chunk)) return false;
    }
    return true;
}

bool SimInverter::Impl::WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    RealTime lastProgress = Steady::now();
    while (done < bytes.size()) {
        const int fd = pty->MasterFd();
        if (fd < 0 || Stopping()) return false;
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            lastProgress = Steady::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            platform::Trace("SimInverter::WriteAll - write failed\n");
            return false;
        }
        if (Steady::now() - lastProgress > kWriteGiveUp) {
            platform::Trace(
                "SimInverter::WriteAll - The tool's side takes no bytes; reply dropped\n");
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, 20);
    }
    return true;
}

const std::string& SimInverter::SlavePath() const { return m_impl->slavePath; }

std::string SimInverter::ComPath() const {
    return m_impl->linkPath.empty() ? m_impl->slavePath : m_impl->linkPath;
}

std::string SimInverter::Received() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->received;
}

std::vector<std::string> SimInverter::ReceivedLines() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->lines;
}

std::vector<TranscriptEntry> SimInverter::Transcript() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->transcript;
}

std::vector<std::string> SimInverter::StoredRecords() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->boot.Stored(m_impl->boot.Current());
}

std::vector<std::string> SimInverter::StoredRecords(Target target) const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->boot.Stored(target);
}

Summary SimInverter::GetSummary() const {
    bool imageRead = false;
    std::vector<std::string> image;
    if (!m_impl->options.expectImage.empty())
        image = ReadImageLines(m_impl->options.expectImage, imageRead);
    Summary summary;
    std::lock_guard lock(m_impl->mutex);
    m_impl->boot.FillSummary(summary);
    summary.hungUp = m_impl->hungUp;
    summary.bytesReceived = m_impl->received.size();
    summary.imageMatches = imageRead && image == m_impl->boot.Stored(m_impl->boot.Current());
    return summary;
}

std::string SimInverter::SummaryJson() const {
    const Summary s = GetSummary();
    platform::Json counts = platform::Json::object();
    for (const auto& [command, count] : s.commandCounts) counts[command] = count;
    char sumHex[8];
    std::snprintf(sumHex, sizeof sumHex, "%04X", static_cast<unsigned>(s.deviceSum));
    platform::Json summary;
    summary["blocksStored"] = s.blocksStored;
    summary["dspBlocksStored"] = s.dspBlocksStored;
    summary["mcuBlocksStored"] = s.mcuBlocksStored;
    summary["imageMatches"] = s.imageMatches;
    summary["negotiatedBaud"] = s.negotiatedBaud;
    summary["commandCounts"] = counts;
    summary["violations"] = s.violations;
    summary["dspState"] = s.dspState;
    summary["dspBlock"] = s.dspBlock;
    summary["mcuState"] = s.mcuState;
    summary["mcuBlock"] = s.mcuBlock;
    summary["selected"] = s.selected;
    summary["resumeBlock"] = s.resumeBlock;
    summary["deviceSum"] = s.deviceSum;
    summary["deviceSumHex"] = sumHex;
    summary["hungUp"] = s.hungUp;
    summary["linesReceived"] = s.linesReceived;
    summary["bytesReceived"] = s.bytesReceived;
    return platform::JsonText(summary);
}

std::string SimInverter::TranscriptJsonLines() const {
    std::string out;
    for (const TranscriptEntry& e : Transcript()) {
        platform::Json line;
        // Milliseconds to the microsecond; finer digits are only noise.
        line["timeMs"] = std::round(e.timeMs * 1000.0) / 1000.0;
        line["received"] = e.received;
        line["reply"] = e.reply;
        line["baudAtArrival"] = e.baudAtArrival;
        line["stopBits"] = e.stopBitsAtArrival;
        if (!e.note.empty()) line["note"] = e.note;
        out += platform::JsonText(line) + "\n";
    }
    return out;
}

bool SimInverter::WaitForLines(std::size_t count, std::uint32_t timeoutMs) const {
    std::unique_lock lock(m_impl->mutex);
    return m_impl->changed.wait_for(lock, platform::RealDuration(timeoutMs),
                                    [this, count] { return m_impl->handled >= count; });
}

}  // namespace sim

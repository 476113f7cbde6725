// Gathering a job's events in memory, and the writer thread that turns them into the record file.
#include "console/UpdateRecord.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "console/Sha256.h"
#include "console/ToolVersion.h"
#include "console/WallTime.h"
#include "platform/Clock.h"
#include "platform/RegularFile.h"
#include "platform/Trace.h"

namespace pellorin {
namespace {

// What has gathered is appended this often, so that a record cut short by a hang-up or a crash
// holds what happened up to a moment before; the writer also wakes early when this much has
// gathered. Formatting a quarter second's events takes microseconds and runs on the writer's
// thread, so the blocks do not wait for it.
constexpr std::chrono::milliseconds kAppendEvery{250};
constexpr std::size_t kFlushBytes = 1024 * 1024;
constexpr std::size_t kBufferBytes = kFlushBytes + kFlushBytes / 4;
// A writer that cannot keep up (a stalled disk) must not make the job's memory grow without end.
constexpr std::size_t kMaxPendingBytes = 32 * 1024 * 1024;
constexpr const char* kRecordSuffix = ".txt";
constexpr std::size_t kImageReadChunk = 64 * 1024;

// The header of one event in the pending bytes; `length` bytes of the event follow it.
struct EventHead {
    std::int64_t ns;
    std::uint64_t a;
    std::uint64_t b;
    std::uint32_t length;
    std::uint32_t baud;
    std::uint8_t kind;
};

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HostName() {
#ifdef _WIN32
    const std::string name = EnvironmentValue("COMPUTERNAME");
    return name.empty() ? "not known" : name;
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "not known";
    return name;
#endif
}

const char* JobName(int jobMode) {
    switch (jobMode) {
        case 1:
            return "MCU update";
        case 2:
            return "DSP update";
        case 6:
            return "Read Version";
        case 7:
            return "Rest EEPROM";
        default:
            return "none";
    }
}

const char* PhaseName(std::uint8_t phase) {
    switch (phase) {
        case kPhaseIdle:
            return "idle";
        case kPhaseProgramming:
            return "programming, not finished";
        case kPhaseFinished:
            return "finished";
        case kPhaseFailed:
            return "failed";
        default:
            return "unknown";
    }
}

// "2026-12-07 10:40:12.345 +0100": local time with its offset from UTC.
std::string FormatWall(std::chrono::system_clock::time_point when) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
    const std::tm local =
        CalendarTime(static_cast<std::time_t>(sinceEpoch.count()), TimeZone::Local);
    char zone[16];
    std::strftime(zone, sizeof zone, "%z", &local);
    return LocalTimeText(when) + " " + zone;
}

// The record's file name: its start time in UTC (so that names sort by age) and the port.
std::string RecordFileName(std::chrono::system_clock::time_point start, const std::string& port,
                           int attempt) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(start.time_since_epoch());
    const std::tm utc =
        CalendarTime(static_cast<std::time_t>(sinceEpoch.count() / 1000), TimeZone::Utc);
    std::string safePort;
    for (char c : port) safePort += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    if (safePort.empty()) safePort = "noport";
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d.%03dZ-%s", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(sinceEpoch.count() % 1000), safePort.c_str());
    // Appended piece by piece: GCC 12 takes "literal" + std::string for an overlapping copy at -O2.
    std::string name = text;
    if (attempt > 0) {
        name += '-';
        name += std::to_string(attempt + 1);
    }
    return name + kRecordSuffix;
}

std::string Hex4(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
    return text;
}

// One "name            value" line; the value is escaped, whatever it holds.
void AddField(std::string& out, const char* name, const std::string& value) {
    char label[32];
    std::snprintf(label, sizeof label, "%-16s", name);
    out += label;
    out += EscapeText(value);
    out += '\n';
}

const char* VerificationName(UpdateRecord::Verification verification) {
    switch (verification) {
        case UpdateRecord::Verification::Confirmed:
            return "confirmed";
        case UpdateRecord::Verification::Failed:
            return "failed";
        case UpdateRecord::Verification::NotChecked:
        case UpdateRecord::Verification::NotKnown:
            break;
    }
    return "not checked";
}

// The program clock, when it does not run at the wall clock's pace or when a setting to make it
// was not followed.
std::string ClockNote() {
    const std::string setting = EnvironmentValue("PELLORIN_CLOCK_SCALE");
    const double scale = platform::ClockScale();
    char text[160];
    if (scale != 1.0) {
        std::snprintf(text, sizeof text, "runs %.3g times as fast as real time (%s)", scale,
                      setting.empty() ? "a test run" : "PELLORIN_CLOCK_SCALE, simulated ports");
        return text;
    }
    if (!setting.empty() && EnvironmentValue("PELLORIN_COM_DIR").empty()) {
        return "real time (PELLORIN_CLOCK_SCALE=" + setting +
               " not followed: it applies to simulated ports only)";
    }
    return "";
}

void AppendEscaped(std::string& text, const char* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += "\\x";
            text += kDigits[c >> 4];
            text += kDigits[c & 0xF];
        }
    }
}

}  // namespace

std::string EscapeWireBytes(const char* bytes, std::size_t count) {
    std::string text;
    text.reserve(count + 8);
    AppendEscaped(text, bytes, count);
    return text;
}

namespace {

// The length of the well-formed UTF-8 sequence at `at` and its character; 0 when there is none.
std::size_t Utf8Sequence(const std::string& text, std::size_t at, char32_t* character) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
        value = (value << 6) | (byte(at + i) & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *character = value;
    return length;
}

// Characters that end a line in some viewers or turn the direction of what follows.
bool TurnsLines(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string EscapeText(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                AppendEscaped(out, &text[i], 1);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        char32_t character = 0;
        const std::size_t length = Utf8Sequence(text, i, &character);
        if (length == 0) {
            AppendEscaped(out, &text[i], 1);
            ++i;
        } else if (TurnsLines(character)) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(character));
            out += escaped;
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

ImageFileFacts ReadImageFileFacts(const std::string& path,
                                  const std::function<bool()>& stopRequested) {
    ImageFileFacts facts;
    std::FILE* file = platform::OpenRegularFile(path);
    if (file == nullptr) return facts;
    Sha256 digest;
    std::vector<char> buffer(kImageReadChunk);
    std::size_t column = 0;  // characters of the current line so far
    char type[2] = {};
    bool colon = false;
    const auto endLine = [&] {
        ++facts.lines;
        if (colon && type[0] == '0' && type[1] == '0') ++facts.dataRecords;
        column = 0;
        colon = false;
        type[0] = type[1] = 0;
    };
    for (;;) {
        if (stopRequested && stopRequested()) {
            std::fclose(file);
            ImageFileFacts stopped;
            stopped.stopped = true;
            return stopped;
        }
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
        if (got == 0) break;
        digest.Update(buffer.data(), got);
        facts.size += got;
        for (std::size_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                endLine();
                continue;
            }
            if (column == 0) colon = c == ':';
            if (column == 7) type[0] = c;
            if (column == 8) type[1] = c;
            ++column;
        }
    }
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) return ImageFileFacts{};
    if (column > 0) endLine();  // a last line without a line end still counts
    facts.sha256 = digest.HexDigest();
    facts.readable = true;
    return facts;
}

UpdateRecord::UpdateRecord() : m_folder(DefaultRecordsFolder()) {}

UpdateRecord::~UpdateRecord() {
    if (m_writer.joinable()) Finish();
}

void UpdateRecord::SetFolder(const std::string& folder) {
    std::lock_guard lock(m_mutex);
    m_folder = folder;
}

std::string UpdateRecord::Folder() const {
    std::lock_guard lock(m_mutex);
    return m_folder;
}

std::string UpdateRecord::LastPath() const {
    std::lock_guard lock(m_mutex);
    return m_lastPath;
}

void UpdateRecord::SetWireCopy(std::function<void(const std::string& lines)> sink) {
    std::lock_guard lock(m_mutex);
    m_wireCopy = std::move(sink);
}

void UpdateRecord::SetStopCheck(std::function<bool()> stopRequested) {
    std::lock_guard lock(m_mutex);
    m_stopRequested = std::move(stopRequested);
}

std::int64_t UpdateRecord::NowNs() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                m_start)
        .count();
}

void UpdateRecord::Begin(int jobMode, const std::string& portName) {
    if (m_writer.joinable()) Finish();  // the previous job never finished its record
    std::lock_guard lock(m_mutex);
    m_lastPath.clear();
    m_pending.clear();
    m_facts = Facts{};
    m_counts = Counts{};
    m_finishing = false;
    m_failed = false;
    m_imageToRead.clear();
    m_lineSpeed = 0;
    m_rxSinceCommand = 0;
    m_floodCut = 0;
    m_jobMode = jobMode;
    m_portName = portName;
    m_jobFolder = m_folder;
    m_start = std::chrono::steady_clock::now();
    m_startWall = std::chrono::system_clock::now();
    m_file = nullptr;
    m_path.clear();
    m_copyWire = static_cast<bool>(m_wireCopy);
    if (m_jobFolder.empty() && !m_copyWire) return;  // records are off
    m_pending.reserve(kBufferBytes);
    m_active.store(true);
    m_writer = std::thread(&UpdateRecord::WriterLoop, this);
}

std::string UpdateRecord::Finish() {
    {
        std::lock_guard lock(m_mutex);
        m_active.store(false);
        if (!m_writer.joinable()) return "";
        CloseFloodLocked();
        m_facts.endNs = NowNs();
        if (m_counters != nullptr && m_facts.imagePath) {
            m_facts.writtenBlocks = m_counters->WrittenBlocks.load();
            m_facts.totalBlocks = m_counters->TotalBlocks.load();
        }
        m_finishing = true;
    }
    m_wake.notify_all();
    m_writer.join();
    std::lock_guard lock(m_mutex);
    m_lastPath = m_failed ? "" : m_path;
    return m_lastPath;
}

// ---- Facts -----------------------------------------------------------------------------------

void UpdateRecord::SetLineSpeed(unsigned baud) {
    std::lock_guard lock(m_mutex);
    m_lineSpeed = baud;
}

void UpdateRecord::SetSpeedAsked(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_facts.speedAsked = text;
}

void UpdateRecord::SetSpeedInForce(unsigned baud) {
    std::lock_guard lock(m_mutex);
    m_facts.speedInForce = baud;
    m_lineSpeed = baud;
}

void UpdateRecord::SetSpeedConfirmed(bool confirmed) {
    std::lock_guard lock(m_mutex);
    m_facts.speedConfirmed = confirmed;
}

void UpdateRecord::SetPortDevice(const std::string& devicePath) {
    std::lock_guard lock(m_mutex);
    m_facts.portDevice = devicePath;
}

void UpdateRecord::SetAdapterDescription(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_facts.adapter = text;
}

void UpdateRecord::SetImage(const std::string& path) {
    // Where the path leads: a relative path or a link says little once the job is over.
    std::error_code error;
    const std::string resolved = std::filesystem::weakly_canonical(path, error).string();
    {
        std::lock_guard lock(m_mutex);
        m_facts.imagePath = path;
        m_facts.imageResolved.reset();
        if (!error && !resolved.empty() && resolved != path) m_facts.imageResolved = resolved;
        m_facts.image.reset();
        if (!m_active.load() || m_jobFolder.empty()) return;
        m_imageToRead = path;
    }
    m_wake.notify_all();
}

void UpdateRecord::SetImageCheck(const std::string& result) {
    std::lock_guard lock(m_mutex);
    m_facts.imageCheck = result;
}

void UpdateRecord::SetFlashPhase(std::uint8_t phase) {
    std::lock_guard lock(m_mutex);
    m_facts.phase = phase;
}

void UpdateRecord::SetResumeBlock(std::int64_t block) {
    std::lock_guard lock(m_mutex);
    m_facts.resumeBlock = block;
}

void UpdateRecord::SetToolChecksum(unsigned sum) {
    std::lock_guard lock(m_mutex);
    m_facts.toolSum = sum;
}

void UpdateRecord::AddDeviceChecksum(unsigned sum) {
    std::lock_guard lock(m_mutex);
    m_facts.deviceSums.push_back(sum);
}

void UpdateRecord::SetBlockCounters(const FlashCounters* counters) {
    std::lock_guard lock(m_mutex);
    m_counters = counters;
}

void UpdateRecord::SetVerification(Verification verification) {
    std::lock_guard lock(m_mutex);
    m_facts.verification = verification;
}

void UpdateRecord::SetOutcome(const std::string& word, const std::string& cause) {
    std::lock_guard lock(m_mutex);
    m_facts.outcome = word;
    m_facts.stopCause = cause;
}

void UpdateRecord::SetImageNotFound(const std::string& fileName,
                                    const std::vector<std::string>& folders) {
    std::lock_guard lock(m_mutex);
    m_facts.imageNotFound = fileName;
    m_facts.foldersSearched = folders;
}

// ---- Events ----------------------------------------------------------------------------------

void UpdateRecord::AddEventLocked(Kind kind, const char* bytes, std::size_t count, std::uint64_t a,
                                  std::uint64_t b, std::int64_t ns) {
    if (m_pending.size() > kMaxPendingBytes) {
        ++m_counts.lost;
        return;
    }
    EventHead head{};
    head.ns = ns >= 0 ? ns : NowNs();
    head.a = a;
    head.b = b;
    head.length = static_cast<std::uint32_t>(count);
    head.baud = m_lineSpeed;
    head.kind = static_cast<std::uint8_t>(kind);
    const std::size_t before = m_pending.size();
    m_pending.append(reinterpret_cast<const char*>(&head), sizeof head);
    if (count > 0) m_pending.append(bytes, count);
    // A live copy of the wire is wanted as it happens; a file is appended a few times a second.
    if ((before < kFlushBytes && m_pending.size() >= kFlushBytes) || m_copyWire)
        m_wake.notify_all();
}

void UpdateRecord::CloseFloodLocked() {
    if (m_floodCut == 0) return;
    ++m_counts.floods;
    AddEventLocked(Kind::Flood, nullptr, 0, m_rxSinceCommand, m_floodCut, m_floodLastNs);
    m_floodCut = 0;
}

void UpdateRecord::AddTextEventLocked(Kind kind, const std::string& text) {
    if (!m_active.load()) return;
    CloseFloodLocked();
    AddEventLocked(kind, text.data(), text.size());
}

void UpdateRecord::AddLogLine(const std::string& line) {
    if (!m_active.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(m_mutex);
    AddTextEventLocked(Kind::Log, line);
}

void UpdateRecord::AddMessageBox(const std::string& text) {
    if (!m_active.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(m_mutex);
    AddTextEventLocked(Kind::Box, text);
}

void UpdateRecord::AddNote(const std::string& text) {
    if (!m_active.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(m_mutex);
    AddTextEventLocked(Kind::Note, text);
}

void UpdateRecord::OnCommandSent(const char* bytes, std::size_t count) {
    if (!m_active.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(m_mutex);
    if (!m_active.load()) return;
    CloseFloodLocked();
    m_rxSinceCommand = 0;
    ++m_counts.commands;
    m_counts.commandNs = NowNs();
    AddEventLocked(Kind::Command, bytes, count, 0, 0, m_counts.commandNs);
}

void UpdateRecord::OnSendFailed() {
    if (!m_active.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(m_mutex);
    if (!m_active.load()) return;
    AddEventLocked(Kind::SendFailed, nullptr, 0);
}

void UpdateRecord::OnBytesReceived(const char* bytes, std::size_t count) {
    if (count == 0 || !m_active.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(m_mutex);
    if (!m_active.load()) return;
    ++m_counts.pieces;
    if (m_counts.commandNs >= 0) {
        const std::int64_t trip = NowNs() - m_counts.commandNs;
        m_counts.commandNs = -1;
        if (m_counts.roundTrips == 0 || trip < m_counts.roundTripMinNs)
            m_counts.roundTripMinNs = trip;
        m_counts.roundTripMaxNs = std::max(m_counts.roundTripMaxNs, trip);
        m_counts.roundTripSumNs += trip;
        ++m_counts.roundTrips;
    }
    const std::uint64_t before = m_rxSinceCommand;
    m_rxSinceCommand += count;
    const std::size_t shown =
        before >= kFloodShown
            ? 0
            : static_cast<std::size_t>(std::min<std::uint64_t>(count, kFloodShown - before));
    if (shown > 0) AddEventLocked(Kind::Received, bytes, shown);
    if (shown < count) {
        m_floodCut += count - shown;
        m_floodLastNs = NowNs();
    }
}

// ---- Writer ----------------------------------------------------------------------------------

void UpdateRecord::WriterLoop() {
    // Two buffers take turns: the hooks fill one while this thread writes the other, and both
    // keep their capacity, so the hooks seldom reallocate as they fill.
    std::string pending;
    pending.reserve(kBufferBytes);
    if (!m_jobFolder.empty()) (void)MakeFile();
    std::unique_lock lock(m_mutex);
    const std::function<void(const std::string&)> wireCopy = m_copyWire ? m_wireCopy : nullptr;
    for (;;) {
        m_wake.wait_for(lock, kAppendEvery, [this, &wireCopy] {
            return m_finishing || !m_imageToRead.empty() || m_pending.size() >= kFlushBytes ||
                   (wireCopy && !m_pending.empty());
        });
        if (!m_imageToRead.empty()) {
            // Read while the device is being brought into its programming state, so the digest
            // is of the file as it was when the job took it.
            const std::string path = std::move(m_imageToRead);
            m_imageToRead.clear();
            const std::function<bool()> stopRequested = m_stopRequested;
            lock.unlock();
            ImageFileFacts facts = ReadImageFileFacts(path, stopRequested);
            lock.lock();
            if (m_facts.imagePath == path) m_facts.image = std::move(facts);
            continue;
        }
        pending.clear();
        pending.swap(m_pending);
        const bool finishing = m_finishing;
        Facts facts;
        Counts counts;
        if (finishing) {
            facts = m_facts;
            counts = m_counts;
        }
        const bool failed = m_failed;
        lock.unlock();
        if (!failed && m_file != nullptr) {
            if (!pending.empty()) WriteText(FormatEvents(pending));
            if (finishing) WriteText(FormatSummary(facts, counts));
        }
        if (wireCopy && !pending.empty()) {
            const std::string lines = FormatEvents(pending, true);
            if (!lines.empty()) wireCopy(lines);
        }
        lock.lock();
        if (finishing) break;
    }
    lock.unlock();
    CloseFile();
    m_recordsFolder.Close();
}

void UpdateRecord::Fail(const std::string& what, const std::string& reason) {
    {
        std::lock_guard lock(m_mutex);
        if (m_failed) return;
        m_failed = true;
        // A live copy of the wire goes on without the file.
        if (!m_copyWire) {
            m_active.store(false);
            m_pending.clear();
        }
    }
    platform::Tracef("UpdateRecord - %s in %s: %s\n", what.c_str(), m_jobFolder.c_str(),
                     reason.c_str());
}

bool UpdateRecord::MakeFile() {
    if (!m_recordsFolder.Open(m_jobFolder)) {
        Fail("no record written", m_recordsFolder.Problem());
        return false;
    }
    for (int attempt = 0; attempt < 20 && m_file == nullptr; ++attempt) {
        const std::string name = RecordFileName(m_startWall, m_portName, attempt);
        m_path = m_recordsFolder.PathOf(name);
        errno = 0;
        m_file = m_recordsFolder.Create(name);  // never over another job's record
        if (m_file == nullptr && errno != EEXIST) break;
    }
    if (m_file == nullptr) {
        const int code = errno;
        Fail("cannot write a record", code != 0 ? std::strerror(code) : "unknown error");
        return false;
    }
    m_recordsFolder.Prune(kKeptRecords);
    WriteText(FormatHeader());
    return m_file != nullptr;
}

void UpdateRecord::WriteText(const std::string& text) {
    if (m_file == nullptr) return;
    // Flushed at once: what is written survives the program, whatever ends it.
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), m_file) != text.size() ||
        std::fflush(m_file) != 0) {
        const int code = errno;
        std::fclose(m_file);
        m_file = nullptr;
        Fail("cannot write the record " + m_path, code != 0 ? std::strerror(code) : "write failed");
    }
}

void UpdateRecord::CloseFile() {
    if (m_file == nullptr) return;
    errno = 0;
    const bool synced = RecordsFolder::Sync(m_file);
    const int code = errno;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!synced || !closed)
        Fail("cannot finish the record " + m_path,
             code != 0 ? std::strerror(code) : "close failed");
}

// ---- Formatting ------------------------------------------------------------------------------

std::string UpdateRecord::FormatHeader() const {
    std::string out = "Pellorin update record\n";
    AddField(out, "tool", "Pellorin " + ToolVersion());
    AddField(out, "host", HostName());
    AddField(out, "job", std::to_string(m_jobMode) + " (" + JobName(m_jobMode) + ")");
    AddField(out, "port", m_portName);
    AddField(out, "started", FormatWall(m_startWall));
    const std::string clock = ClockNote();
    if (!clock.empty()) AddField(out, "program clock", clock);
    out += "A whole record ends with its outcome line; without one, the job was cut short.\n";
    out += "\n        time ms  wall time     what line    bytes or text\n";
    return out;
}

std::string UpdateRecord::FormatEvents(const std::string& pending, bool wireOnly) const {
    // Tens of thousands of events a job: the columns are put together by hand, and the wall
    // clock is broken down once a second.
    std::string out;
    out.reserve(pending.size() + pending.size() / 2);
    const auto startMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_startWall.time_since_epoch())
            .count();
    std::int64_t cachedSecond = -1;
    char secondText[16] = "";
    std::size_t position = 0;
    while (position + sizeof(EventHead) <= pending.size()) {
        EventHead head;
        std::memcpy(&head, pending.data() + position, sizeof head);
        position += sizeof head;
        const char* bytes = pending.data() + position;
        position += head.length;
        const auto kind = static_cast<Kind>(head.kind);
        const bool wire = kind != Kind::Log && kind != Kind::Box && kind != Kind::Note;
        if (wireOnly && !wire) continue;

        // Milliseconds since the start with three decimals, right-aligned in 15 columns.
        const std::int64_t micros = head.ns / 1000;
        char number[32];
        const int numberLength =
            std::snprintf(number, sizeof number, "%lld.%03d", static_cast<long long>(micros / 1000),
                          static_cast<int>(micros % 1000));
        if (numberLength < 15) out.append(static_cast<std::size_t>(15 - numberLength), ' ');
        out.append(number, static_cast<std::size_t>(numberLength));

        const std::int64_t wallMs = startMs + micros / 1000;
        if (wallMs / 1000 != cachedSecond) {
            cachedSecond = wallMs / 1000;
            const std::tm local =
                CalendarTime(static_cast<std::time_t>(cachedSecond), TimeZone::Local);
            std::snprintf(secondText, sizeof secondText, "%02d:%02d:%02d.", local.tm_hour,
                          local.tm_min, local.tm_sec);
        }
        const int millis = static_cast<int>(wallMs % 1000);
        out += "  ";
        out += secondText;
        out += static_cast<char>('0' + millis / 100);
        out += static_cast<char>('0' + millis / 10 % 10);
        out += static_cast<char>('0' + millis % 10);
        out += "  ";

        static const char* const kWhat[] = {"tx  ", "tx! ", "rx  ", "cut ", "log ", "box ", "note"};
        out += kWhat[static_cast<std::size_t>(kind)];
        char speed[16] = "";
        if (wire) std::snprintf(speed, sizeof speed, "%u", head.baud);
        out += ' ';
        out += speed;
        out.append(8 - std::min<std::size_t>(std::strlen(speed), 6), ' ');
        switch (kind) {
            case Kind::Command:
            case Kind::Received:
                AppendEscaped(out, bytes, head.length);
                break;
            case Kind::SendFailed:
                out += "(the command could not be written)";
                break;
            case Kind::Flood:
                out += "(flood: " + std::to_string(head.a) + " bytes since the command, the last " +
                       std::to_string(head.b) + " not shown)";
                break;
            case Kind::Log:
            case Kind::Box:
            case Kind::Note:
                out += EscapeText(std::string(bytes, head.length));
                break;
        }
        out += '\n';
    }
    return out;
}

std::string UpdateRecord::FormatSummary(const Facts& facts, const Counts& counts) const {
    const std::string unknown = "not known";
    std::string out = "\nsummary\n";
    AddField(out, "port device", facts.portDevice.value_or(unknown));
    AddField(out, "adapter", facts.adapter.value_or(unknown));
    AddField(out, "speed asked", facts.speedAsked.value_or("none"));
    if (facts.speedConfirmed == false) {
        // The port was moved to the speed asked, but whether the device moved with it is not
        // known: the speed is not in force as far as anyone can tell.
        AddField(
            out, "speed in force",
            "not confirmed: the device never acknowledged the speed command" +
                (facts.speedInForce ? "; the port was set to " + std::to_string(*facts.speedInForce)
                                    : std::string()));
    } else {
        AddField(out, "speed in force",
                 facts.speedInForce ? std::to_string(*facts.speedInForce) : std::string("none"));
    }
    if (facts.imagePath) {
        AddField(out, "image", *facts.imagePath);
        if (facts.imageResolved) AddField(out, "image resolved", *facts.imageResolved);
        if (facts.image && facts.image->readable) {
            AddField(out, "image size", std::to_string(facts.image->size) + " bytes");
            AddField(out, "image SHA-256", facts.image->sha256);
            AddField(out, "image lines",
                     std::to_string(facts.image->lines) + ", " +
                         std::to_string(facts.image->dataRecords) + " data records");
        } else if (facts.image && facts.image->stopped) {
            AddField(out, "image size", "not read: the job was stopped");
        } else {
            AddField(out, "image size", "the file could not be read");
        }
        AddField(out, "image check", facts.imageCheck.value_or("not made"));
    } else if (facts.imageNotFound) {
        AddField(out, "image", *facts.imageNotFound + " not found");
        std::string folders;
        for (const std::string& folder : facts.foldersSearched)
            folders += (folders.empty() ? "" : ", ") + folder;
        AddField(out, "searched in", folders.empty() ? "no folder" : folders);
    } else {
        AddField(out, "image", "none");
    }
    const std::uint8_t phase = facts.phase.value_or(kPhaseIdle);
    // A stop closes the port under the run, which then ends as a failed one: say why.
    const bool stopped = !facts.stopCause.empty() && phase == kPhaseFailed;
    AddField(out, "FlashPhase",
             std::to_string(phase) + " (" + PhaseName(phase) +
                 (stopped ? ": the job was stopped, the port closed under it" : "") + ")");
    if (facts.writtenBlocks && facts.totalBlocks) {
        AddField(
            out, "blocks written",
            std::to_string(*facts.writtenBlocks) + " of " + std::to_string(*facts.totalBlocks));
    }
    AddField(out, "resume point", facts.resumeBlock ? std::to_string(*facts.resumeBlock) : "none");
    std::string sums = facts.toolSum ? "tool " + Hex4(*facts.toolSum) : "not exchanged";
    if (!facts.deviceSums.empty()) {
        sums += ", device";
        for (unsigned sum : facts.deviceSums) {
            sums += ' ';
            sums += Hex4(sum);
        }
    }
    AddField(out, "checksum", sums);
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f s", static_cast<double>(facts.endNs) / 1e9);
    AddField(out, "duration", duration);
    std::string wire = std::to_string(counts.commands) + " commands, " +
                       std::to_string(counts.pieces) + " pieces received";
    if (counts.floods > 0) wire += ", " + std::to_string(counts.floods) + " floods cut";
    if (counts.lost > 0)
        wire += ", " + std::to_string(counts.lost) + " events lost (the disk was too slow)";
    AddField(out, "wire", wire);
    if (counts.roundTrips > 0) {
        char trips[160];
        std::snprintf(trips, sizeof trips,
                      "%.3f ms mean, %.3f to %.3f ms, over %llu commands (a command out to the "
                      "first bytes back)",
                      static_cast<double>(counts.roundTripSumNs) / 1e6 /
                          static_cast<double>(counts.roundTrips),
                      static_cast<double>(counts.roundTripMinNs) / 1e6,
                      static_cast<double>(counts.roundTripMaxNs) / 1e6,
                      static_cast<unsigned long long>(counts.roundTrips));
        AddField(out, "round trip", trips);
    }

    // The sums seen tell the verification when nobody said.
    UpdateRecord::Verification verification = facts.verification;
    if (verification == Verification::NotKnown && facts.toolSum) {
        const bool matched = std::find(facts.deviceSums.begin(), facts.deviceSums.end(),
                                       *facts.toolSum) != facts.deviceSums.end();
        verification = matched                    ? Verification::Confirmed
                       : facts.deviceSums.empty() ? Verification::NotChecked
                                                  : Verification::Failed;
    }
    std::string outcome = facts.outcome.value_or(unknown);
    if (!facts.stopCause.empty()) outcome += " (" + facts.stopCause + ")";
    AddField(out, "outcome", outcome + ", verification " + VerificationName(verification));
    return out;
}

}  // namespace pellorin

// The update record's gathering side: the job's facts and its events, taken into memory under a
// short lock by the worker and the reply channel's hooks; the writer thread
// (UpdateRecordWriter.cpp) turns them into the file.
#include "console/UpdateRecord.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace pellorin {
namespace {

// A writer that cannot keep up (a stalled disk) must not make the job's memory grow without end.
constexpr std::size_t kMaxPendingBytes = 32 * 1024 * 1024;

}  // namespace

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

void UpdateRecord::SetImageReader(ImageFactsReader reader) {
    std::lock_guard lock(m_mutex);
    m_imageReader = std::move(reader);
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
        if (!m_active.load() || m_jobFolder.empty() || !m_imageReader) return;
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

}  // namespace pellorin

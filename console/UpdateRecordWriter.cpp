// The update record's writer thread and its file: made when the job starts in the records
// folder, appended a few times a second, synced and closed when the job ends.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "console/UpdateRecord.h"
#include "console/WallTime.h"
#include "platform/Trace.h"

namespace pellorin {
namespace {

// What has gathered is appended this often, so that a record cut short by a hang-up or a crash
// holds what happened up to a moment before; the writer also wakes early when kFlushBytes have
// gathered. Formatting a quarter second's events takes microseconds and runs on the writer's
// thread, so the blocks do not wait for it.
constexpr std::chrono::milliseconds kAppendEvery{250};
constexpr const char* kRecordSuffix = ".txt";

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

}  // namespace

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
            const ImageFactsReader reader = m_imageReader;
            lock.unlock();
            ImageFileFacts facts = reader(path, stopRequested);
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

}  // namespace pellorin

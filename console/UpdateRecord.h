// The update record: one readable text file per job for support, with the tool's version, the
// host, the job, the port, every log line and every byte on the wire with its time, the image's
// digest and the outcome. Toolkit-free; the device link keeps one and every front end shares it.
//
// Threads: the job's worker calls Begin, the setters and Finish; the reply channel's hooks come
// from the worker (commands) and from the window thread (received bytes). Those hooks only copy
// the bytes and a time stamp into memory under a short lock. A writer thread of the record's own
// formats and writes them at the end of the job (and in between each time 4 MiB have gathered),
// so no block ever waits for the disk or for the formatting. A record that cannot be written
// (read-only home, disk full) costs one trace line and nothing else: the job goes on as if records
// were off.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/FlashCounters.h"
#include "console/WireObserver.h"

namespace pellorin {

// The folder records go to: $XDG_STATE_HOME/pellorin/records, by default
// ~/.local/state/pellorin/records.
[[nodiscard]] std::string DefaultRecordsFolder();

// Bytes as a record shows them: printable ASCII as it is, a backslash doubled, CR, LF and TAB as
// \r, \n and \t, every other byte as \xHH.
[[nodiscard]] std::string EscapeWireBytes(const char* bytes, std::size_t count);

// What the record says about an image file, read in one pass.
struct ImageFileFacts {
    bool readable = false;
    std::uint64_t size = 0;
    std::string sha256;
    std::uint64_t lines = 0;        // as the image reader counts them
    std::uint64_t dataRecords = 0;  // lines of record type 00
};
[[nodiscard]] ImageFileFacts ReadImageFileFacts(const std::string& path);

class UpdateRecord : public WireObserver {
  public:
    static constexpr std::size_t kKeptRecords = 100;
    // Bytes received since the last command beyond this many are only counted: a flood.
    static constexpr std::size_t kFloodShown = 512;

    UpdateRecord();
    ~UpdateRecord() override;
    UpdateRecord(const UpdateRecord&) = delete;
    UpdateRecord& operator=(const UpdateRecord&) = delete;

    // The folder the next jobs write to; "" turns records off. Between jobs, any thread.
    void SetFolder(const std::string& folder);
    [[nodiscard]] std::string Folder() const;
    // The path of the record the last finished job wrote; "" when it wrote none. Any thread.
    [[nodiscard]] std::string LastPath() const;

    // Worker: a job starts. `jobMode` is its JobMode value.
    void Begin(int jobMode, const std::string& portName);
    // Worker: ends the job's record, writes what is left and returns its path ("" when records
    // are off or the record could not be written).
    std::string Finish();

    // Facts of the running job, each optional (worker). A fact not given shows as "not known".
    void SetLineSpeed(unsigned baud);  // the rate of the traffic that follows
    void SetSpeedAsked(const std::string& text);
    void SetSpeedInForce(unsigned baud);  // also the line speed from now on
    void SetPortDevice(const std::string& devicePath);
    void SetAdapterDescription(const std::string& text);
    // The image about to be used; its size, digest and counts are read by the writer thread.
    void SetImage(const std::string& path);
    void SetImageCheck(const std::string& result);
    void SetFlashPhase(std::uint8_t phase);
    void SetResumeBlock(std::int64_t block);
    void SetToolChecksum(unsigned sum);
    void AddDeviceChecksum(unsigned sum);
    // Where the blocks written and the image's block count are read at the end of the job.
    void SetBlockCounters(const FlashCounters* counters);

    // What the operator was shown.
    void AddLogLine(const std::string& line);
    void AddMessageBox(const std::string& text);

    // WireObserver
    void OnCommandSent(const char* bytes, std::size_t count) override;
    void OnSendFailed() override;
    void OnBytesReceived(const char* bytes, std::size_t count) override;

  private:
    enum class Kind : std::uint8_t { Command, SendFailed, Received, Flood, Log, Box };
    struct Facts {
        std::optional<std::string> speedAsked;
        std::optional<unsigned> speedInForce;
        std::optional<std::string> portDevice;
        std::optional<std::string> adapter;
        std::optional<std::string> imagePath;
        std::optional<ImageFileFacts> image;
        std::optional<std::string> imageCheck;
        std::optional<std::uint8_t> phase;
        std::optional<std::int64_t> resumeBlock;
        std::optional<unsigned> toolSum;
        std::vector<unsigned> deviceSums;
        std::optional<std::uint32_t> writtenBlocks;
        std::optional<std::uint32_t> totalBlocks;
        std::int64_t endNs = 0;
    };
    struct Counts {
        std::uint64_t commands = 0;
        std::uint64_t pieces = 0;
        std::uint64_t floods = 0;
        std::uint64_t lost = 0;  // events dropped because the writer could not keep up
        // Round trips, from a command written to the first bytes received after it: on a remote
        // port that is the network's and the server's share of each block, beside the line's.
        std::int64_t commandNs = -1;  // the command still waiting for its first bytes
        std::uint64_t roundTrips = 0;
        std::int64_t roundTripSumNs = 0, roundTripMinNs = 0, roundTripMaxNs = 0;
    };

    // Under m_mutex: appends one event to the pending bytes.
    void AddEventLocked(Kind kind, const char* bytes, std::size_t count, std::uint64_t a = 0,
                        std::uint64_t b = 0, std::int64_t ns = -1);
    void CloseFloodLocked();
    [[nodiscard]] std::int64_t NowNs() const;
    void WriterLoop();
    // Writer thread: creates the file on first use; false once the record has failed.
    bool EnsureFile();
    void WriteText(const std::string& text);
    void Fail(const std::string& what);
    [[nodiscard]] std::string FormatEvents(const std::string& pending) const;
    [[nodiscard]] std::string FormatHeader() const;
    [[nodiscard]] std::string FormatSummary(const Facts& facts, const Counts& counts) const;
    void PruneOldRecords() const;

    mutable std::mutex m_mutex;  // guards everything below but the writer-only members
    std::condition_variable m_wake;
    std::atomic<bool> m_active{false};  // a job is being recorded
    std::string m_folder;
    std::string m_lastPath;
    std::string m_pending;
    bool m_finishing = false;
    bool m_failed = false;
    std::string m_imageToRead;
    Facts m_facts;
    Counts m_counts;
    const FlashCounters* m_counters = nullptr;
    unsigned m_lineSpeed = 0;
    std::uint64_t m_rxSinceCommand = 0;
    std::uint64_t m_floodCut = 0;
    std::int64_t m_floodLastNs = 0;

    // Fixed for the job by Begin.
    int m_jobMode = 0;
    std::string m_portName;
    std::string m_jobFolder;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::system_clock::time_point m_startWall;

    // Writer thread only.
    std::thread m_writer;
    std::FILE* m_file = nullptr;
    std::string m_path;
};

}  // namespace pellorin

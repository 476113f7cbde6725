// The update record: one readable text file per job for support, with the tool's version, the
// host, the job, the port, every log line and every byte on the wire with its time, the image's
// digest and, last, the outcome. Toolkit-free; the device link keeps one and every front end
// shares it.
//
// The file is made when the job starts and grows as the job runs, so a hang-up, a kill or a
// crash leaves what happened up to a fraction of a second before; a finished record ends with
// its outcome line, and one without it was cut short. Every text in it (log lines, messages,
// paths, the device's bytes) has its control characters escaped, so nothing it quotes can make a
// line of its own.
//
// Threads: the job's worker calls Begin, the setters and Finish; the reply channel's hooks come
// from the worker (commands) and from the window thread (received bytes). Those hooks only copy
// the bytes and a time stamp into memory under a short lock. A writer thread of the record's own
// formats and appends them a few times a second, so no block ever waits for the disk or for the
// formatting. A record that cannot be written (read-only home, disk full, a records folder that
// is a link or someone else's) costs one trace line and nothing else: the job goes on as if
// records were off.
//
// UpdateRecord.cpp gathers the facts and events, UpdateRecordWriter.cpp is the writer thread and
// the file, UpdateRecordFormat.cpp how the record reads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/FlashCounters.h"
#include "console/RecordsFolder.h"
#include "console/WireObserver.h"

namespace pellorin {

// What the record says about an image file, read in one pass.
struct ImageFileFacts {
    bool readable = false;
    std::uint64_t size = 0;
    std::string sha256;
    std::uint64_t lines = 0;        // as the image reader counts them
    std::uint64_t dataRecords = 0;  // lines that are records of type 00
    bool stopped = false;           // the reading ended on a stop request
};
// Reads the facts of the image at `path`; `stopRequested` ends the reading early.
using ImageFactsReader = std::function<ImageFileFacts(const std::string& path,
                                                      const std::function<bool()>& stopRequested)>;

class UpdateRecord : public WireObserver {
  public:
    // Whether the device confirmed the image by its sum.
    enum class Verification {
        NotKnown,    // nobody said: the record tells it from the sums it saw
        Confirmed,   // the device sent a matching sum
        NotChecked,  // the device sent no sum (or none was asked)
        Failed,      // the device's sum differed, or it never answered
    };
    static constexpr std::size_t kKeptRecords = 100;
    // Bytes received since the last command beyond this many are only counted: a flood.
    static constexpr std::size_t kFloodShown = 512;
    // The head of the event lines' columns, above them in the record and in a live copy of the
    // wire.
    static constexpr const char* kEventColumns =
        "        time ms  wall time     what line    bytes or text\n";

    UpdateRecord();
    ~UpdateRecord() override;
    UpdateRecord(const UpdateRecord&) = delete;
    UpdateRecord& operator=(const UpdateRecord&) = delete;

    // The folder the next jobs write to; "" turns records off. Between jobs, any thread.
    void SetFolder(const std::string& folder);
    [[nodiscard]] std::string Folder() const;
    // The path of the record the last finished job wrote; "" when it wrote none. Any thread.
    [[nodiscard]] std::string LastPath() const;
    // A live copy of the wire (a trace): the commands and replies of every later job, as the
    // record shows them, are handed to `sink` on the record's own thread a moment after they
    // happen, also when records are off or the record cannot be written. Between jobs; an empty
    // function for none.
    void SetWireCopy(std::function<void(const std::string& lines)> sink);

    // Worker: a job starts; its record file is made now. `jobMode` is its JobMode value.
    void Begin(int jobMode, const std::string& portName);
    // Worker: ends the job's record, writes what is left with the outcome line, has it on the
    // disk and returns its path ("" when records are off or the record could not be written).
    std::string Finish();
    // Asked while the image's digest is read (any thread); true ends that reading, so that a
    // stopped job does not wait for it. Set once, before the first job.
    void SetStopCheck(std::function<bool()> stopRequested);
    // What reads the image's facts on the writer thread (the flash engine gives its
    // ReadImageFileFacts); without one the record names the image but does not read it. Set once,
    // before the first job.
    void SetImageReader(ImageFactsReader reader);

    // Facts of the running job, each optional (worker). A fact not given shows as "not known".
    void SetLineSpeed(unsigned baud);  // the rate of the traffic that follows
    void SetSpeedAsked(const std::string& text);
    void SetSpeedInForce(unsigned baud);  // also the line speed from now on
    // Whether the device acknowledged the speed command; not given when none was sent.
    void SetSpeedConfirmed(bool confirmed);
    void SetPortDevice(const std::string& devicePath);
    void SetAdapterDescription(const std::string& text);
    // The image about to be used; its size, digest and counts are read by the writer thread.
    void SetImage(const std::string& path);
    // The image was not found: its file name and the folders searched, in the order searched.
    void SetImageNotFound(const std::string& fileName, const std::vector<std::string>& folders);
    void SetImageCheck(const std::string& result);
    void SetFlashPhase(std::uint8_t phase);
    void SetResumeBlock(std::int64_t block);
    void SetToolChecksum(unsigned sum);
    void AddDeviceChecksum(unsigned sum);
    // Where the blocks written and the image's block count are read at the end of the job.
    void SetBlockCounters(const FlashCounters* counters);
    void SetVerification(Verification verification);
    // How the job ended, in the command line's word for its result ("updated", "interrupted",
    // ...), and for a stopped job what stopped it ("stopped by the operator").
    void SetOutcome(const std::string& word, const std::string& cause = {});

    // What the operator was shown.
    void AddLogLine(const std::string& line);
    void AddMessageBox(const std::string& text);
    // What the operator was not shown but support needs (a stop request, the port it closed).
    void AddNote(const std::string& text);

    // WireObserver
    void OnCommandSent(const char* bytes, std::size_t count) override;
    void OnSendFailed() override;
    void OnBytesReceived(const char* bytes, std::size_t count) override;

  private:
    enum class Kind : std::uint8_t { Command, SendFailed, Received, Flood, Log, Box, Note };
    // The header of one event in the pending bytes; `length` bytes of the event follow it.
    struct EventHead {
        std::int64_t ns;
        std::uint64_t a;
        std::uint64_t b;
        std::uint32_t length;
        std::uint32_t baud;
        std::uint8_t kind;
    };
    // The writer appends what has gathered once this much has (and a few times a second); the
    // pending bytes are reserved a little larger, so that the hooks seldom reallocate.
    static constexpr std::size_t kFlushBytes = 1024 * 1024;
    static constexpr std::size_t kBufferBytes = kFlushBytes + kFlushBytes / 4;
    struct Facts {
        std::optional<std::string> speedAsked;
        std::optional<unsigned> speedInForce;
        std::optional<bool> speedConfirmed;
        std::optional<std::string> portDevice;
        std::optional<std::string> adapter;
        std::optional<std::string> imagePath;
        std::optional<std::string> imageResolved;  // where the path leads, when that differs
        std::optional<ImageFileFacts> image;
        std::optional<std::string> imageNotFound;  // the file name looked for
        std::vector<std::string> foldersSearched;
        std::optional<std::string> imageCheck;
        std::optional<std::uint8_t> phase;
        std::optional<std::int64_t> resumeBlock;
        std::optional<unsigned> toolSum;
        std::vector<unsigned> deviceSums;
        Verification verification = Verification::NotKnown;
        std::optional<std::string> outcome;
        std::string stopCause;
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
    void AddTextEventLocked(Kind kind, const std::string& text);
    void WriterLoop();
    // Writer thread: makes the file in the checked folder and writes the header; false (the
    // record failed) when it cannot.
    bool MakeFile();
    void WriteText(const std::string& text);
    // Writer thread: has what was written on the disk and closes the file.
    void CloseFile();
    void Fail(const std::string& what, const std::string& reason);
    // The events as record lines; with `wireOnly`, only those of the wire.
    [[nodiscard]] std::string FormatEvents(const std::string& pending, bool wireOnly = false) const;
    [[nodiscard]] std::string FormatHeader() const;
    [[nodiscard]] std::string FormatSummary(const Facts& facts, const Counts& counts) const;

    mutable std::mutex m_mutex;  // guards everything below but the writer-only members
    std::condition_variable m_wake;
    std::atomic<bool> m_active{false};  // a job is being recorded
    std::string m_folder;
    std::string m_lastPath;
    std::string m_pending;
    bool m_finishing = false;
    bool m_failed = false;
    std::string m_imageToRead;
    std::function<bool()> m_stopRequested;
    ImageFactsReader m_imageReader;
    std::function<void(const std::string&)> m_wireCopy;  // fixed for a job by Begin
    bool m_copyWire = false;
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

    // Writer thread only (m_path also for Finish once the writer has ended).
    std::thread m_writer;
    RecordsFolder m_recordsFolder;
    std::FILE* m_file = nullptr;
    std::string m_path;
};

}  // namespace pellorin

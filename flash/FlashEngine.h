// The flash update engine: block counting, the stage steps shared by both procedures, and the DSP
// and MCU update procedures. Runs on the job's worker thread; reports through the Console contract
// and publishes its numbers in FlashCounters. UpdateEngine (UpdateEngine.h) plugs it into the
// device link.
//
// Its members: the procedures in FlashEngine.cpp, the stage steps in FlashEngineStages.cpp, the
// image's counting and reading in FlashEngineImage.cpp, the check of a resume point in
// FlashEngineResume.cpp and the status job in FlashEngineStatus.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "console/FlashCounters.h"
#include "flash/CheckedImageReader.h"
#include "flash/ImageCheck.h"
#include "link/BootloaderProtocol.h"
#include "link/DeviceLink.h"

namespace pellorin {

class FlashEngine : public UpdateProcedures {
  public:
    FlashEngine(DeviceLink& link, FlashCounters& counters);

    void UpdateDsp() override;
    void UpdateMcu() override;
    void PortLost() override;
    void QueryDevice(int jobMode) override;

    // Sends the entry command (twice at most) and returns the device state from its reply, the
    // block number through resumeBlock; both 0 when no state reply came.
    int QueryDspState(const char* command, std::int64_t* resumeBlock);
    int QueryMcuState(const char* command, std::int64_t* resumeBlock);

    // Announces the image, counts its lines into TotalBlocks, resets the progress numbers and
    // checks every record (with `needsVerifyRecord`, also that the image has its verification
    // record at 7FFE); false (the reason logged) when the image must not be sent.
    bool CountImageBlocks(bool needsVerifyRecord = false);
    // What the last count found.
    [[nodiscard]] const ImageFacts& Facts() const { return m_facts; }

    // How the device's sum compared with the tool's.
    enum class SumCheck {
        Confirmed,   // the device sent a matching sum
        NotChecked,  // the device answered SUM, but never with a sum
        Failed,      // the device sent sums, none of them matching
        NoAnswer,    // the device never answered SUM
    };
    SumCheck CheckSumWithDevice(int expectedSum);
    // True when the sum was confirmed or never sent: a device that answers SUM with other lines
    // is let through; a wrong sum or silence is not.
    bool VerifyChecksum(int expectedSum) {
        const SumCheck result = CheckSumWithDevice(expectedSum);
        return result == SumCheck::Confirmed || result == SumCheck::NotChecked;
    }

    // What a status job found (QueryDevice); read once the job has ended.
    struct DeviceStatus {
        enum class Holds {
            NotAsked,  // no image was named, or the device gave no state
            Image,     // its sum agrees with the whole image
            Head,      // its sum agrees with the blocks it reports: an update resumes after them
            Other,     // its sum is another one: an update erases it and writes the whole image
            Nothing,   // erased or erasing: nothing to compare
            Unknown,   // it sent no sum
        };
        bool Answered = false;  // a state reply came
        // Not told to leave: the device is in the middle of an update (ready for blocks after
        // a resume point), and leaving would end the update it can resume.
        bool StaysInBootloader = false;
        int State = 0;
        std::int64_t ResumeBlock = 0;
        Holds Held = Holds::NotAsked;
        std::uint32_t LinesCompared = 0;  // the image's lines the sums were taken over
        std::uint16_t ImageSum = 0;
        std::optional<std::uint16_t> DeviceSum;  // the last sum the device sent
    };
    [[nodiscard]] const DeviceStatus& Status() const { return m_status; }

    // Stage steps.
    void BeginErase(DWORD pacingPeriodMs);
    void BeginProgram();
    void FinishReflash();
    void ReportConnectFail();

  private:
    using Bootloader = protocol::Bootloader;
    enum class ProgramResult { Completed, Failed };
    enum class ReadResult { Line, End, Failed };
    // What a resume point turned out to be worth.
    enum class ResumeCheck {
        Resume,      // resume after the blocks the device holds
        EraseFirst,  // the device holds something else: erase and write the whole image
        Failed,      // the run ended (the image could not be read again, or a stop)
    };
    // The entry and erase phase: the command buffer, the state reached and the passes made, so
    // that an erase decided after the entry goes on with the passes left.
    struct EntryPhase {
        char command[16] = {};
        int state = 0;
        int passes = 0;
        bool eraseStarted = false;  // the device acknowledged an erase in this phase
    };

    [[nodiscard]] EntryPhase FirstEntry(const Bootloader& device) const;
    // One pass of state 0: the entry command, then the second form if that got no answer.
    void QueryStatePass(const Bootloader& device, EntryPhase& entry, std::int64_t* resumeBlock);
    // Runs passes until the device is ready for blocks (state 3 or more) or the passes are used
    // up; returns the state reached.
    int RunEntryPasses(const Bootloader& device, EntryPhase& entry, std::int64_t* resumeBlock);
    // Before a resume: does the device hold the blocks it names, of this image, by its sum?
    ResumeCheck CheckResumePoint(const Bootloader& device, std::int64_t resumeBlock);
    // The sum the device is asked for over the image's first `lines` lines; false when the run
    // ended on the way (reported).
    bool SumOfFirstLines(const Bootloader& device, std::uint32_t lines, unsigned* sum);
    // The next line of the image opened for this run; a changed image ends the run (reported).
    ReadResult ReadImageLine(std::string& line);
    // Counts and checks the image, brings the device into its programming state and streams
    // every block; false when the run ended on the way (already reported).
    bool ProgramImage(const Bootloader& device, unsigned* checksum);
    // Streams the image block by block; `checksum` receives the running sum.
    ProgramResult ProgramBlocks(const Bootloader& device, std::int64_t resumeBlock,
                                unsigned* checksum);
    void QueryStatus(const Bootloader& device);
    // The image failed its check: the device is only told to leave its bootloader, once, and
    // keeps the firmware it has.
    void RefuseImage();
    // Logs the outcome of a sum check that the run goes on after, and keeps it as the job's
    // verification; false when it failed.
    bool ReportSumCheck(SumCheck result);
    void FailVerification();
    std::string ImageName() const;
    void PublishWrittenBlock(std::uint32_t block);
    // The run's phase, for the window's clock and for the update record alike.
    void SetPhase(std::uint8_t phase);
    // Sends a closing command until its reply; the outcome is not needed by the caller.
    void SendClosing(const protocol::Exchange& exchange);
    // The entry command's state query of the device's kind.
    int QueryState(const Bootloader& device, const char* command, std::int64_t* resumeBlock);
    // What one line (with its CR) adds to the device's sum: the DSP keeps its verification record
    // out of it, the MCU counts every data record.
    static unsigned SumOfLine(const Bootloader& device, const std::string& line);
    void SetReplyTimeout(protocol::Milliseconds timeout) {
        m_channel.ReplyTimeout = static_cast<int>(timeout.count());
    }
    void Fail(const std::string& line, JobOutcome outcome);
    void Log(const std::string& line);
    // Ends early on a stop request or a lost link.
    bool Pause(protocol::Milliseconds time) {
        return m_channel.Pause(static_cast<DWORD>(time.count()));
    }

    DeviceLink& m_link;
    ReplyChannel& m_channel;
    Console& m_console;
    FlashCounters& m_counters;
    ImageFacts m_facts;
    CheckedImageReader m_image;
    DeviceStatus m_status;
    std::optional<std::uint16_t> m_lastDeviceSum;  // of the last sum exchange
    // The device's sum confirmed that it holds the whole image (its resume block is at or past
    // the image's end): no block is sent, and only a confirmed sum may end the run in success.
    bool m_resumePastEnd = false;
};

}  // namespace pellorin

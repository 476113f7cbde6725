// The flash update engine: block counting, the stage steps shared by both procedures, and the DSP
// and MCU update procedures. Runs on the job's worker thread; reports through the Console contract
// and publishes its numbers in FlashCounters.
//
// UpdateEngine is the whole engine a front end owns: the device link (port, reply channel, job
// runner) with the flash procedures plugged into it. The front end constructs it with itself as
// console and window object, and calls Link's StartJob, OnSerialMessage, ClosePort and Shutdown
// on its own thread.
#pragma once

#include <cstdint>
#include <string>

#include "console/FlashCounters.h"
#include "flash/CheckedImageReader.h"
#include "flash/ImageCheck.h"
#include "link/DeviceLink.h"
#include "link/JobControl.h"

namespace pellorin {

class FlashEngine : public UpdateProcedures {
  public:
    FlashEngine(DeviceLink& link, FlashCounters& counters);

    void UpdateDsp() override;
    void UpdateMcu() override;
    void PortLost() override;

    // Sends the entry command (twice at most) and returns the device state from its reply, the
    // block number through resumeBlock; both 0 when no state reply came.
    int QueryDspState(const char* command, std::int64_t* resumeBlock);
    int QueryMcuState(const char* command, std::int64_t* resumeBlock);

    // Announces the image, counts its lines into TotalBlocks, resets the progress numbers and
    // checks every record; false (the reason logged) when the image must not be sent.
    bool CountImageBlocks();
    // What the last count found.
    [[nodiscard]] const ImageFacts& Facts() const { return m_facts; }

    // How the device's sum compared with the tool's.
    enum class SumCheck {
        Confirmed,   // the device sent a matching sum
        NotChecked,  // the device answered SUM, but never with a sum
        Failed,      // a wrong sum only, or no answer at all
    };
    SumCheck CheckSumWithDevice(int expectedSum);
    // True unless the sum Failed: a device that answers SUM with other lines is let through.
    bool VerifyChecksum(int expectedSum) {
        return CheckSumWithDevice(expectedSum) != SumCheck::Failed;
    }

    // Stage steps.
    void BeginErase(DWORD pacingPeriodMs);
    void BeginProgram();
    void FinishReflash();
    void ReportConnectFail();

    struct DeviceProfile;

  private:
    enum class ProgramResult { Completed, Failed };

    // The entry and erase phase; returns the state reached (3 or more: ready for blocks).
    int EnterProgrammingState(const DeviceProfile& device, std::int64_t* resumeBlock);
    // Counts and checks the image, brings the device into its programming state and streams
    // every block; false when the run ended on the way (already reported).
    bool ProgramImage(const DeviceProfile& device, unsigned* checksum);
    // Streams the image block by block; `checksum` receives the running sum.
    ProgramResult ProgramBlocks(const DeviceProfile& device, std::int64_t resumeBlock,
                                unsigned* checksum);
    // The image failed its check: the device is only told to leave its bootloader, once, and
    // keeps the firmware it has.
    void RefuseImage();
    // Logs the outcome of a sum check that the run goes on after; false when it failed.
    bool ReportSumCheck(SumCheck result);
    void FailVerification();
    std::string ImageName() const;
    void PublishWrittenBlock(std::uint32_t block);
    // The run's phase, for the window's clock and for the update record alike.
    void SetPhase(std::uint8_t phase);
    // Sends a closing command up to three times until the expected reply; the outcome is not
    // needed by the caller.
    void SendUpToThreeTimes(const char* command, const char* expected);
    void Fail(const std::string& line, JobOutcome outcome);
    void Log(const std::string& line);
    bool Pause(DWORD ms) { return m_channel.Pause(ms); }  // ends early on stop or lost link

    DeviceLink& m_link;
    ReplyChannel& m_channel;
    Console& m_console;
    FlashCounters& m_counters;
    ImageFacts m_facts;
    CheckedImageReader m_image;
    // The device named a resume block at or past the image's end: only a confirmed sum may end
    // this run in success.
    bool m_resumePastEnd = false;
};

class UpdateEngine : public JobControl {
  public:
    UpdateEngine(Console& console, platform::WindowObject& window, FlashCounters& counters)
        : Link(console, window), Flash(Link, counters) {
        Link.SetProcedures(&Flash);
        Link.Record.SetBlockCounters(&counters);
    }
    ~UpdateEngine() override { Link.Shutdown(); }  // before Flash goes: the worker may be inside it
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // JobControl, for the windows' job buttons.
    bool StartJob(int jobMode, bool negotiateBaud, const std::string& portName,
                  const std::string& portIdentity) override {
        return Link.StartJob(jobMode, negotiateBaud, portName, portIdentity);
    }
    [[nodiscard]] bool JobRunning() const override { return Link.JobRunning(); }
    bool WaitForJob(unsigned timeoutMs) override { return Link.WaitForJob(timeoutMs); }
    void ClosePort() override { Link.ClosePort(); }
    void CountImageBlocks() override { Flash.CountImageBlocks(); }

    DeviceLink Link;
    FlashEngine Flash;
};

}  // namespace pellorin

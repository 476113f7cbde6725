// The device link: the window's one serial port, the reply channel over it, the port opening with
// the speed negotiation, and the job runner that carries one job from start to end on its own
// worker thread.
//
// Threads: StartJob, OnSerialMessage, ClosePort (Exit) and Shutdown run on the window thread; the
// job body (UpdateWorker: OpenPort, RunJob, ClosePort) runs on the worker. Only one job runs at a
// time. Shutdown makes a running worker unwind at once and waits for it, so nothing is used after
// the window is gone.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SerialLib/Serial/DeviceSerial.h"
#include "console/Console.h"
#include "console/UpdateRecord.h"
#include "link/ConnectProgress.h"
#include "link/JobOutcome.h"
#include "link/RecordingConsole.h"
#include "link/ReplyChannel.h"
#include "link/UpdateProcedures.h"
#include "platform/Messages.h"
#include "platform/StopSignal.h"

namespace pellorin {

class DeviceLink {
  public:
    DeviceLink(Console& console, platform::WindowObject& window);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    void SetProcedures(UpdateProcedures* procedures) { m_procedures = procedures; }

    // Window thread. Starts the worker for a job with the settings the button chose; false (and
    // nothing started) while another job runs or after Shutdown.
    // portIdentity is the identity of the listed port (PortCatalog.h) that the operator chose;
    // empty: the one bound to the port's number now.
    bool StartJob(int jobMode, bool negotiateBaud, const std::string& portName,
                  const std::string& portIdentity = {});
    [[nodiscard]] bool JobRunning() const { return m_running.load(); }
    // Waits up to timeoutMs for a running job to end; true when none runs.
    bool WaitForJob(DWORD timeoutMs);
    // The window is closing: the worker stops at its next step and touches neither the window
    // nor the port again; the port is closed; returns once the worker has ended.
    void Shutdown();
    // What a stop request means, for the record of a job it stops: "stopped by the operator"
    // ("Exit", Esc, the close box) unless the front end says otherwise before Shutdown.
    void SetStopCause(const std::string& cause);
    [[nodiscard]] std::string StopCause() const;
    long OnSerialMessage(WPARAM wParam, LPARAM lParam) {
        return Channel.OnSerialMessage(wParam, lParam);
    }

    // The job's steps (worker thread; public for the tests that drive them one by one).
    void OpenPort(bool negotiateBaud);
    void RunJob();
    bool FindImage(const std::string& fileName);
    void ClosePort();
    static unsigned UpdateWorker(DeviceLink* link);

    // Job settings, written by the window thread before the worker starts.
    std::atomic<int> JobMode{kJobNone};
    bool NegotiateBaud = false;
    std::string PortName;
    std::string PortIdentity;
    // Set by the worker: the target unit (always 0) and the full path of the image found.
    int DeviceIndex = 0;
    std::string ImagePath;
    // Set by FindImage: the folders it looked in for the image, in the order it looked.
    std::vector<std::string> ImageFoldersSearched;
    // The program clock when the worker began this job.
    DWORD JobStartTime = 0;
    // Where FindImage looks: the executable's own path unless a test sets another.
    std::string ModulePath;
    // When set, the image file itself (the command line names it): FindImage takes it instead of
    // looking beside the executable.
    std::string ExplicitImagePath;
    // How the last job ended and whether the device confirmed its sum; reset when a job starts.
    std::atomic<JobOutcome> Outcome{JobOutcome::None};
    std::atomic<Verification> Verified{Verification::NotChecked};
    // Where the job stands while it connects, and whether the device confirmed the speed.
    ConnectProgress Connecting;
    // Set before a job starts, like the image path. FullUpdate: erase and write the whole image
    // even when the device names a block to resume after. QueryOnly: only ask the device for its
    // state (and, with an image, whether it holds it), then leave the bootloader.
    bool FullUpdate = false;
    bool QueryOnly = false;
    // The folder the operator chose for the images, searched when an image is not beside the
    // executable; "" for none. Any thread; a job reads it when it looks for its image.
    void SetImageFolder(const std::string& folder);
    [[nodiscard]] std::string ImageFolder() const;
    // The folders a job looks in for its image, in the order it looks: the executable's own,
    // then the one the operator chose, if any. Any thread.
    [[nodiscard]] std::vector<std::string> ImageSearchFolders() const;

    // Every job's update record. Front ends set its folder (or "" for no records) between jobs;
    // Record.LastPath() is the file the last job wrote, once WaitForJob has seen it end.
    UpdateRecord Record;

    CDeviceSerial Port;
    platform::StopSignal Stop;
    ReplyChannel Channel{Port, Stop};
    // The front end's console; what the operator is shown also goes into the record.
    Console& TheConsole;

  private:
    void Log(const std::string& line);
    // The executable's folder with its closing separator (ModulePath's when a test sets it).
    [[nodiscard]] std::string ExecutableFolder() const;
    // Closes the port unless it is closed already; true when this call closed it.
    bool ClosePortOnce();
    // The port could not be set up: closed, reported, and a failed run when the line went away.
    void ReportSetupFail();
    void BeginRecord();
    // The record's outcome line, from the job's outcome and whether it was stopped.
    void RecordOutcome();

    platform::WindowObject& m_window;
    UpdateProcedures* m_procedures = nullptr;
    std::thread m_worker;
    std::mutex m_closeMutex;
    std::atomic<bool> m_running{false};
    platform::Event m_jobEnded{true};
    RecordingConsole m_reporting;
    mutable std::mutex m_imageFolderMutex;
    std::string m_imageFolder;
    std::string m_stopCause = "stopped by the operator";  // under m_imageFolderMutex
};

}  // namespace pellorin

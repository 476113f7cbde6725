// DeviceLink: the job runner (one worker per job, from the port opening to "Com was closed"),
// the image lookup and the job's record. Opening the port is in DeviceLinkOpenPort.cpp.
#include "link/DeviceLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/RemotePortName.h"
#include "link/BootloaderProtocol.h"
#include "link/LineEstimate.h"
#include "link/LinkSpeeds.h"
#include "platform/Clock.h"
#include "platform/ExecutablePath.h"

namespace pellorin {
namespace {

constexpr std::size_t kMaxPath = 260;  // the path buffer, with its terminating zero
// What ends a folder in a path: Windows takes both slashes, Linux only its own; the system's own
// first.
#ifdef _WIN32
constexpr const char* kPathSeparators = "\\/";
#else
constexpr const char* kPathSeparators = "/";
#endif

// The image a job of `mode` writes; nullptr for a mode that writes none.
const char* ImageFileName(int mode) {
    if (mode == kJobMcuUpdate) return "mcu.hex";
    if (mode == kJobDspUpdate) return "dsp.hex";
    return nullptr;
}

}  // namespace

DeviceLink::DeviceLink(Console& console, platform::WindowObject& window)
    : TheConsole(m_reporting), m_window(window), m_reporting(console, Record) {
    Channel.SetWireObserver(&Record);
    Channel.OnLinkLost = [this] { Log(PortName + " was disconnected!"); };
    Record.SetStopCheck([this] { return Stop.Requested(); });
}

DeviceLink::~DeviceLink() { Shutdown(); }

void DeviceLink::Log(const std::string& line) {
    if (!Stop.Requested()) TheConsole.InsertLogLine(line);
}

bool DeviceLink::StartJob(int jobMode, bool negotiateBaud, const std::string& portName,
                          const std::string& portIdentity) {
    if (m_running.load() || Stop.Requested()) return false;
    if (m_worker.joinable()) m_worker.join();  // the previous job has ended; collect its thread
    JobMode.store(jobMode);
    NegotiateBaud = negotiateBaud;
    PortName = portName;
    PortIdentity = portIdentity;
    Outcome.store(JobOutcome::None);
    Verified.store(Verification::NotChecked);
    m_running.store(true);
    m_jobEnded.Reset();
    m_worker = std::thread(UpdateWorker, this);
    return true;
}

bool DeviceLink::WaitForJob(DWORD timeoutMs) { return m_jobEnded.Wait(timeoutMs) == WAIT_OBJECT_0; }

void DeviceLink::SetStopCause(const std::string& cause) {
    std::lock_guard lock(m_imageFolderMutex);
    m_stopCause = cause;
}

std::string DeviceLink::StopCause() const {
    std::lock_guard lock(m_imageFolderMutex);
    return m_stopCause;
}

void DeviceLink::Shutdown() {
    Stop.Request();
    Channel.WakeForStop();
    ClosePortOnce();  // a write or wait on the port ends at once
    // Every step of the worker ends promptly on the stop request (its pauses and reply waits,
    // the image check, the calls to the window), so it is always waited for: it runs inside
    // objects that are about to go.
    if (m_worker.joinable()) m_worker.join();
}

bool DeviceLink::ClosePortOnce() {
    // "Exit" and the worker may both close the port at the end of a job: only one of them does.
    std::lock_guard lock(m_closeMutex);
    if (!Port.IsOpen()) return false;
    Port.Close();
    return true;
}

unsigned DeviceLink::UpdateWorker(DeviceLink* link) {
    link->JobStartTime = platform::timeGetTime();
    link->Connecting.Reset();
    link->Connecting.Begin(ConnectStep::Open, 0);
    link->BeginRecord();
    if (!link->Stop.Requested()) link->TheConsole.EnableJobButtons(false);
    link->OpenPort(link->NegotiateBaud);
    if (link->Port.IsOpen()) {
        link->Record.SetSpeedInForce(static_cast<unsigned>(link->Port.GetBaudrate()));
    }
    if (link->Port.IsOpen() && !link->Stop.Requested()) {
        link->DeviceIndex = 0;
        link->Log("Connecting..........");
        link->RunJob();
        // The pause lets the device act on the last command; a device that has gone needs none.
        link->Channel.Pause(static_cast<DWORD>(protocol::kSettleBeforeClose.count()));
        link->ClosePort();
    }
    if (link->Stop.Requested()) {
        // The window closed while the port was being opened: nothing else will close it.
        link->ClosePortOnce();
        // The operator is shown nothing more; the record says why the job ended here.
        link->Record.AddNote(link->StopCause() + ": the port was closed");
    } else {
        link->TheConsole.EnableJobButtons(true);
    }
    link->Connecting.End();
    link->RecordOutcome();
    link->Record.Finish();  // before the job counts as ended, so its path can be read then
    // With the port closed and the record done, the window may ask the operator where the
    // images are; the job ends once the operator has answered.
    if (link->Outcome.load() == JobOutcome::ImageMissing && !link->Stop.Requested()) {
        link->TheConsole.ImageNotFound(ImageFileName(link->JobMode.load()),
                                       link->ImageFoldersSearched);
    }
    link->m_running.store(false);
    link->m_jobEnded.Set();
    return 0;
}

void DeviceLink::RunJob() {
    const int mode = JobMode.load();
    const char* const imageName = ImageFileName(mode);
    if (imageName == nullptr) return;

    // A status job looks at the device with or without an image; only a named one must exist.
    if (QueryOnly && ExplicitImagePath.empty()) {
        ImagePath.clear();
        if (m_procedures != nullptr) m_procedures->QueryDevice(mode);
        return;
    }
    if (FindImage(imageName)) {
        Record.SetImage(ImagePath);
        if (serial::IsRawTcpPortName(PortName)) {
            if (const std::string estimate = ContactSpeedEstimate(ImagePath); !estimate.empty())
                Log(estimate);
        }
        if (m_procedures == nullptr) return;
        if (QueryOnly) {
            m_procedures->QueryDevice(mode);
            return;
        }
        if (mode == kJobMcuUpdate) m_procedures->UpdateMcu();
        if (mode == kJobDspUpdate) m_procedures->UpdateDsp();
        return;
    }
    Outcome.store(JobOutcome::ImageMissing);
    Record.SetImageNotFound(imageName, ImageFoldersSearched);
    Log(std::string(imageName) + " can not found!");
    char reply[kReplyBufferSize] = {};
    (void)Channel.Transact(protocol::kLeave.command, reply);
}

bool DeviceLink::FindImage(const std::string& fileName) {
    ImageFoldersSearched.clear();
    const auto folderOf = [](const std::string& file) {
        const std::size_t slash = file.find_last_of(kPathSeparators);
        return slash == std::string::npos ? std::string(".") : file.substr(0, slash + 1);
    };
    struct stat info {};
    if (!ExplicitImagePath.empty()) {
        ImagePath = ExplicitImagePath;
        ImageFoldersSearched.push_back(folderOf(ImagePath));
        return stat(ImagePath.c_str(), &info) == 0;
    }
    // Beside the executable, then in the folder the operator chose. When neither has the image,
    // ImagePath keeps naming the place beside the executable.
    const std::vector<std::string> folders = ImageSearchFolders();
    ImagePath = folders.front() + fileName;
    for (const std::string& folder : folders) {
        const std::string path = folder + fileName;
        ImageFoldersSearched.push_back(folderOf(path));
        // A path that does not fit the path buffer is treated as a missing image rather than cut.
        if (path.size() <= kMaxPath - 1 && stat(path.c_str(), &info) == 0) {
            ImagePath = path;
            return true;
        }
    }
    return false;
}

std::string DeviceLink::ExecutableFolder() const {
    std::string path = ModulePath.empty() ? platform::ExecutablePath() : ModulePath;
    const std::size_t slash = path.find_last_of(kPathSeparators);
    if (slash != std::string::npos) path.erase(slash + 1);
    return path;
}

std::vector<std::string> DeviceLink::ImageSearchFolders() const {
    std::vector<std::string> folders{ExecutableFolder()};
    std::string chosen = ImageFolder();
    if (chosen.empty()) return folders;
    if (std::string_view(kPathSeparators).find(chosen.back()) == std::string_view::npos)
        chosen += kPathSeparators[0];
    folders.push_back(chosen);
    return folders;
}

void DeviceLink::SetImageFolder(const std::string& folder) {
    std::lock_guard lock(m_imageFolderMutex);
    m_imageFolder = folder;
}

std::string DeviceLink::ImageFolder() const {
    std::lock_guard lock(m_imageFolderMutex);
    return m_imageFolder;
}

void DeviceLink::BeginRecord() {
    Record.Begin(JobMode.load(), PortName);
    Record.SetLineSpeed(kContactBaud);
    // The device behind the port's name: the name's path, and where a link leads.
    const std::string path = ResolvePortName(PortName.c_str());
    if (path.empty()) return;
    std::error_code error;
    const std::string target = std::filesystem::canonical(path, error).string();
    if (!error && path != target) {
        Record.SetPortDevice(path + " -> " + target);
    } else {
        Record.SetPortDevice(path);
    }
}

void DeviceLink::RecordOutcome() {
    const JobOutcome outcome = Outcome.load();
    const bool stopped = Stop.Requested() && outcome != JobOutcome::Updated;
    const int mode = JobMode.load();
    const bool update = mode == kJobDspUpdate || mode == kJobMcuUpdate;
    if (!update && !stopped && outcome == JobOutcome::None) {
        Record.SetOutcome("done");  // Read Version and Rest EEPROM only open and close the port
        return;
    }
    // What the engine decided about the sum; a sum that was never asked for is left to the
    // record, which tells it from the exchanges it saw.
    const Verification verified = Verified.load();
    if (verified == Verification::Confirmed) {
        // A sum confirmed on the way (over the blocks a resume starts after) is not the
        // verification of an image the job did not finish.
        Record.SetVerification(outcome == JobOutcome::Updated
                                   ? UpdateRecord::Verification::Confirmed
                                   : UpdateRecord::Verification::NotChecked);
    } else if (verified == Verification::Failed) {
        Record.SetVerification(UpdateRecord::Verification::Failed);
    }
    Record.SetOutcome(OutcomeWord(outcome, verified, stopped),
                      stopped ? StopCause() : std::string());
}

void DeviceLink::ClosePort() {
    if (ClosePortOnce()) Log("Com was closed");
}

}  // namespace pellorin

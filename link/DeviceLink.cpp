// The job runner: one worker per job, from the port opening to "Com was closed".
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "link/DeviceLink.h"
#include "platform/Clock.h"

namespace pellorin {
namespace {

constexpr DWORD kSettleMs = 1000;   // pause between the end of a job and closing the port
constexpr std::size_t kMaxPath = 260;  // the path buffer, with its terminating zero

std::string ExecutablePath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

DeviceLink::DeviceLink(Console& console, platform::WindowObject& window)
    : TheConsole(console), m_window(window) {
    Channel.OnLinkLost = [this] { Log(PortName + " was disconnected!"); };
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
    m_running.store(true);
    m_jobEnded.Reset();
    m_worker = std::thread(UpdateWorker, this);
    return true;
}

bool DeviceLink::WaitForJob(DWORD timeoutMs) {
    return m_jobEnded.Wait(timeoutMs) == WAIT_OBJECT_0;
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
    if (!link->Stop.Requested()) link->TheConsole.EnableJobButtons(false);
    link->OpenPort(link->NegotiateBaud);
    if (link->Port.IsOpen() && !link->Stop.Requested()) {
        link->DeviceIndex = 0;
        link->Log("Connecting..........");
        link->RunJob();
        // The pause lets the device act on the last command; a device that has gone needs none.
        link->Channel.Pause(kSettleMs);
        link->ClosePort();
    }
    if (link->Stop.Requested()) {
        // The window closed while the port was being opened: nothing else will close it.
        link->ClosePortOnce();
    } else {
        link->TheConsole.EnableJobButtons(true);
    }
    link->m_running.store(false);
    link->m_jobEnded.Set();
    return 0;
}

void DeviceLink::RunJob() {
    const int mode = JobMode.load();
    const char* imageName = nullptr;
    if (mode == kJobMcuUpdate) imageName = "mcu.hex";
    if (mode == kJobDspUpdate) imageName = "dsp.hex";
    if (imageName == nullptr) return;

    if (FindImage(imageName)) {
        if (m_procedures == nullptr) return;
        if (mode == kJobMcuUpdate) m_procedures->UpdateMcu();
        if (mode == kJobDspUpdate) m_procedures->UpdateDsp();
        return;
    }
    Outcome.store(JobOutcome::ImageMissing);
    Log(std::string(imageName) + " can not found!");
    char reply[kReplyBufferSize] = {};
    (void)Channel.Transact("SV\r", reply);
}

bool DeviceLink::FindImage(const std::string& fileName) {
    std::string path = ModulePath.empty() ? ExecutablePath() : ModulePath;
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) path.erase(slash + 1);
    path += fileName;
    ImagePath = ExplicitImagePath.empty() ? path : ExplicitImagePath;
    // A path that does not fit the path buffer is treated as a missing image rather than cut.
    if (ExplicitImagePath.empty() && path.size() > kMaxPath - 1) return false;
    struct stat info {};
    return stat(ImagePath.c_str(), &info) == 0;
}

void DeviceLink::ClosePort() {
    if (ClosePortOnce()) Log("Com was closed");
}

}  // namespace pellorin

// The job runner: one worker per job, from the port opening to "Com was closed".
#include <sys/stat.h>

#include "app/link/DeviceLink.h"
#include "platform/Clock.h"
#include "platform/ExecutablePath.h"

namespace pellorin {
namespace {

constexpr DWORD kSettleMs = 1000;   // pause between the end of a job and closing the port
constexpr std::size_t kMaxPath = 260;  // the path buffer, with its terminating zero
constexpr DWORD kShutdownWaitMs = 5000;

}  // namespace

DeviceLink::DeviceLink(Console& console, platform::WindowObject& window)
    : TheConsole(console), m_window(window) {}

DeviceLink::~DeviceLink() { Shutdown(); }

void DeviceLink::Log(const std::string& line) {
    if (!Stop.Requested()) TheConsole.InsertLogLine(line);
}

bool DeviceLink::StartJob(int jobMode, bool negotiateBaud, const std::string& portName) {
    if (m_running.load() || Stop.Requested()) return false;
    if (m_worker.joinable()) m_worker.join();  // the previous job has ended; collect its thread
    JobMode.store(jobMode);
    NegotiateBaud = negotiateBaud;
    PortName = portName;
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
    if (Port.IsOpen()) Port.Close();
    if (m_worker.joinable()) {
        // Every wait of the worker ends on the stop request, so it ends promptly; the bounded
        // wait only guards against a console that does not honour the stop.
        if (m_jobEnded.Wait(kShutdownWaitMs) == WAIT_OBJECT_0) {
            m_worker.join();
        } else {
            m_worker.detach();
        }
    }
}

unsigned DeviceLink::UpdateWorker(DeviceLink* link) {
    if (!link->Stop.Requested()) link->TheConsole.EnableJobButtons(false);
    link->OpenPort(link->NegotiateBaud);
    if (link->Port.IsOpen() && !link->Stop.Requested()) {
        link->DeviceIndex = 0;
        link->Log("Connecting..........");
        link->RunJob();
        link->Stop.Pause(kSettleMs);
        link->ClosePort();
    }
    if (link->Stop.Requested()) {
        // The window closed while the port was being opened: nothing else will close it.
        if (link->Port.IsOpen()) link->Port.Close();
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
    Log(std::string(imageName) + " can not found!");
    char reply[kReplyBufferSize] = {};
    (void)Channel.Transact("SV\r", reply);
}

bool DeviceLink::FindImage(const std::string& fileName) {
    std::string path = ModulePath.empty() ? platform::ExecutablePath() : ModulePath;
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) path.erase(slash + 1);
    path += fileName;
    ImagePath = path;
    // A path that does not fit the path buffer is treated as a missing image rather than cut.
    if (path.size() > kMaxPath - 1) return false;
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

void DeviceLink::ClosePort() {
    if (!Port.IsOpen()) return;
    Port.Close();
    Log("Com was closed");
}

}  // namespace pellorin

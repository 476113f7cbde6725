// The update engine as the job buttons see it: start a job, wait for its end, and the two
// commands that no control carries. UpdateEngine (flash/UpdateEngine.h) is one; the Windows
// window's engine interface (win32/WindowEngine.h) is another.
//
// Threads: every call is made on the window thread.
#pragma once

#include <string>

namespace pellorin {

class JobControl {
  public:
    virtual ~JobControl() = default;

    // Starts the worker for a job; false (nothing started) while a job runs or after the engine
    // has shut down. `portIdentity` is the adapter the operator chose (PortCatalog.h), "" for
    // none.
    virtual bool StartJob(int jobMode, bool negotiateBaud, const std::string& portName,
                          const std::string& portIdentity) = 0;
    [[nodiscard]] virtual bool JobRunning() const = 0;
    // Waits up to timeoutMs (program ms) for a running job to end; true when none runs.
    virtual bool WaitForJob(unsigned timeoutMs) = 0;
    // What the commands without a control do (kCommandClosePort, kCommandCountImageBlocks):
    // close the port, count the last job's image again.
    virtual void ClosePort() = 0;
    virtual void CountImageBlocks() = 0;
};

}  // namespace pellorin

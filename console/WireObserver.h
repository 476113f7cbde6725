// What the reply channel tells an observer about the wire: each command as it goes out and each
// piece of received bytes as it arrives. The update record is the observer.
//
// Threads: OnCommandSent and OnSendFailed come from the worker, OnBytesReceived from the window
// thread. Both sit on the paths every block takes, so an observer must only take note and
// return (no I/O, no waiting on anything but a short lock).
#pragma once

#include <cstddef>

namespace pellorin {

class WireObserver {
  public:
    virtual ~WireObserver() = default;
    // Just before the bytes are written, so that the reply is never noted before its command.
    virtual void OnCommandSent(const char* bytes, std::size_t count) = 0;
    // The write of the command just noted could not be started.
    virtual void OnSendFailed() = 0;
    // One read's worth of bytes, as it came from the port.
    virtual void OnBytesReceived(const char* bytes, std::size_t count) = 0;
};

}  // namespace pellorin

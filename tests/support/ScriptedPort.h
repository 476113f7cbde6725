// A port for the reply channel's tests: its driver holds scripted bytes (`queue`), which Read
// hands out, and a command's write stays pending until Complete, as when the system signals its
// completion late.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "link/ReplyChannel.h"
#include "platform/Event.h"

namespace testing_support {

class ScriptedPort : public CDeviceSerial {
  public:
    using CDeviceSerial::Read;
    using CDeviceSerial::Write;

    LONG Read(void* pData, size_t iLen, DWORD* pdwRead, LPOVERLAPPED, DWORD) override {
        const std::size_t n = std::min(iLen, queue.size());
        std::memcpy(pData, queue.data(), n);
        queue.erase(0, n);
        if (pdwRead != nullptr) *pdwRead = static_cast<DWORD>(n);
        return ERROR_SUCCESS;
    }
    LONG Write(const void* pData, size_t iLen, DWORD* pdwWritten, LPOVERLAPPED lpOverlapped,
               DWORD) override {
        sent.append(static_cast<const char*>(pData), iLen);
        written.Set();
        if (pdwWritten != nullptr) *pdwWritten = 0;
        lpOverlapped->Internal = STATUS_PENDING;
        m_pending = lpOverlapped;
        m_length = iLen;
        return ERROR_SUCCESS;
    }
    // The system signals the pending write of `channel`'s command complete.
    void Complete(pellorin::ReplyChannel& channel) {
        m_pending->InternalHigh = m_length;
        m_pending->Internal = ERROR_SUCCESS;
        channel.TxDoneEvent.Set();
    }

    std::string queue;  // what the driver holds
    std::string sent;   // every byte written
    platform::Event written;

  private:
    LPOVERLAPPED m_pending = nullptr;
    std::size_t m_length = 0;
};

}  // namespace testing_support

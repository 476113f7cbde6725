// The eventfd descriptors that wake the Linux backend's waits: Signal makes one readable, and it
// stays readable until Drain.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace posixport {

inline void Signal(int eventFd) {
    const std::uint64_t one = 1;
    while (write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

inline void Drain(int eventFd) {
    std::uint64_t value = 0;
    while (read(eventFd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

}  // namespace posixport

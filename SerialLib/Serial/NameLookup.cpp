// The bounded host name lookup.
#include "SerialLib/Serial/NameLookup.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "SerialLib/Serial/RemotePortName.h"

namespace serial {
namespace {

// Shared by the waiting caller and the lookup thread; the last one to let go frees it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = 0;
    addrinfo* addresses = nullptr;
    ~Lookup() {
        if (addresses != nullptr) freeaddrinfo(addresses);
    }
};

}  // namespace

LONG LookUpHost(const std::string& host, const std::string& port,
                std::chrono::steady_clock::time_point deadline, addrinfo*& addresses) {
    addresses = nullptr;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, port] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_protocol = IPPROTO_TCP;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* found = nullptr;
            const int result = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
            std::lock_guard lock(lookup->mutex);
            lookup->result = result;
            lookup->addresses = found;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        return ERROR_SEM_TIMEOUT;
    }
    if (lookup->result != 0 || lookup->addresses == nullptr) return ERROR_BAD_NET_NAME;
    addresses = lookup->addresses;
    lookup->addresses = nullptr;
    return ERROR_SUCCESS;
}

}  // namespace serial

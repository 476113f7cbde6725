// The speed acknowledgement: a reply counts exactly when its first eight bytes are "^D006ACK".
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "link/LinkSpeeds.h"

using namespace pellorin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reply in a buffer of its own length, so a read past it is caught.
    auto reply = std::make_unique<char[]>(size + 1);
    std::copy(data, data + size, reply.get());
    const bool ack = IsSpeedAcknowledgement(reply.get(), static_cast<int>(size));
    const std::string text(reply.get(), size);
    if (ack != (text.rfind("^D006ACK", 0) == 0)) std::abort();
    return 0;
}

// The speed acknowledgement.
#include "link/LinkSpeeds.h"

#include <cstring>

namespace pellorin {

bool IsSpeedAcknowledgement(const char* reply, int length) {
    static constexpr char kSpeedAck[] = "^D006ACK";
    constexpr int kAckLength = sizeof kSpeedAck - 1;
    return length >= kAckLength && std::memcmp(reply, kSpeedAck, kAckLength) == 0;
}

}  // namespace pellorin

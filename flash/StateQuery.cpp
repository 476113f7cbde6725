// Reading the bootloader's state reply: "ST<state>_<block>".
#include <cstdlib>
#include <cstring>

#include "flash/FlashEngine.h"
#include "flash/RecordSum.h"
#include "platform/Trace.h"

namespace pellorin {
namespace {

constexpr int kQueryTries = 2;
constexpr DWORD kQueryPauseMs = 2000;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The number at `position` read as the C library's atoi does, within the reply only: a reply never
// borrows digits from bytes that lie behind its end in the buffer.
long long DecimalAt(const std::string& reply, std::size_t position) {
    return position < reply.size() ? std::atoll(reply.c_str() + position) : 0;
}

// The text after the first line of a reply that holds two lines, "" when it holds one.
std::string SecondLine(const std::string& reply) {
    const std::size_t end = reply.find('\r');
    return end == std::string::npos ? std::string() : reply.substr(end + 1);
}

}  // namespace

int FlashEngine::QueryDspState(const char* command, std::int64_t* resumeBlock) {
    for (int attempt = 0; attempt < kQueryTries && !m_link.Stop.Requested(); ++attempt) {
        char buffer[kReplyBufferSize] = {};
        int length = m_channel.Transact(command, buffer);
        std::string reply(buffer, static_cast<std::size_t>(length));
        if (length > 0 && StartsWith(reply, "YSJ")) {
            // The device may announce itself with a "YSJ" line before its state line. When both
            // came in one batch the state line is already here; otherwise it is still coming.
            reply = SecondLine(reply);
            if (reply.empty()) {
                std::memset(buffer, 0, sizeof buffer);
                length = m_channel.WaitReply(buffer, static_cast<DWORD>(m_channel.ReplyTimeout));
                reply.assign(buffer, static_cast<std::size_t>(length));
            }
        }
        if (!reply.empty() && StartsWith(reply, "ST")) {
            *resumeBlock = DecimalAt(reply, 4);
            return static_cast<int>(DecimalAt(reply, 2));
        }
        Pause(kQueryPauseMs);
    }
    *resumeBlock = 0;
    return 0;
}

int FlashEngine::QueryMcuState(const char* command, std::int64_t* resumeBlock) {
    for (int attempt = 0; attempt < kQueryTries && !m_link.Stop.Requested(); ++attempt) {
        char buffer[kReplyBufferSize] = {};
        const int length = m_channel.Transact(command, buffer);
        const std::string reply(buffer, static_cast<std::size_t>(length));
        if (length > 0 && StartsWith(reply, "ST")) {
            // Four hex digits; a missing or non-hex character counts 35, so a bare "ST3" gives
            // block 152915.
            *resumeBlock = FourHexDigits(reply, 4);
            platform::Trace(reply.c_str());
            return static_cast<int>(DecimalAt(reply, 2));
        }
        Pause(kQueryPauseMs);
    }
    *resumeBlock = 0;
    return 0;
}

}  // namespace pellorin

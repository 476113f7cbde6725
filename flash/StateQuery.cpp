// Reading the bootloader's state reply: "ST<state>_<block>".
#include <cstring>

#include "flash/FlashEngine.h"
#include "flash/ProcedureRules.h"
#include "flash/StateReply.h"
#include "platform/Trace.h"

namespace pellorin {
namespace {

using procedure::kQueryTries;
constexpr DWORD kQueryPauseMs = 2000;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
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
        m_link.Connecting.NextAttempt();
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
        if (const auto parsed = ParseDspStateReply(reply)) {
            *resumeBlock = parsed->resumeBlock;
            return parsed->state;
        }
        Pause(kQueryPauseMs);
    }
    *resumeBlock = 0;
    return 0;
}

int FlashEngine::QueryMcuState(const char* command, std::int64_t* resumeBlock) {
    for (int attempt = 0; attempt < kQueryTries && !m_link.Stop.Requested(); ++attempt) {
        char buffer[kReplyBufferSize] = {};
        m_link.Connecting.NextAttempt();
        const int length = m_channel.Transact(command, buffer);
        const std::string reply(buffer, static_cast<std::size_t>(length));
        if (const auto parsed = ParseMcuStateReply(reply)) {
            platform::Trace(reply.c_str());
            *resumeBlock = parsed->resumeBlock;
            return parsed->state;
        }
        Pause(kQueryPauseMs);
    }
    *resumeBlock = 0;
    return 0;
}

}  // namespace pellorin

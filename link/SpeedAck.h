// The bootloader's answer to a speed command.
#pragma once

namespace pellorin {

// True when the reply (`length` bytes, the carriage return removed) begins with "^D006ACK"; what
// follows is not examined. The digits in it are fixed bytes, never parsed.
[[nodiscard]] bool IsSpeedAcknowledgement(const char* reply, int length);

}  // namespace pellorin

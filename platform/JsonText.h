// A text as a JSON string, for the JSON that pellorin-cli and the simulated inverter write.
#pragma once

#include <string>

namespace platform {

// The text as a quoted JSON string: control bytes as "\r" or "\u0001", and bytes from 0x7F up
// as \u007f..\u00ff (each byte as the code point of the same value), so that every byte stays
// visible and non-UTF-8 input still yields valid JSON.
[[nodiscard]] std::string JsonString(const std::string& text);

}  // namespace platform

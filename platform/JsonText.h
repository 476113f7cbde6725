// A text as a JSON string, for the JSON that pellorin-cli and the simulated inverter write.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The text as a quoted JSON string: control bytes as "\r" or "\u0001", and bytes from 0x7F up
// as \u007f..\u00ff (each byte as the code point of the same value), so that every byte stays
// visible and non-UTF-8 input still yields valid JSON.
[[nodiscard]] std::string JsonString(const std::string& text);

// Reads back a JSON string as JsonString writes them: the short escapes, and \u0000 to \u00ff as
// one byte each. `at` is the index of the opening quote; on success `out` holds the bytes and
// `at` the index after the closing quote. False on anything else.
[[nodiscard]] bool ReadJsonString(const std::string& text, std::size_t& at, std::string& out);

}  // namespace platform

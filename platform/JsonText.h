// JSON text for what pellorin-cli and the simulated inverter write and read, through the JSON
// library: valid UTF-8 passes through, a byte that is not UTF-8 becomes U+FFFD, and every control
// character is escaped, so one value is always one line of valid JSON that cannot move a terminal.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Objects that keep their members' order (ordered_json) came with 3.9.
static_assert(NLOHMANN_JSON_VERSION_MAJOR > 3 ||
                  (NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR >= 9),
              "the JSON library (nlohmann-json3-dev) must be version 3.9 or later");

namespace platform {

// A JSON value whose object members keep the order they were set in: scripts read the fields in
// that order.
using Json = nlohmann::ordered_json;

// `value` as compact JSON on one line, without a line end. Its texts are in the system's encoding
// (platform/SystemText.h) and are written as UTF-8.
[[nodiscard]] std::string JsonText(const Json& value);

// `text` as a quoted JSON string.
[[nodiscard]] std::string JsonString(const std::string& text);

// `value` as printf's "%.*g" shows it with `significantDigits`: the value of that text, a whole
// number as an integer (no ".0"), null when not finite. Keeps the text of a field that was
// written with a stream's default format.
[[nodiscard]] Json JsonNumber(double value, int significantDigits);

// `text` as one JSON value (surrounding white space allowed). False, and `value` null, when it is
// anything else; never throws.
[[nodiscard]] bool ParseJson(const std::string& text, Json& value);

}  // namespace platform

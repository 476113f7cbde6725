// JSON text through the JSON library, with the control characters it leaves alone escaped.
#include "platform/JsonText.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/SystemText.h"

namespace platform {
namespace {

// The library escapes U+0000..U+001F; DEL and the C1 controls (U+0080..U+009F, C2 80..C2 9F in
// UTF-8) it writes as they are. Its output is valid UTF-8, so a C2 byte always starts a character,
// and these bytes only occur inside strings.
std::string EscapeRemainingControls(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        unsigned control = 0x100;
        if (byte == 0x7F) {
            control = byte;
        } else if (byte == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                control = next;
                ++i;
            }
        }
        if (control == 0x100) {
            out += text[i];
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", control);
        out += escaped;
    }
    return out;
}

// `value` with every text (member names too) from the system's encoding to UTF-8.
Json SystemTextsAsUtf8(const Json& value) {
    if (value.is_string()) return SystemTextToUtf8(value.get_ref<const std::string&>());
    if (value.is_array()) {
        Json items = Json::array();
        for (const Json& item : value) items.push_back(SystemTextsAsUtf8(item));
        return items;
    }
    if (value.is_object()) {
        Json members = Json::object();
        for (const auto& [name, member] : value.items())
            members[SystemTextToUtf8(name)] = SystemTextsAsUtf8(member);
        return members;
    }
    return value;
}

std::string Utf8JsonText(const Json& value) {
    return EscapeRemainingControls(
        value.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::replace));
}

}  // namespace

std::string JsonText(const Json& value) {
    return SystemTextIsUtf8() ? Utf8JsonText(value) : Utf8JsonText(SystemTextsAsUtf8(value));
}

std::string JsonString(const std::string& text) { return JsonText(Json(text)); }

Json JsonNumber(double value, int significantDigits) {
    if (!std::isfinite(value)) return nullptr;
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", significantDigits, value);
    const double shown = std::strtod(text, nullptr);
    if (shown == std::trunc(shown) && std::fabs(shown) < 9.0e15) {
        return static_cast<std::int64_t>(shown);
    }
    return shown;
}

bool ParseJson(const std::string& text, Json& value) {
    // Without exceptions the library answers a value it could not parse as "discarded".
    value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!value.is_discarded()) return true;
    value = nullptr;
    return false;
}

}  // namespace platform

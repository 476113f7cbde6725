// How a record shows the texts and bytes it quotes.
#include "console/RecordText.h"

#include <cstdio>

namespace pellorin {
namespace {

// The length of the well-formed UTF-8 sequence at `at` and its character; 0 when there is none.
std::size_t Utf8Sequence(const std::string& text, std::size_t at, char32_t* character) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
        value = (value << 6) | (byte(at + i) & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *character = value;
    return length;
}

// Characters that end a line in some viewers or turn the direction of what follows.
bool TurnsLines(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

void AppendEscapedBytes(std::string& text, const char* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += "\\x";
            text += kDigits[c >> 4];
            text += kDigits[c & 0xF];
        }
    }
}

std::string EscapeWireBytes(const char* bytes, std::size_t count) {
    std::string text;
    text.reserve(count + 8);
    AppendEscapedBytes(text, bytes, count);
    return text;
}

std::string EscapeText(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                AppendEscapedBytes(out, &text[i], 1);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        char32_t character = 0;
        const std::size_t length = Utf8Sequence(text, i, &character);
        if (length == 0) {
            AppendEscapedBytes(out, &text[i], 1);
            ++i;
        } else if (TurnsLines(character)) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(character));
            out += escaped;
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace pellorin

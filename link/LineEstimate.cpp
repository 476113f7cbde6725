// The time an image takes at the contact speed.
#include "link/LineEstimate.h"

#include <cstdio>
#include <fstream>

#include "link/LinkSpeeds.h"

namespace pellorin {
namespace {
constexpr std::uint64_t kExtraBytesPerLine = 7 + 1 - 2 + 9;  // prefix, CR, no CR LF, reply
constexpr std::uint64_t kBitsPerByte = 10;
}  // namespace

std::uint64_t LineSeconds(std::uint64_t bytes, std::uint64_t lines, unsigned baud) {
    if (baud == 0) return 0;
    const std::uint64_t onLine = bytes + lines * kExtraBytesPerLine;
    return (onLine * kBitsPerByte + baud - 1) / baud;
}

std::string ContactSpeedEstimate(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "";
    std::uint64_t bytes = 0, lines = 0;
    char buffer[65536];
    bool lastWasNewline = true;
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        const auto got = static_cast<std::size_t>(file.gcount());
        bytes += got;
        for (std::size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') ++lines;
        }
        lastWasNewline = buffer[got - 1] == '\n';
    }
    if (!lastWasNewline) ++lines;
    const std::uint64_t seconds = LineSeconds(bytes, lines, kContactBaud);
    char text[160];
    std::snprintf(text, sizeof text,
                  "At 2400 baud this image takes about %llu:%02llu:%02llu on the line",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

}  // namespace pellorin

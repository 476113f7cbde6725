// The image file's facts for the update record.
#include "flash/ImageFileFacts.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "console/Sha256.h"
#include "flash/ImageCheck.h"
#include "platform/RegularFile.h"

namespace pellorin {
namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
}  // namespace

ImageFileFacts ReadImageFileFacts(const std::string& path,
                                  const std::function<bool()>& stopRequested) {
    ImageFileFacts facts;
    std::FILE* file = platform::OpenRegularFile(path);
    if (file == nullptr) return facts;
    Sha256 digest;
    std::vector<char> buffer(kReadChunk);
    // The current line: its length, its last character and as much of its head as a record can
    // have (a longer line is no record, whatever its tail).
    std::string line;
    std::uint64_t length = 0;
    char last = 0;
    const auto endLine = [&](bool lineEnd) {
        ++facts.lines;
        if (lineEnd && last == '\r') --length;  // CR LF ends a line as LF does
        if (length <= kMaxRecordLength) {
            line.resize(static_cast<std::size_t>(length));
            const LineCheck check = CheckImageLine(line);
            if (check.Kind == LineKind::Record && check.Type == RecordType::Data)
                ++facts.dataRecords;
        }
        line.clear();
        length = 0;
        last = 0;
    };
    for (;;) {
        if (stopRequested && stopRequested()) {
            std::fclose(file);
            ImageFileFacts stopped;
            stopped.stopped = true;
            return stopped;
        }
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
        if (got == 0) break;
        digest.Update(buffer.data(), got);
        facts.size += got;
        for (std::size_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                endLine(true);
                continue;
            }
            if (line.size() <= kMaxRecordLength) line += c;
            ++length;
            last = c;
        }
    }
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) return ImageFileFacts{};
    if (length > 0) endLine(false);  // a last line without a line end still counts
    facts.sha256 = digest.HexDigest();
    facts.readable = true;
    return facts;
}

}  // namespace pellorin

// Text-mode line reader over stdio, with a large read buffer for streaming big images.
#include "flash/ImageFile.h"

#ifdef _WIN32
// The C runtime's name for reading a byte without taking the stream's lock.
#define getc_unlocked _getc_nolock
#endif

namespace pellorin {
namespace {
constexpr std::size_t kStopCheckBytes = 64 * 1024;
}  // namespace

bool ImageFile::Open(const std::string& path) {
    Close();
    m_stopped = false;
    m_untilStopCheck = kStopCheckBytes;
    m_file = platform::OpenRegularFile(path, &m_refusal);
    if (m_file != nullptr) std::setvbuf(m_file, nullptr, _IOFBF, 64 * 1024);
    return m_file != nullptr;
}

bool ImageFile::ReadString(std::string& line, std::size_t keep) {
    line.clear();
    if (m_file == nullptr || m_stopped) return false;
    bool any = false;
    for (int c = getc_unlocked(m_file); c != EOF; c = getc_unlocked(m_file)) {
        if (--m_untilStopCheck == 0) {
            m_untilStopCheck = kStopCheckBytes;
            if (m_stopRequested && m_stopRequested()) {
                m_stopped = true;
                line.clear();
                return false;
            }
        }
        any = true;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();  // CR LF ends a line too
            return true;
        }
        if (line.size() < keep) line.push_back(static_cast<char>(c));
    }
    return any;  // a last line without a line end still counts
}

void ImageFile::Close() {
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
}

}  // namespace pellorin

// Text-mode line reader over stdio, with a large read buffer for streaming big images.
#include "flash/ImageFile.h"

#include <sys/stat.h>

#ifdef _WIN32
// The C runtime's name for reading a byte without taking the stream's lock.
#define getc_unlocked _getc_nolock
#endif

namespace pellorin {

bool ImageFile::Open(const std::string& path) {
    Close();
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
    m_file = std::fopen(path.c_str(), "rb");
    if (m_file != nullptr) std::setvbuf(m_file, nullptr, _IOFBF, 64 * 1024);
    return m_file != nullptr;
}

bool ImageFile::ReadString(std::string& line, std::size_t keep) {
    line.clear();
    if (m_file == nullptr) return false;
    bool any = false;
    for (int c = getc_unlocked(m_file); c != EOF; c = getc_unlocked(m_file)) {
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

// The one line reader through which a firmware image is read: text mode, so CR LF and LF both end
// a line and the line end is not part of the line; a last line without a line end still counts;
// a final line end adds no empty line; a line of any length is returned whole. One line is held
// at a time, so memory does not grow with the image.
//
// Only a regular file is opened (a folder, a named pipe, a device or a socket is refused without
// waiting on it), and a stop request ends the reading within 64 KiB, however long the line.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "platform/RegularFile.h"

namespace pellorin {

class ImageFile {
  public:
    ImageFile() = default;
    ~ImageFile() { Close(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens the file read-only; false when it cannot be opened or is not a regular file
    // (Refusal() says which).
    [[nodiscard]] bool Open(const std::string& path);
    [[nodiscard]] platform::FileRefusal Refusal() const { return m_refusal; }
    // Asked every 64 KiB read; once it answers true the reading ends: ReadString returns false
    // and Stopped() is true.
    void SetStopCheck(std::function<bool()> stopRequested) {
        m_stopRequested = std::move(stopRequested);
    }
    [[nodiscard]] bool Stopped() const { return m_stopped; }
    // Reads the next line into `line`; false at the end of the file. Of a line longer than
    // `keep` characters only the first `keep` are kept; the rest is read past.
    bool ReadString(std::string& line, std::size_t keep = std::string::npos);
    void Close();
    [[nodiscard]] bool IsOpen() const { return m_file != nullptr; }

  private:
    std::FILE* m_file = nullptr;
    platform::FileRefusal m_refusal = platform::FileRefusal::None;
    std::function<bool()> m_stopRequested;
    bool m_stopped = false;
    std::size_t m_untilStopCheck = 0;
};

}  // namespace pellorin

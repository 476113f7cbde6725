// The one line reader through which a firmware image is read: text mode, so CR LF and LF both end
// a line and the line end is not part of the line; a last line without a line end still counts;
// a final line end adds no empty line; a line of any length is returned whole. One line is held
// at a time, so memory does not grow with the image.
#pragma once

#include <cstdio>
#include <string>

namespace pellorin {

class ImageFile {
  public:
    ImageFile() = default;
    ~ImageFile() { Close(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens the file read-only; false when it cannot be opened (a folder cannot).
    [[nodiscard]] bool Open(const std::string& path);
    // Reads the next line into `line`; false at the end of the file. Of a line longer than
    // `keep` characters only the first `keep` are kept; the rest is read past.
    bool ReadString(std::string& line, std::size_t keep = std::string::npos);
    void Close();
    [[nodiscard]] bool IsOpen() const { return m_file != nullptr; }

  private:
    std::FILE* m_file = nullptr;
};

}  // namespace pellorin

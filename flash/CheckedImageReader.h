// Reads an image again for programming and hands out only lines that are the lines checked
// before: it reads a chunk of lines ahead, compares the chunk's digest with the one taken when
// the image was checked, and only then gives its lines out. A file changed in between, or while
// the update runs, is noticed before a changed line can go to the device. At most one chunk of
// lines (each no longer than a record) is held, so memory does not grow with the image.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flash/ImageCheck.h"
#include "flash/ImageFile.h"

namespace pellorin {

class CheckedImageReader {
  public:
    enum class Result { Line, End, Changed, Stopped };

    // Opens the image; `facts` (kept by the caller until Close) holds the digests and line count
    // of the check. False when the file cannot be opened.
    [[nodiscard]] bool Open(const std::string& path, const ImageFacts& facts);
    // Asked every 64 KiB read; true ends the reading with Result::Stopped.
    void SetStopCheck(std::function<bool()> stopRequested) {
        m_file.SetStopCheck(std::move(stopRequested));
    }
    // The next line, the end of an unchanged image, Changed (the file differs from the lines
    // checked; ChangedFrom() and ChangedTo() name where) or Stopped.
    Result Next(std::string& line);
    void Close();

    // The first and last line of the chunk in which the difference was found.
    [[nodiscard]] std::uint32_t ChangedFrom() const { return m_chunkFirst; }
    [[nodiscard]] std::uint32_t ChangedTo() const { return m_chunkFirst + kDigestChunkLines - 1; }

  private:
    bool ReadChunk();

    ImageFile m_file;
    const ImageFacts* m_facts = nullptr;
    std::vector<std::string> m_chunk;
    std::size_t m_next = 0;          // the next line of m_chunk to hand out
    std::size_t m_chunkIndex = 0;    // chunks read so far
    std::uint32_t m_chunkFirst = 1;  // line number of m_chunk's first line
    bool m_atEnd = false;
};

}  // namespace pellorin

// Chunk-wise comparison of the image read for programming with the image checked.
#include "flash/CheckedImageReader.h"

namespace pellorin {

bool CheckedImageReader::Open(const std::string& path, const ImageFacts& facts) {
    Close();
    m_facts = &facts;
    return m_file.Open(path);
}

void CheckedImageReader::Close() {
    m_file.Close();
    m_chunk.clear();
    m_next = 0;
    m_chunkIndex = 0;
    m_chunkFirst = 1;
    m_atEnd = false;
}

bool CheckedImageReader::ReadChunk() {
    m_chunkFirst += static_cast<std::uint32_t>(m_chunk.size());
    m_chunk.resize(kDigestChunkLines);
    std::size_t count = 0;
    std::uint64_t digest = kDigestStart;
    // A line longer than any record was not in the image checked; it is kept only so far.
    while (count < kDigestChunkLines && m_file.ReadString(m_chunk[count], kMaxRecordLength + 1)) {
        digest = DigestLine(digest, m_chunk[count]);
        ++count;
    }
    m_chunk.resize(count);
    m_next = 0;
    if (m_file.Stopped()) return false;
    if (count == 0) {
        m_atEnd = true;
        // The image ended here; so must the image checked.
        return m_chunkIndex == m_facts->ChunkDigests.size();
    }
    const bool same = m_chunkIndex < m_facts->ChunkDigests.size() &&
                      m_facts->ChunkDigests[m_chunkIndex] == digest;
    ++m_chunkIndex;
    return same;
}

CheckedImageReader::Result CheckedImageReader::Next(std::string& line) {
    if (m_facts == nullptr || !m_file.IsOpen()) return Result::End;
    if (m_next == m_chunk.size()) {
        if (m_atEnd) return Result::End;
        if (!ReadChunk()) return m_file.Stopped() ? Result::Stopped : Result::Changed;
        if (m_atEnd) return Result::End;
    }
    line = std::move(m_chunk[m_next++]);
    return Result::Line;
}

}  // namespace pellorin

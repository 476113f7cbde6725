// SHA-256 of a byte stream, for the image digest in the update record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pellorin {

class Sha256 {
  public:
    Sha256();
    // Adds bytes; may be called any number of times.
    void Update(const void* data, std::size_t length);
    // The digest as 64 lower-case hex digits. The object is spent afterwards.
    [[nodiscard]] std::string HexDigest();

  private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state{};
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_blockUsed = 0;
    std::uint64_t m_totalBytes = 0;
};

}  // namespace pellorin

// The checksum reply: "SUM" and four hex digits; anything shorter or otherwise begun is none.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flash/IntelHexRecord.h"
#include "flash/StateReply.h"

using namespace pellorin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const auto sum = ParseSumReply(line);
    const bool isSum = line.size() >= 7 && line.compare(0, 3, "SUM") == 0;
    if (sum.has_value() != isSum) std::abort();
    if (!isSum) return 0;
    unsigned expected = 0;
    for (std::size_t i = 3; i < 7; ++i) expected = expected * 16 + HexDigitValue(line[i]);
    if (*sum != (expected & 0xFFFFu)) std::abort();
    return 0;
}

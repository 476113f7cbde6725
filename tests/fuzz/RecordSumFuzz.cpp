// The record word sum over any line: it ends, stays within the line, and agrees with the sum
// written out by hand (data from position 9 in big-endian words, missing characters 35 each).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flash/IntelHexRecord.h"

using namespace pellorin;

namespace {

unsigned Digit(const std::string& line, std::size_t i) {
    if (i >= line.size()) return 35;
    const char c = line[i];
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return 35;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const unsigned count = (Digit(line, 1) * 16 + Digit(line, 2)) % 256;
    unsigned long long expected = 0;
    for (unsigned word = 0; word * 2 < count; ++word) {
        const std::size_t at = 9 + 4 * word;
        expected += ((Digit(line, at) * 16 + Digit(line, at + 1)) * 16 + Digit(line, at + 2)) * 16 +
                    Digit(line, at + 3);
    }
    if (RecordWordSum(line) != (expected & 0xFFFFu)) std::abort();
    return 0;
}

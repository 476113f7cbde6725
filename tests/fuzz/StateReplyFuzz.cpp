// The DSP's and the MCU's state replies: any line, read within its own bytes; a state is what
// the decimal number says (saturated, never wrapped round), the MCU's block four hex digits.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flash/StateReply.h"

using namespace pellorin;

namespace {

// The decimal number at `position` by hand: blanks, a sign, digits; saturated at the limits.
long long ReferenceDecimal(const std::string& line, std::size_t position) {
    std::size_t i = position;
    while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    long long value = 0;
    bool saturated = false;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        const int digit = line[i] - '0';
        if (!saturated && value > (9223372036854775807LL - digit) / 10) saturated = true;
        if (!saturated) value = value * 10 + digit;
    }
    if (saturated) return negative ? (-9223372036854775807LL - 1) : 9223372036854775807LL;
    return negative ? -value : value;
}

int ReferenceState(const std::string& line) {
    const long long state = ReferenceDecimal(line, 2);
    if (state > 2147483647LL) return 2147483647;
    if (state < -2147483648LL) return -2147483647 - 1;
    return static_cast<int>(state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const bool isState = line.rfind("ST", 0) == 0;
    const auto dsp = ParseDspStateReply(line);
    const auto mcu = ParseMcuStateReply(line);
    if (dsp.has_value() != isState || mcu.has_value() != isState) std::abort();
    if (!isState) return 0;
    if (dsp->state != ReferenceState(line) || mcu->state != dsp->state) std::abort();
    if (dsp->resumeBlock != ReferenceDecimal(line, 4)) std::abort();
    if (mcu->resumeBlock < 0 || mcu->resumeBlock > 152915) std::abort();
    return 0;
}

// A 16-bit sum as the device writes it after "SUM": four upper-case hex digits. The update record
// and `pellorin-cli status` show the tool's and the device's sums this way.
#pragma once

#include <cstdio>
#include <string>

namespace pellorin {

[[nodiscard]] inline std::string SumText(unsigned sum) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", sum & 0xFFFFu);
    return text;
}

}  // namespace pellorin

// hexgen: writes a test image (valid Intel HEX) for the tool and the simulated inverter.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>

#include "console/ToolVersion.h"
#include "sim/HexGen.h"

namespace {

constexpr const char* kUsage = R"(hexgen: writes a valid Intel HEX test image

Usage: hexgen --out FILE [options]
  --records N          data records (default 100)
  --length L           data bytes per record, 1 to 255 (default 16)
  --start ADDRESS      address of the first record (default 0; 0x... for hex)
  --verify-line N      put a data record at address 7FFE on line N of the file
  --verify-length L    data bytes of that record (default 2)
  --crlf               CR LF line ends (default LF)
  --no-final-newline   the last line has no line end
  --no-eof-record      leave out the end-of-file record
  --seed S             seed of the data bytes (default 1)
  -h, --help           this text
  -V, --version        the version
Extended linear address records go in where the address passes a 64 KiB boundary.

Example: hexgen --out dsp.hex --records 2000 --length 16 --start 0x8000 --verify-line 1990
)";

bool Number(const char* text, long long low, long long high, long long& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    sim::HexImageOptions options;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (name == "--version" || name == "-V") {
            std::cout << "hexgen " << pellorin::ToolVersion() << "\n";
            return 0;
        }
        if (name == "--crlf") {
            options.crlf = true;
            continue;
        }
        if (name == "--no-final-newline") {
            options.finalLineEnd = false;
            continue;
        }
        if (name == "--no-eof-record") {
            options.endOfFileRecord = false;
            continue;
        }
        if (i + 1 == argc) {
            std::cerr << "hexgen: " << name << " needs a value (--help lists the options)\n";
            return 2;
        }
        const char* value = argv[++i];
        if (name == "--out") {
            out = value;
            continue;
        }
        struct Numeric {
            const char* name;
            long long low;
            long long high;
            std::function<void(long long)> set;
        };
        const Numeric numeric[] = {
            {"--records", 0, 10000000, [&](long long v) { options.records = static_cast<int>(v); }},
            {"--length", 1, 255, [&](long long v) { options.dataLength = static_cast<int>(v); }},
            {"--start", 0, 0xFFFFFFFFll,
             [&](long long v) { options.startAddress = static_cast<std::uint32_t>(v); }},
            {"--verify-line", 0, 100000000,
             [&](long long v) { options.verifyRecordLine = static_cast<int>(v); }},
            {"--verify-length", 1, 255,
             [&](long long v) { options.verifyRecordLength = static_cast<int>(v); }},
            {"--seed", 0, 0xFFFFFFFFll,
             [&](long long v) { options.seed = static_cast<std::uint32_t>(v); }},
        };
        const auto option = std::find_if(std::begin(numeric), std::end(numeric),
                                         [&](const Numeric& n) { return name == n.name; });
        if (option == std::end(numeric)) {
            std::cerr << "hexgen: unknown option " << name << " (--help lists the options)\n";
            return 2;
        }
        long long number = 0;
        const bool ok = Number(value, option->low, option->high, number);
        if (ok) option->set(number);
        if (!ok) {
            std::cerr << "hexgen: bad value for " << name << ": " << value << "\n";
            return 2;
        }
    }
    if (out.empty()) {
        std::cerr << "hexgen: --out FILE is needed (--help lists the options)\n";
        return 2;
    }
    std::string error;
    if (!sim::WriteHexImage(out, options, &error)) {
        std::cerr << "hexgen: " << error << "\n";
        return 1;
    }
    return 0;
}

// hexgen: writes a test image (valid Intel HEX) for the tool and the simulated inverter.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>

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
        if (name == "--crlf") { options.crlf = true; continue; }
        if (name == "--no-final-newline") { options.finalLineEnd = false; continue; }
        if (name == "--no-eof-record") { options.endOfFileRecord = false; continue; }
        if (i + 1 == argc) {
            std::cerr << "hexgen: " << name << " needs a value (--help lists the options)\n";
            return 2;
        }
        const char* value = argv[++i];
        long long number = 0;
        bool ok = true;
        if (name == "--out") out = value;
        else if (name == "--records") ok = Number(value, 0, 10000000, number), options.records = static_cast<int>(number);
        else if (name == "--length") ok = Number(value, 1, 255, number), options.dataLength = static_cast<int>(number);
        else if (name == "--start") ok = Number(value, 0, 0xFFFFFFFFll, number), options.startAddress = static_cast<std::uint32_t>(number);
        else if (name == "--verify-line") ok = Number(value, 0, 100000000, number), options.verifyRecordLine = static_cast<int>(number);
        else if (name == "--verify-length") ok = Number(value, 1, 255, number), options.verifyRecordLength = static_cast<int>(number);
        else if (name == "--seed") ok = Number(value, 0, 0xFFFFFFFFll, number), options.seed = static_cast<std::uint32_t>(number);
        else {
            std::cerr << "hexgen: unknown option " << name << " (--help lists the options)\n";
            return 2;
        }
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

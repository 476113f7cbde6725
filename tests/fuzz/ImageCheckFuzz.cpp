// The image check over any text: it ends, and what it reports holds together. An image that
// passes holds a data record; counts and lines stay within the image; every address range is a
// range; a line taken on its own is either blank, a record with no reason, or bad with a reason.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "flash/ImageCheck.h"

using namespace pellorin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ImageCheckOptions options;
    options.CollectRanges = true;
    const ImageFacts facts = CheckImageText(text, options);
    if (facts.Passed() && facts.DataRecords == 0) std::abort();
    if (!facts.Passed() && facts.Failure.empty()) std::abort();
    if (facts.DataRecords > facts.Lines || facts.VerifyLine > facts.Lines) std::abort();
    if (facts.FailureLine > facts.Lines) std::abort();
    for (const AddressRange& range : facts.Ranges)
        if (range.First >= range.End) std::abort();

    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const LineCheck check = CheckImageLine(line);
        if ((check.Kind == LineKind::Bad) == check.Reason.empty()) std::abort();
        start = end + 1;
    }
    return 0;
}

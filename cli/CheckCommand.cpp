// pellorin-cli check IMAGE: the image check and the image's facts.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cli/Commands.h"
#include "cli/Output.h"
#include "flash/ImageCheck.h"

namespace pellorin::cli {
namespace {

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// Why the image is refused, as the engine finds it (its first bad line, or the file as a whole:
// line 0); none when it passed.
struct ImageProblem {
    std::uint32_t line = 0;
    std::string reason;
};

std::vector<ImageProblem> ProblemsOf(const ImageFacts& facts) {
    if (!facts.Opened) return {{0, platform::DescribeRefusal(facts.NotOpened)}};
    if (facts.Failure.empty()) return {};
    return {{facts.FailureLine, facts.Failure}};
}

std::string ProblemText(const ImageProblem& problem) {
    return problem.line == 0 ? problem.reason
                             : "line " + std::to_string(problem.line) + ": " + problem.reason;
}

}  // namespace

int RunCheckCommand(const Options& options, std::ostream& out) {
    const std::string& path = options.images.front();
    ImageCheckOptions check;
    check.CollectRanges = true;
    check.CollectDigests = false;
    const ImageFacts facts = CheckImageFile(path, check);
    const bool accepted = facts.Passed();
    const std::vector<ImageProblem> problems = ProblemsOf(facts);

    if (options.json) {
        Json ranges = Json::array();
        for (const AddressRange& range : facts.Ranges) {
            ranges.push_back(
                {{"first", "0x" + Hex(range.First, 8)}, {"last", "0x" + Hex(range.End - 1, 8)}});
        }
        Json problemList = Json::array();
        for (const ImageProblem& problem : problems)
            problemList.push_back({{"line", problem.line}, {"reason", problem.reason}});
        // Without a verification record the DSP is never asked for a sum.
        const bool verifies = facts.VerifyLine != 0;
        out << JsonText({{"image", path},
                         {"accepted", accepted},
                         {"lines", facts.Lines},
                         {"data_records", facts.DataRecords},
                         {"ranges", ranges},
                         {"verification_line", verifies ? Json(facts.VerifyLine) : Json()},
                         {"dsp_sum", verifies ? Json(Hex(facts.SumAtVerifyLine, 4)) : Json()},
                         {"mcu_sum", Hex(facts.WholeSum, 4)},
                         {"problems", problemList},
                         // The check ends at the first bad line, as the engine's does: nothing
                         // more is counted.
                         {"more_problems", 0}})
            << "\n";
    } else {
        out << path << ": " << (accepted ? "accepted" : "refused") << "\n";
        for (const ImageProblem& problem : problems) out << "  " << ProblemText(problem) << "\n";
        if (facts.Opened) {
            out << "  lines              " << facts.Lines << "\n";
            out << "  data records       " << facts.DataRecords << "\n";
            out << "  address ranges     ";
            if (facts.Ranges.empty()) out << "none";
            for (std::size_t i = 0; i < facts.Ranges.size(); ++i) {
                out << (i ? ", " : "") << Hex(facts.Ranges[i].First, 8) << "-"
                    << Hex(facts.Ranges[i].End - 1, 8);
            }
            out << "\n";
            if (facts.VerifyLine != 0) {
                out << "  verification line  " << facts.VerifyLine
                    << " (the DSP is asked for its sum before this record)\n";
                out << "  DSP sum            " << Hex(facts.SumAtVerifyLine, 4)
                    << " (data records before the verification record)\n";
            } else {
                out << "  verification line  none (an image for the MCU; the DSP needs one)\n";
            }
            out << "  MCU sum            " << Hex(facts.WholeSum, 4) << " (every data record)\n";
        }
    }
    return accepted ? kExitUpdated : kExitImage;
}

}  // namespace pellorin::cli

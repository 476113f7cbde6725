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
        out << "{\"image\":" << JsonString(path)
            << ",\"accepted\":" << (accepted ? "true" : "false") << ",\"lines\":" << facts.Lines
            << ",\"data_records\":" << facts.DataRecords << ",\"ranges\":[";
        for (std::size_t i = 0; i < facts.Ranges.size(); ++i) {
            out << (i ? "," : "") << "{\"first\":\"0x" << Hex(facts.Ranges[i].First, 8)
                << "\",\"last\":\"0x" << Hex(facts.Ranges[i].End - 1, 8) << "\"}";
        }
        out << "],\"verification_line\":";
        if (facts.VerifyLine != 0) {
            out << facts.VerifyLine;
        } else {
            out << "null";
        }
        // Without a verification record the DSP is never asked for a sum.
        out << ",\"dsp_sum\":"
            << (facts.VerifyLine != 0 ? "\"" + Hex(facts.SumAtVerifyLine, 4) + "\"" : "null")
            << ",\"mcu_sum\":\"" << Hex(facts.WholeSum, 4) << "\",\"problems\":[";
        for (std::size_t i = 0; i < problems.size(); ++i) {
            out << (i ? "," : "") << "{\"line\":" << problems[i].line
                << ",\"reason\":" << JsonString(problems[i].reason) << "}";
        }
        // The check ends at the first bad line, as the engine's does: nothing more is counted.
        out << "],\"more_problems\":0}\n";
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

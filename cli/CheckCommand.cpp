// pellorin-cli check IMAGE: the image check and the image's facts.
#include <cstdio>

#include "cli/Commands.h"
#include "cli/ImageFacts.h"
#include "cli/Output.h"

namespace pellorin::cli {
namespace {

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string ProblemText(const ImageProblem& problem) {
    return problem.line == 0 ? problem.reason
                             : "line " + std::to_string(problem.line) + ": " + problem.reason;
}

}  // namespace

int RunCheckCommand(const Options& options, std::ostream& out) {
    const std::string& path = options.images.front();
    const ImageFacts facts = CheckImageFile(path);
    const bool accepted = facts.Accepted();

    if (options.json) {
        out << "{\"image\":" << JsonString(path) << ",\"accepted\":" << (accepted ? "true" : "false")
            << ",\"lines\":" << facts.lines << ",\"data_records\":" << facts.dataRecords
            << ",\"ranges\":[";
        for (std::size_t i = 0; i < facts.ranges.size(); ++i) {
            out << (i ? "," : "") << "{\"first\":\"0x" << Hex(facts.ranges[i].first, 8)
                << "\",\"last\":\"0x" << Hex(facts.ranges[i].last, 8) << "\"}";
        }
        out << "],\"verification_line\":";
        if (facts.verificationLine != 0) {
            out << facts.verificationLine;
        } else {
            out << "null";
        }
        out << ",\"dsp_sum\":\"" << Hex(facts.dspSum, 4) << "\",\"mcu_sum\":\"" << Hex(facts.mcuSum, 4)
            << "\",\"problems\":[";
        for (std::size_t i = 0; i < facts.problems.size(); ++i) {
            out << (i ? "," : "") << "{\"line\":" << facts.problems[i].line
                << ",\"reason\":" << JsonString(facts.problems[i].reason) << "}";
        }
        out << "],\"more_problems\":" << facts.moreProblems << "}\n";
    } else {
        out << path << ": " << (accepted ? "accepted" : "refused") << "\n";
        for (const ImageProblem& problem : facts.problems) out << "  " << ProblemText(problem) << "\n";
        if (facts.moreProblems != 0) out << "  ... and " << facts.moreProblems << " more\n";
        if (facts.readable) {
            out << "  lines              " << facts.lines << "\n";
            out << "  data records       " << facts.dataRecords << "\n";
            out << "  address ranges     ";
            if (facts.ranges.empty()) out << "none";
            for (std::size_t i = 0; i < facts.ranges.size(); ++i) {
                out << (i ? ", " : "") << Hex(facts.ranges[i].first, 8) << "-"
                    << Hex(facts.ranges[i].last, 8);
            }
            out << "\n";
            if (facts.verificationLine != 0) {
                out << "  verification line  " << facts.verificationLine
                    << " (the DSP is asked for its sum before this record)\n";
                out << "  DSP sum            " << Hex(facts.dspSum, 4)
                    << " (data records before the verification record)\n";
            } else {
                out << "  verification line  none (an image for the MCU; the DSP needs one)\n";
            }
            out << "  MCU sum            " << Hex(facts.mcuSum, 4) << " (every data record)\n";
        }
    }
    return accepted ? kExitUpdated : kExitImage;
}

}  // namespace pellorin::cli

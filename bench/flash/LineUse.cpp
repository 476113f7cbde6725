// Line use of a paced run, and the reader of pellorin-sim's transcript file.
#include "bench/flash/LineUse.h"

#include <algorithm>
#include <cstdlib>

#include "platform/JsonText.h"

namespace pellorin::bench {
namespace {

// The value of "key" in one transcript line: a string or a number (its text).
bool FindMember(const std::string& line, const std::string& key, std::string& value) {
    const std::string quoted = "\"" + key + "\":";
    // Keys come first in each member, after '{' or ','; a string value cannot hold '"' unescaped.
    std::size_t at = 0;
    for (;;) {
        at = line.find(quoted, at);
        if (at == std::string::npos) return false;
        if (at > 0 && (line[at - 1] == '{' || line[at - 1] == ',')) break;
        at += quoted.size();
    }
    at += quoted.size();
    if (at < line.size() && line[at] == '"') return platform::ReadJsonString(line, at, value);
    const std::size_t end = line.find_first_of(",}", at);
    if (end == std::string::npos) return false;
    value = line.substr(at, end - at);
    return !value.empty();
}

}  // namespace

bool IsBlock(const sim::TranscriptEntry& entry) { return entry.received.rfind("SD_", 0) == 0; }

LineUse MeasureLineUse(const std::vector<sim::TranscriptEntry>& transcript, unsigned baud) {
    const double msPerByte = 10.0 * 1000.0 / baud;
    LineUse use;
    double start = -1;
    double end = 0;
    for (const auto& entry : transcript) {
        if (!IsBlock(entry)) continue;
        const double in = static_cast<double>(entry.received.size() + 1);
        const double out = static_cast<double>(entry.reply.size());
        use.wireBytes += in + out;
        ++use.blocks;
        if (start < 0) start = entry.timeMs - in * msPerByte;
        end = entry.timeMs + out * msPerByte;
    }
    use.limitMs = use.wireBytes * msPerByte;
    use.actualMs = end - start;
    return use;
}

double MedianBlockUs(const std::vector<sim::TranscriptEntry>& transcript) {
    std::vector<double> blockTimes;
    for (const auto& entry : transcript) {
        if (IsBlock(entry)) blockTimes.push_back(entry.timeMs);
    }
    std::vector<double> gaps;
    for (std::size_t i = 1; i < blockTimes.size(); ++i)
        gaps.push_back(blockTimes[i] - blockTimes[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    return gaps.empty() ? 0 : gaps[gaps.size() / 2] * 1000.0;
}

std::vector<double> TurnaroundsMs(const std::vector<sim::TranscriptEntry>& transcript,
                                  unsigned baud) {
    const double msPerByte = 10.0 * 1000.0 / baud;
    std::vector<double> turnarounds;
    const sim::TranscriptEntry* previous = nullptr;
    for (const auto& entry : transcript) {
        if (!IsBlock(entry)) continue;
        if (previous != nullptr) {
            const double ackEnd =
                previous->timeMs + static_cast<double>(previous->reply.size()) * msPerByte;
            const double blockStart =
                entry.timeMs - static_cast<double>(entry.received.size() + 1) * msPerByte;
            turnarounds.push_back(blockStart - ackEnd);
        }
        previous = &entry;
    }
    std::sort(turnarounds.begin(), turnarounds.end());
    return turnarounds;
}

bool ReadTranscriptJsonLines(std::istream& in, std::vector<sim::TranscriptEntry>& transcript,
                             std::string& error) {
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        sim::TranscriptEntry entry;
        std::string time;
        std::string baud;
        if (!FindMember(line, "timeMs", time) || !FindMember(line, "received", entry.received) ||
            !FindMember(line, "reply", entry.reply) || !FindMember(line, "baudAtArrival", baud)) {
            error = "line " + std::to_string(number) + " is not a transcript entry";
            return false;
        }
        entry.timeMs = std::strtod(time.c_str(), nullptr);
        entry.baudAtArrival = static_cast<unsigned>(std::strtoul(baud.c_str(), nullptr, 10));
        transcript.push_back(std::move(entry));
    }
    return true;
}

}  // namespace pellorin::bench

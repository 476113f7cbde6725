// Line use of a paced run, and the reader of pellorin-sim's transcript file.
#include "bench/flash/LineUse.h"

#include <algorithm>

#include "platform/JsonText.h"

namespace pellorin::bench {
namespace {

// The member `key` of a transcript line; null when it has none (or is no object).
platform::Json Member(const platform::Json& line, const char* key) {
    const auto found = line.find(key);
    return found == line.end() ? platform::Json() : *found;
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
        platform::Json value;
        const bool parsed = platform::ParseJson(line, value);
        const platform::Json time = Member(value, "timeMs");
        const platform::Json received = Member(value, "received");
        const platform::Json reply = Member(value, "reply");
        const platform::Json baud = Member(value, "baudAtArrival");
        if (!parsed || !time.is_number() || !received.is_string() || !reply.is_string() ||
            !baud.is_number_unsigned()) {
            error = "line " + std::to_string(number) + " is not a transcript entry";
            return false;
        }
        sim::TranscriptEntry entry;
        entry.timeMs = time.get<double>();
        entry.received = received.get<std::string>();
        entry.reply = reply.get<std::string>();
        entry.baudAtArrival = baud.get<unsigned>();
        transcript.push_back(std::move(entry));
    }
    return true;
}

}  // namespace pellorin::bench

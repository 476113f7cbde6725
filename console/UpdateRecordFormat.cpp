// How the update record reads: its header, its event lines and its summary.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console/JobMode.h"
#include "console/RecordText.h"
#include "console/SumText.h"
#include "console/ToolVersion.h"
#include "console/UpdateRecord.h"
#include "console/WallTime.h"
#include "platform/Clock.h"
#include "platform/Environment.h"

namespace pellorin {
namespace {

std::string HostName() {
#ifdef _WIN32
    const std::string name = platform::EnvironmentValue("COMPUTERNAME");
    return name.empty() ? "not known" : name;
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "not known";
    return name;
#endif
}

const char* JobName(int jobMode) {
    switch (jobMode) {
        case kJobMcuUpdate:
            return "MCU update";
        case kJobDspUpdate:
            return "DSP update";
        case kJobReadVersion:
            return "Read Version";
        case kJobResetEeprom:
            return "Rest EEPROM";
        default:
            return "none";
    }
}

const char* PhaseName(std::uint8_t phase) {
    switch (phase) {
        case kPhaseIdle:
            return "idle";
        case kPhaseProgramming:
            return "programming, not finished";
        case kPhaseFinished:
            return "finished";
        case kPhaseFailed:
            return "failed";
        default:
            return "unknown";
    }
}

// "2026-12-07 10:40:12.345 +0100": local time with its offset from UTC.
std::string FormatWall(std::chrono::system_clock::time_point when) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
    const std::tm local =
        CalendarTime(static_cast<std::time_t>(sinceEpoch.count()), TimeZone::Local);
    char zone[16];
    std::strftime(zone, sizeof zone, "%z", &local);
    return LocalTimeText(when) + " " + zone;
}

// One "name            value" line; the value is escaped, whatever it holds.
void AddField(std::string& out, const char* name, const std::string& value) {
    char label[32];
    std::snprintf(label, sizeof label, "%-16s", name);
    out += label;
    out += EscapeText(value);
    out += '\n';
}

const char* VerificationName(UpdateRecord::Verification verification) {
    switch (verification) {
        case UpdateRecord::Verification::Confirmed:
            return "confirmed";
        case UpdateRecord::Verification::Failed:
            return "failed";
        case UpdateRecord::Verification::NotChecked:
        case UpdateRecord::Verification::NotKnown:
            break;
    }
    return "not checked";
}

// The program clock, when it does not run at the wall clock's pace or when a setting to make it
// was not followed.
std::string ClockNote() {
    const std::string setting = platform::EnvironmentValue("PELLORIN_CLOCK_SCALE");
    const double scale = platform::ClockScale();
    char text[160];
    if (scale != 1.0) {
        std::snprintf(text, sizeof text, "runs %.3g times as fast as real time (%s)", scale,
                      setting.empty() ? "a test run" : "PELLORIN_CLOCK_SCALE, simulated ports");
        return text;
    }
    if (!setting.empty() && platform::EnvironmentValue("PELLORIN_COM_DIR").empty()) {
        return "real time (PELLORIN_CLOCK_SCALE=" + setting +
               " not followed: it applies to simulated ports only)";
    }
    return "";
}

}  // namespace

std::string UpdateRecord::FormatHeader() const {
    std::string out = "Pellorin update record\n";
    AddField(out, "tool", "Pellorin " + ToolVersion());
    AddField(out, "host", HostName());
    AddField(out, "job", std::to_string(m_jobMode) + " (" + JobName(m_jobMode) + ")");
    AddField(out, "port", m_portName);
    AddField(out, "started", FormatWall(m_startWall));
    const std::string clock = ClockNote();
    if (!clock.empty()) AddField(out, "program clock", clock);
    out += "A whole record ends with its outcome line; without one, the job was cut short.\n";
    out += '\n';
    out += kEventColumns;
    return out;
}

std::string UpdateRecord::FormatEvents(const std::string& pending, bool wireOnly) const {
    // Tens of thousands of events a job: the columns are put together by hand, and the wall
    // clock is broken down once a second.
    std::string out;
    out.reserve(pending.size() + pending.size() / 2);
    const auto startMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_startWall.time_since_epoch())
            .count();
    std::int64_t cachedSecond = -1;
    char secondText[16] = "";
    std::size_t position = 0;
    while (position + sizeof(EventHead) <= pending.size()) {
        EventHead head;
        std::memcpy(&head, pending.data() + position, sizeof head);
        position += sizeof head;
        const char* bytes = pending.data() + position;
        position += head.length;
        const auto kind = static_cast<Kind>(head.kind);
        const bool wire = kind != Kind::Log && kind != Kind::Box && kind != Kind::Note;
        if (wireOnly && !wire) continue;

        // Milliseconds since the start with three decimals, right-aligned in 15 columns.
        const std::int64_t micros = head.ns / 1000;
        char number[32];
        const int numberLength =
            std::snprintf(number, sizeof number, "%lld.%03d", static_cast<long long>(micros / 1000),
                          static_cast<int>(micros % 1000));
        if (numberLength < 15) out.append(static_cast<std::size_t>(15 - numberLength), ' ');
        out.append(number, static_cast<std::size_t>(numberLength));

        const std::int64_t wallMs = startMs + micros / 1000;
        if (wallMs / 1000 != cachedSecond) {
            cachedSecond = wallMs / 1000;
            const std::tm local =
                CalendarTime(static_cast<std::time_t>(cachedSecond), TimeZone::Local);
            std::snprintf(secondText, sizeof secondText, "%02d:%02d:%02d.", local.tm_hour,
                          local.tm_min, local.tm_sec);
        }
        const int millis = static_cast<int>(wallMs % 1000);
        out += "  ";
        out += secondText;
        out += static_cast<char>('0' + millis / 100);
        out += static_cast<char>('0' + millis / 10 % 10);
        out += static_cast<char>('0' + millis % 10);
        out += "  ";

        static const char* const kWhat[] = {"tx  ", "tx! ", "rx  ", "cut ", "log ", "box ", "note"};
        out += kWhat[static_cast<std::size_t>(kind)];
        char speed[16] = "";
        if (wire) std::snprintf(speed, sizeof speed, "%u", head.baud);
        out += ' ';
        out += speed;
        out.append(8 - std::min<std::size_t>(std::strlen(speed), 6), ' ');
        switch (kind) {
            case Kind::Command:
            case Kind::Received:
                AppendEscapedBytes(out, bytes, head.length);
                break;
            case Kind::SendFailed:
                out += "(the command could not be written)";
                break;
            case Kind::Flood:
                out += "(flood: " + std::to_string(head.a) + " bytes since the command, the last " +
                       std::to_string(head.b) + " not shown)";
                break;
            case Kind::Log:
            case Kind::Box:
            case Kind::Note:
                out += EscapeText(std::string(bytes, head.length));
                break;
        }
        out += '\n';
    }
    return out;
}

std::string UpdateRecord::FormatSummary(const Facts& facts, const Counts& counts) const {
    const std::string unknown = "not known";
    std::string out = "\nsummary\n";
    AddField(out, "port device", facts.portDevice.value_or(unknown));
    AddField(out, "adapter", facts.adapter.value_or(unknown));
    AddField(out, "speed asked", facts.speedAsked.value_or("none"));
    if (facts.speedConfirmed == false) {
        // The port was moved to the speed asked, but whether the device moved with it is not
        // known: the speed is not in force as far as anyone can tell.
        AddField(
            out, "speed in force",
            "not confirmed: the device never acknowledged the speed command" +
                (facts.speedInForce ? "; the port was set to " + std::to_string(*facts.speedInForce)
                                    : std::string()));
    } else {
        AddField(out, "speed in force",
                 facts.speedInForce ? std::to_string(*facts.speedInForce) : std::string("none"));
    }
    if (facts.imagePath) {
        AddField(out, "image", *facts.imagePath);
        if (facts.imageResolved) AddField(out, "image resolved", *facts.imageResolved);
        if (facts.image && facts.image->readable) {
            AddField(out, "image size", std::to_string(facts.image->size) + " bytes");
            AddField(out, "image SHA-256", facts.image->sha256);
            AddField(out, "image lines",
                     std::to_string(facts.image->lines) + ", " +
                         std::to_string(facts.image->dataRecords) + " data records");
        } else if (!facts.image) {
            AddField(out, "image size", "not read");
        } else if (facts.image->stopped) {
            AddField(out, "image size", "not read: the job was stopped");
        } else {
            AddField(out, "image size", "the file could not be read");
        }
        AddField(out, "image check", facts.imageCheck.value_or("not made"));
    } else if (facts.imageNotFound) {
        AddField(out, "image", *facts.imageNotFound + " not found");
        std::string folders;
        for (const std::string& folder : facts.foldersSearched)
            folders += (folders.empty() ? "" : ", ") + folder;
        AddField(out, "searched in", folders.empty() ? "no folder" : folders);
    } else {
        AddField(out, "image", "none");
    }
    const std::uint8_t phase = facts.phase.value_or(kPhaseIdle);
    // A stop closes the port under the run, which then ends as a failed one: say why.
    const bool stopped = !facts.stopCause.empty() && phase == kPhaseFailed;
    AddField(out, "FlashPhase",
             std::to_string(phase) + " (" + PhaseName(phase) +
                 (stopped ? ": the job was stopped, the port closed under it" : "") + ")");
    if (facts.writtenBlocks && facts.totalBlocks) {
        AddField(
            out, "blocks written",
            std::to_string(*facts.writtenBlocks) + " of " + std::to_string(*facts.totalBlocks));
    }
    AddField(out, "resume point", facts.resumeBlock ? std::to_string(*facts.resumeBlock) : "none");
    std::string sums = facts.toolSum ? "tool " + SumText(*facts.toolSum) : "not exchanged";
    if (!facts.deviceSums.empty()) {
        sums += ", device";
        for (unsigned sum : facts.deviceSums) {
            sums += ' ';
            sums += SumText(sum);
        }
    }
    AddField(out, "checksum", sums);
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f s", static_cast<double>(facts.endNs) / 1e9);
    AddField(out, "duration", duration);
    std::string wire = std::to_string(counts.commands) + " commands, " +
                       std::to_string(counts.pieces) + " pieces received";
    if (counts.floods > 0) wire += ", " + std::to_string(counts.floods) + " floods cut";
    if (counts.lost > 0)
        wire += ", " + std::to_string(counts.lost) + " events lost (the disk was too slow)";
    AddField(out, "wire", wire);
    if (counts.roundTrips > 0) {
        char trips[160];
        std::snprintf(trips, sizeof trips,
                      "%.3f ms mean, %.3f to %.3f ms, over %llu commands (a command out to the "
                      "first bytes back)",
                      static_cast<double>(counts.roundTripSumNs) / 1e6 /
                          static_cast<double>(counts.roundTrips),
                      static_cast<double>(counts.roundTripMinNs) / 1e6,
                      static_cast<double>(counts.roundTripMaxNs) / 1e6,
                      static_cast<unsigned long long>(counts.roundTrips));
        AddField(out, "round trip", trips);
    }

    // The sums seen tell the verification when nobody said.
    UpdateRecord::Verification verification = facts.verification;
    if (verification == Verification::NotKnown && facts.toolSum) {
        const bool matched = std::find(facts.deviceSums.begin(), facts.deviceSums.end(),
                                       *facts.toolSum) != facts.deviceSums.end();
        verification = matched                    ? Verification::Confirmed
                       : facts.deviceSums.empty() ? Verification::NotChecked
                                                  : Verification::Failed;
    }
    std::string outcome = facts.outcome.value_or(unknown);
    if (!facts.stopCause.empty()) outcome += " (" + facts.stopCause + ")";
    AddField(out, "outcome", outcome + ", verification " + VerificationName(verification));
    return out;
}

}  // namespace pellorin

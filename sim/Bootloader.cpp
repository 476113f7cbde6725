// The device's protocol: speed exchange at 2400 baud, the DSP bootloader (decimal block numbers,
// optional "YSJ" line, SUM without the record at 7FFE) and the MCU bootloader (upper-case hex block
// numbers, SUM over every data record, CHKS/CHKF).
#include "sim/Bootloader.h"

#include <cstdarg>
#include <cstdio>

#include "platform/Clock.h"
#include "sim/HexRecord.h"

namespace sim {
namespace {

constexpr const char* kSpeedPrefix = "^S008BAUD";
constexpr const char* kAck = "^D006ACK";
constexpr const char* kYsjLine = "YSJ DSP BOOT V1.0";
constexpr std::uint16_t kVerifyAddress = 0x7FFE;
constexpr std::size_t kMaxViolations = 100;

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The line with control bytes shown as \xHH, shortened for a violation message.
std::string Visible(const std::string& line) {
    std::string out;
    for (const char c : line.substr(0, 48)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    if (line.size() > 48) out += "...";
    return out;
}

// A line that begins with the start character ':' and holds another one is taken from its last
// ':' on: the bytes before it were an unfinished command (the tool's first MCU entry form,
// ":mcu" + 0x01 without CR, arrives glued to the next command that has a CR). Block lines
// ("SD_...:record") do not begin with ':' and are left alone.
std::string Resynchronised(const std::string& line) {
    if (line.empty() || line[0] != ':') return line;
    return line.substr(line.rfind(':'));
}

unsigned RateOfCode(const std::string& code) {
    if (code == "048") return 4800;
    if (code == "096") return 9600;
    if (code == "192") return 19200;
    if (code == "384") return 38400;
    return 0;
}

bool IsDspEntry(const std::string& command) { return command == ":dsp" || command == ":dsp001"; }

// ":mcu" alone, or followed by the device number as the byte 1 or as "001".
bool IsMcuEntry(const std::string& command) {
    return command == ":mcu" || command == std::string(":mcu\x01") || command == ":mcu001";
}

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
    char text[32];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

}  // namespace

Bootloader::Bootloader(const Options& options, FlashModel& flash)
    : m_options(options), m_flash(flash) {}

std::string Bootloader::CommandKind(const std::string& line) {
    const std::string command = Resynchronised(line);
    if (StartsWith(command, kSpeedPrefix)) return command.substr(0, 12);
    if (IsDspEntry(command)) return command;
    if (IsMcuEntry(command)) return ":mcu";
    if (StartsWith(command, "SD_")) return "SD";
    for (const char* known : {":efh", ":st", "SUM", "SV", "CHKS", "CHKF"})
        if (command == known) return known;
    return "other";
}

unsigned Bootloader::ExpectedRate(const std::string& command) const {
    if (StartsWith(command, kSpeedPrefix)) return 2400;
    if (m_negotiatedBaud == 0) return 2400;
    // The MCU bootloader answers BAUD192 but runs its line at 9600.
    const bool forMcu = StartsWith(command, ":mcu") ||
                        (m_lastSelected == Target::Mcu && !StartsWith(command, ":dsp"));
    if (forMcu && m_negotiatedBaud == 19200) return 9600;
    return m_negotiatedBaud;
}

void Bootloader::AddViolation(const std::string& violation) {
    // A tool at the wrong rate for a whole image would otherwise list every block.
    if (m_violations.size() < kMaxViolations)
        m_violations.push_back(violation);
    else
        ++m_violationsNotListed;
}

Reaction Bootloader::Refuse(const std::string& violation) {
    AddViolation(violation);
    Reaction reaction;
    reaction.note = violation;
    return reaction;
}

Reaction Bootloader::Handle(const std::string& line, const LineArrival& arrival) {
    ++m_linesSeen;
    ++m_commandCounts[CommandKind(line)];
    const std::string command = Resynchronised(line);

    Reaction deaf;
    deaf.heard = false;
    if (m_silentForGood) {
        deaf.note =
            "silent: stopped after block " + std::to_string(m_options.faults.stopAfterBlock);
        return deaf;
    }
    if (m_linesSeen <= m_options.faults.silentFirstLines) {
        deaf.note = "silent: one of the first " +
                    std::to_string(m_options.faults.silentFirstLines) + " lines";
        return deaf;
    }
    for (const std::string& prefix : m_options.faults.neverAnswer) {
        if (!prefix.empty() && StartsWith(command, prefix)) {
            deaf.note = "silent: never answers \"" + prefix + "\"";
            return deaf;
        }
    }

    // On a real line a command sent at another rate arrives as garbage: nothing to answer.
    const unsigned expected = ExpectedRate(command);
    if (arrival.baud != expected) {
        deaf.note = '"';
        deaf.note += Visible(line);
        deaf.note += "\" arrived at " + std::to_string(arrival.baud) +
                     " baud; the device listens at " + std::to_string(expected);
        AddViolation(deaf.note);
        return deaf;
    }
    if (arrival.stopBits != 1) {
        AddViolation("\"" + Visible(line) + "\" arrived with " + std::to_string(arrival.stopBits) +
                     " stop bits; the device uses 1");
    }

    Reaction reaction;
    if (StartsWith(command, kSpeedPrefix) && command.size() == 12 &&
        RateOfCode(command.substr(9)) != 0) {
        reaction = HandleSpeed(command.substr(9));
    } else {
        m_speedAttempts = 0;
        const Target current = m_selected == Selected::Mcu ? Target::Mcu : Target::Dsp;
        if (IsDspEntry(command)) {
            reaction = HandleEntry(Target::Dsp);
        } else if (IsMcuEntry(command)) {
            reaction = HandleEntry(Target::Mcu);
        } else if (command == "SV" && m_selected == Selected::None && m_left) {
            // A repeated leave command whose first answer went astray: the device has already
            // left the bootloader and says so again.
            reaction.reply = "ST6\r";
        } else if (m_selected == Selected::None) {
            return Refuse("\"" + Visible(line) + "\" before an entry command");
        } else if (command == ":efh") {
            m_flash.Erase(current);
            m_erasing[static_cast<int>(current)] = true;
            m_eraseStart[static_cast<int>(current)] = platform::GetTickCount();
            reaction.reply = "ST2\r";
        } else if (command == ":st") {
            CompleteErase(current);
            const int state = m_flash.Of(current).state;
            if (state == 2 && m_options.stBeforeErased == Options::BeforeErased::Silent) {
                reaction.note = "silent: still erasing";
            } else if (state == 2 &&
                       m_options.stBeforeErased == Options::BeforeErased::AnswerWhenErased) {
                // Busy until the erase is done, then the query is answered.
                const int index = static_cast<int>(current);
                const std::uint32_t elapsed = platform::GetTickCount() - m_eraseStart[index];
                reaction.busyMs =
                    m_options.eraseTimeMs > elapsed ? m_options.eraseTimeMs - elapsed : 0;
                m_erasing[index] = false;
                m_flash.SetState(current, 3);
                reaction.reply = "ST3\r";
                reaction.note = "answered once the erase was done";
            } else {
                reaction.reply = "ST" + std::to_string(state) + "\r";
            }
        } else if (StartsWith(command, "SD_")) {
            reaction = HandleBlock(current, command);
        } else if (command == "SUM") {
            reaction = HandleSum(current);
        } else if (command == "SV") {
            m_flash.Leave(current);
            m_selected = Selected::None;
            m_left = true;
            reaction.reply = "ST6\r";
        } else if ((command == "CHKS" || command == "CHKF") && current == Target::Mcu) {
            if (command == "CHKS") {
                reaction.reply = "ST5\r";
            } else {
                // The image is bad: the bootloader wants a new erase and a full download.
                m_flash.Leave(Target::Mcu);
                reaction.reply = "ST1\r";
            }
        } else {
            return Refuse("unknown command \"" + Visible(line) + "\"");
        }
    }
    reaction.lineRate = expected;
    return reaction;
}

Reaction Bootloader::HandleSpeed(const std::string& code) {
    Reaction reaction;
    ++m_speedAttempts;
    const int on = m_options.faults.ackOnAttempt;
    if (on <= 0 || m_speedAttempts < on) {
        reaction.note = "silent: speed command attempt " + std::to_string(m_speedAttempts);
        return reaction;
    }
    const std::string text =
        m_options.faults.ackOverride.empty() ? kAck : m_options.faults.ackOverride;
    reaction.reply = text + "\r";
    // The device changes speed only when it has really said yes.
    if (StartsWith(text, kAck)) m_negotiatedBaud = RateOfCode(code);
    return reaction;
}

void Bootloader::CompleteErase(Target target) {
    const int index = static_cast<int>(target);
    if (!m_erasing[index]) {
        // Started erased by the state file or the options: the erase is long over.
        if (m_flash.Of(target).state == 2) m_flash.SetState(target, 3);
        return;
    }
    const std::uint32_t elapsed = platform::GetTickCount() - m_eraseStart[index];
    if (elapsed >= m_options.eraseTimeMs) {
        m_erasing[index] = false;
        m_flash.SetState(target, 3);
    }
}

std::string Bootloader::StateReply(Target target) const {
    const BootloaderMemory& memory = m_flash.Of(target);
    const std::string number = Format(target == Target::Dsp ? "%04u" : "%04X", memory.block);
    return "ST" + std::to_string(memory.state) + "_" + number;
}

Reaction Bootloader::HandleEntry(Target target) {
    m_selected = target == Target::Dsp ? Selected::Dsp : Selected::Mcu;
    m_left = false;
    m_lastSelected = target;
    CompleteErase(target);
    Reaction reaction;
    if (!m_options.stateReplyOverride.empty()) {
        reaction.reply = m_options.stateReplyOverride + "\r";
        return reaction;
    }
    if (target == Target::Dsp && m_options.ysjLine)
        reaction.leadLine = std::string(kYsjLine) + "\r";
    reaction.reply = StateReply(target) + "\r";
    return reaction;
}

Reaction Bootloader::HandleBlock(Target target, const std::string& command) {
    const bool dsp = target == Target::Dsp;
    const std::size_t recordStart = command.find(':', 3);
    const std::string numberText =
        command.substr(3, recordStart == std::string::npos ? std::string::npos : recordStart - 3);
    if (numberText.empty() || numberText.size() > 8) {
        return Refuse("block command without a valid number: \"" + Visible(command) + "\"");
    }
    for (const char c : numberText) {
        const bool digit = c >= '0' && c <= '9';
        const bool upperHex = c >= 'A' && c <= 'F';
        if (!(digit || (!dsp && upperHex))) {
            return Refuse("block number \"" + Visible(numberText) + "\" is not " +
                          (dsp ? "decimal" : "upper-case hex"));
        }
    }
    const auto number = static_cast<std::uint32_t>(std::stoull(numberText, nullptr, dsp ? 10 : 16));
    // The number must be written exactly as the bootloader writes it (four digits at least).
    if (Format(dsp ? "%04u" : "%04X", number) != numberText) {
        return Refuse("block number \"" + numberText + "\" is not in the form " +
                      (dsp ? "%04d" : "%04X"));
    }
    const std::string record = recordStart == std::string::npos ? "" : command.substr(recordStart);
    const std::string name = "block " + numberText;

    CompleteErase(target);
    const BootloaderMemory& memory = m_flash.Of(target);
    if (memory.state != 3) {
        return Refuse(name + " while the bootloader is in state " + std::to_string(memory.state));
    }
    if (number == 0 || !ParseHexRecord(record)) {
        return Refuse(name + " does not carry one valid record: \"" + Visible(record) + "\"");
    }
    Reaction reaction;
    const Faults& faults = m_options.faults;
    if (faults.refuseBlock > 0 && number == static_cast<std::uint32_t>(faults.refuseBlock)) {
        reaction.note = "refused: " + name;
        return reaction;
    }
    const auto stored = memory.records.find(number);
    bool firstStore = false;
    if (stored != memory.records.end()) {
        if (stored->second != record) return Refuse(name + " sent again with another record");
        reaction.note = "acknowledged again: " + name;
    } else if (number == memory.block + 1) {
        m_flash.Store(target, number, record);
        reaction.busyMs = m_options.blockWriteTimeMs;
        firstStore = true;
    } else {
        return Refuse(name + " out of order; expected block " +
                      Format(dsp ? "%04u" : "%04X", memory.block + 1));
    }

    const bool lower = !dsp && faults.lowerCaseHexAck;
    reaction.reply = "ST4_" + Format(dsp ? "%04u" : (lower ? "%04x" : "%04X"), number) + "\r";
    if (faults.misAckBlock > 0 && number == static_cast<std::uint32_t>(faults.misAckBlock))
        reaction.reply = faults.misAckReply + "\r";
    if (firstStore && faults.stopAfterBlock > 0 &&
        number == static_cast<std::uint32_t>(faults.stopAfterBlock))
        m_silentForGood = true;
    if (firstStore && faults.hangUpAfterBlock > 0 &&
        number == static_cast<std::uint32_t>(faults.hangUpAfterBlock))
        reaction.hangUp = true;
    return reaction;
}

std::uint16_t Bootloader::DeviceSum(Target target) const {
    std::uint32_t sum = 0;
    for (const auto& [block, text] : m_flash.Of(target).records) {
        const auto record = ParseHexRecord(text);
        if (!record || record->type != 0) continue;
        // The DSP keeps its verification word at 7FFE out of the sum.
        if (target == Target::Dsp && record->address == kVerifyAddress) continue;
        sum += RecordWordSum(*record);
    }
    return static_cast<std::uint16_t>(sum & 0xFFFFu);
}

Reaction Bootloader::HandleSum(Target target) {
    Reaction reaction;
    ++m_sumReplies;
    const Faults& faults = m_options.faults;
    if (!faults.sumReplyOverride.empty()) {
        reaction.reply = faults.sumReplyOverride + "\r";
        return reaction;
    }
    const bool wrong = faults.wrongChecksumTimes < 0 || m_sumReplies <= faults.wrongChecksumTimes;
    const std::uint16_t sum = static_cast<std::uint16_t>(DeviceSum(target) + (wrong ? 1 : 0));
    reaction.reply = "SUM" + Format("%04X", sum) + "\r";
    if (wrong) reaction.note = "wrong checksum (fault)";
    return reaction;
}

std::vector<std::string> Bootloader::Stored(Target target) const {
    std::vector<std::string> records;
    for (const auto& [block, text] : m_flash.Of(target).records) records.push_back(text);
    return records;
}

void Bootloader::FillSummary(Summary& summary) const {
    const BootloaderMemory& dsp = m_flash.Of(Target::Dsp);
    const BootloaderMemory& mcu = m_flash.Of(Target::Mcu);
    const BootloaderMemory& current = m_flash.Of(m_lastSelected);
    summary.dspBlocksStored = static_cast<int>(dsp.records.size());
    summary.mcuBlocksStored = static_cast<int>(mcu.records.size());
    summary.blocksStored = static_cast<int>(current.records.size());
    summary.negotiatedBaud = m_negotiatedBaud;
    summary.commandCounts = m_commandCounts;
    summary.violations = m_violations;
    if (m_violationsNotListed > 0)
        summary.violations.push_back("and " + std::to_string(m_violationsNotListed) + " more");
    summary.dspState = dsp.state;
    summary.dspBlock = dsp.block;
    summary.mcuState = mcu.state;
    summary.mcuBlock = mcu.block;
    summary.selected = m_selected == Selected::Dsp   ? "dsp"
                       : m_selected == Selected::Mcu ? "mcu"
                                                     : "none";
    summary.resumeBlock = current.block;
    summary.deviceSum = DeviceSum(m_lastSelected);
    summary.linesReceived = m_linesSeen;
}

}  // namespace sim

// The device's two bootloaders and the speed exchange, as a line-in, reply-out state machine with
// no I/O of its own: SimInverter frames the lines, reads the line rate and sends the replies.
//
// A strict device: a line it does not understand, a block out of order, a record that is not a
// valid Intel HEX record or a line sent at a rate it is not listening at draws no answer at all
// (it never invents an error reply), and each such line is recorded as a violation.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/FlashModel.h"
#include "sim/SimInverter.h"

namespace sim {

struct LineArrival {
    unsigned baud = 2400;  // the rate the tool's port was set to when the line arrived
    int stopBits = 1;
};

struct Reaction {
    std::string reply;         // the exact bytes to send, CRs included; empty: no answer
    std::string leadLine;      // a line sent on its own before the reply ("YSJ...")
    unsigned lineRate = 2400;  // the rate the device talks at for this reply
    std::uint32_t busyMs = 0;  // program ms the device works before it answers
    bool heard = true;         // false: the line was not taken in at all
    bool hangUp = false;       // close the line after this reply
    std::string note;
};

class Bootloader {
  public:
    Bootloader(const Options& options, FlashModel& flash);

    Reaction Handle(const std::string& line, const LineArrival& arrival);

    // The bootloader selected last (the DSP when none was yet).
    [[nodiscard]] Target Current() const { return m_lastSelected; }
    [[nodiscard]] std::vector<std::string> Stored(Target target) const;
    // What the bootloader would answer to SUM now, without faults.
    [[nodiscard]] std::uint16_t DeviceSum(Target target) const;
    // Records a fault of the tool; SimInverter adds those of the line itself (an overlong line).
    void AddViolation(const std::string& violation);
    // Fills the protocol part of the summary (everything but the image comparison and hang-up).
    void FillSummary(Summary& summary) const;

    // The kind of command a line holds, as counted in the summary ("SD", ":efh", "other" ...).
    static std::string CommandKind(const std::string& line);

  private:
    enum class Selected { None, Dsp, Mcu };

    Reaction HandleSpeed(const std::string& code);
    Reaction HandleEntry(Target target);
    Reaction HandleBlock(Target target, const std::string& command);
    Reaction HandleSum(Target target);
    Reaction Refuse(const std::string& violation);
    void CompleteErase(Target target);
    unsigned ExpectedRate(const std::string& command) const;
    std::string StateReply(Target target) const;

    const Options& m_options;
    FlashModel& m_flash;
    Selected m_selected = Selected::None;
    Target m_lastSelected = Target::Dsp;
    bool m_erasing[2] = {false, false};
    std::uint32_t m_eraseStart[2] = {0, 0};
    unsigned m_negotiatedBaud = 0;
    int m_speedAttempts = 0;  // speed commands in a row
    int m_linesSeen = 0;
    int m_sumReplies = 0;
    bool m_silentForGood = false;
    bool m_left = false;  // left the bootloader ("SV"); no entry since
    std::map<std::string, int> m_commandCounts;
    std::vector<std::string> m_violations;  // the first ones; later ones are only counted
    std::size_t m_violationsNotListed = 0;
};

}  // namespace sim

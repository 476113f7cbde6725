// Option parsing for pellorin-sim.
#include "sim/SimCommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <type_traits>

namespace sim {
namespace {

bool ToInt(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);  // decimal, or hex with 0x
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string UnescapeText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == '\\')
            out += '\\';
        else if (c == 'x' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                 HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += '\\';
            out += c;
        }
    }
    return out;
}

std::string SimUsage() {
    return R"(pellorin-sim: the simulated inverter (DSP and MCU bootloaders behind one pseudo-terminal)

Usage: pellorin-sim [options]
Runs until SIGINT or SIGTERM (or the end of standard input with --until-stdin-eof), then writes
the summary. On start it prints the slave path and the published link.

Line and device:
  --com-dir DIR            publish DIR/comN as a link to the slave (point PELLORIN_COM_DIR here)
  --com N                  the N of comN (default 1)
  --state-file F           keep the flash model in F across runs (resume an interrupted update)
  --image FILE             compare the stored image with this HEX file in the summary
  --erase-ms N             program ms from ":efh" until the flash is erased (default 3000)
  --block-ms N             program ms to store one block (default 0)
  --pace                   both directions take 10 bits a byte at the line rate
  --st-before-erased when-erased|st2|silent
                                  answer to ":st" while erasing: ST3 once the erase is done
                                  (default), ST2 at once, or none
  --ysj                    DSP: send a "YSJ..." line before the state line
  --ysj-gap-ms N           program ms between that line and the state line (default 100)
  --dsp-state N --dsp-block N --mcu-state N --mcu-block N   start state (default 1, block 0)
  --dsp-holds F --mcu-holds F
                           start holding the first --dsp-block / --mcu-block lines of the HEX
                           file F, as an interrupted update of F leaves the flash
  --state-reply TEXT       answer every entry command with TEXT (e.g. ST3)
  --transcript F.jsonl     write the transcript (one JSON object per line received)
  --summary F.json         write the summary
  --until-stdin-eof        also end when standard input reaches its end
  -h, --help               this text
  -V, --version            the version
Faults (all off by default):
  --silent-first-lines N   do not hear the first N lines
  --never-answer PREFIX    do not hear lines beginning with PREFIX (repeatable)
  --refuse-block K         never store or acknowledge block K
  --mis-ack-block K --mis-ack-reply TEXT   acknowledge block K with TEXT
  --lower-case-hex-ack     MCU acknowledges blocks in lower-case hex (ST4_00ff)
  --wrong-checksum N       the first N SUM replies are wrong (-1: all of them)
  --sum-reply TEXT         answer SUM with TEXT
  --fragment-pauses A,B,.. send each reply in pieces with these pauses (program ms)
  --garbage600             answer the first line with 600 bytes and no CR
  --noise                  send noise bytes (no CR) after each reply
  --stop-after-block K     go silent once block K is stored
  --hang-up-after-block K  close the line once block K is stored (adapter pulled out)
  --ack-override TEXT      answer the speed command with TEXT
  --ack-on-attempt N       acknowledge the Nth speed command in a row (0: never; default 1)
Texts may carry \r, \n, \t, \\ and \xHH. The environment variable PELLORIN_CLOCK_SCALE scales
every time of the device (erase, block time, pauses, pacing); PELLORIN_SIM_TRACE=1 writes each
line handled, with its reply, to standard error.

Example: a device with a 2-second erase that paces the line, for the tool on COM1:
  mkdir -p /tmp/ports && pellorin-sim --com-dir /tmp/ports --com 1 --erase-ms 2000 --pace \
      --image build/images/dsp.hex --summary /tmp/sim-summary.json &
  cp build/images/dsp.hex build/app/               # the tool takes its image from its folder
  PELLORIN_COM_DIR=/tmp/ports build/app/Pellorin   # choose COM1 and press "Update DSP"
  kill %1                                          # the summary is written on SIGTERM
)";
}

bool ParseSimCommandLine(const std::vector<std::string>& arguments, SimProgramOptions& out,
                         std::string& error) {
    Options& o = out.sim;
    Faults& f = o.faults;
    using Setter = std::function<bool(const std::string&)>;
    const auto integer = [](auto& target, long long low, long long high) {
        return Setter([&target, low, high](const std::string& text) {
            long long value = 0;
            if (!ToInt(text, low, high, value)) return false;
            target = static_cast<std::remove_reference_t<decltype(target)>>(value);
            return true;
        });
    };
    const auto text = [](std::string& target) {
        return Setter([&target](const std::string& value) {
            target = UnescapeText(value);
            return true;
        });
    };
    constexpr long long kMaxInt = 0x7FFFFFFF;
    constexpr long long kMaxU32 = 0xFFFFFFFF;
    const std::map<std::string, Setter> valued = {
        {"--com-dir", Setter([&o](const std::string& v) {
             o.comDir = v;
             return true;
         })},
        {"--com", integer(o.comNumber, 0, kMaxInt)},
        {"--state-file", Setter([&o](const std::string& v) {
             o.stateFile = v;
             return true;
         })},
        {"--image", Setter([&o](const std::string& v) {
             o.expectImage = v;
             return true;
         })},
        {"--erase-ms", integer(o.eraseTimeMs, 0, kMaxU32)},
        {"--block-ms", integer(o.blockWriteTimeMs, 0, kMaxU32)},
        {"--st-before-erased", Setter([&o](const std::string& v) {
             if (v == "when-erased")
                 o.stBeforeErased = Options::BeforeErased::AnswerWhenErased;
             else if (v == "st2")
                 o.stBeforeErased = Options::BeforeErased::AnswerSt2;
             else if (v == "silent")
                 o.stBeforeErased = Options::BeforeErased::Silent;
             else
                 return false;
             return true;
         })},
        {"--dsp-state", integer(o.dspState, -kMaxInt, kMaxInt)},
        {"--dsp-block", integer(o.dspBlock, 0, kMaxU32)},
        {"--mcu-state", integer(o.mcuState, -kMaxInt, kMaxInt)},
        {"--mcu-block", integer(o.mcuBlock, 0, kMaxU32)},
        {"--dsp-holds", Setter([&o](const std::string& v) {
             o.dspHolds = v;
             return true;
         })},
        {"--mcu-holds", Setter([&o](const std::string& v) {
             o.mcuHolds = v;
             return true;
         })},
        {"--ysj-gap-ms", integer(o.ysjGapMs, 0, kMaxU32)},
        {"--state-reply", text(o.stateReplyOverride)},
        {"--transcript", Setter([&out](const std::string& v) {
             out.transcriptFile = v;
             return true;
         })},
        {"--summary", Setter([&out](const std::string& v) {
             out.summaryFile = v;
             return true;
         })},
        {"--silent-first-lines", integer(f.silentFirstLines, 0, kMaxInt)},
        {"--never-answer", Setter([&f](const std::string& v) {
             f.neverAnswer.push_back(UnescapeText(v));
             return true;
         })},
        {"--refuse-block", integer(f.refuseBlock, 0, kMaxInt)},
        {"--mis-ack-block", integer(f.misAckBlock, 0, kMaxInt)},
        {"--mis-ack-reply", text(f.misAckReply)},
        {"--wrong-checksum", integer(f.wrongChecksumTimes, -1, kMaxInt)},
        {"--sum-reply", text(f.sumReplyOverride)},
        {"--fragment-pauses", Setter([&f](const std::string& v) {
             f.fragmentPauseMs.clear();
             std::size_t at = 0;
             while (at <= v.size()) {
                 const std::size_t comma = std::min(v.find(',', at), v.size());
                 long long pause = 0;
                 if (!ToInt(v.substr(at, comma - at), 0, kMaxInt, pause)) return false;
                 f.fragmentPauseMs.push_back(static_cast<int>(pause));
                 at = comma + 1;
             }
             return true;
         })},
        {"--stop-after-block", integer(f.stopAfterBlock, 0, kMaxInt)},
        {"--hang-up-after-block", integer(f.hangUpAfterBlock, 0, kMaxInt)},
        {"--ack-override", text(f.ackOverride)},
        {"--ack-on-attempt", integer(f.ackOnAttempt, 0, kMaxInt)},
    };
    const std::map<std::string, bool*> flags = {
        {"--pace", &o.pace},
        {"--ysj", &o.ysjLine},
        {"--until-stdin-eof", &out.untilStdinEof},
        {"--lower-case-hex-ack", &f.lowerCaseHexAck},
        {"--garbage600", &f.garbage600},
        {"--noise", &f.noiseBetweenReplies},
        {"--help", &out.help},
        {"-h", &out.help},
        {"--version", &out.version},
        {"-V", &out.version},
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (const auto flag = flags.find(name); flag != flags.end()) {
            *flag->second = true;
            continue;
        }
        const auto setter = valued.find(name);
        if (setter == valued.end()) {
            error = "unknown option " + name;
            return false;
        }
        if (i + 1 == arguments.size()) {
            error = name + " needs a value";
            return false;
        }
        if (!setter->second(arguments[++i])) {
            error = "bad value for " + name + ": " + arguments[i];
            return false;
        }
    }
    return true;
}

}  // namespace sim

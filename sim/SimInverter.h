// The simulated inverter: both serial bootloaders (DSP and MCU) of the device behind one
// pseudo-terminal, with a flash model, line pacing, fault injection, a transcript and a summary.
//
// Threading: Start() runs the device on its own thread; every other member may be called from any
// thread at any time (they read copies taken under the object's lock). Stop() and the destructor
// end the thread; the state file is written as the device works, so it never waits for them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// A fault at one step of the protocol: it strikes the Nth line whose text (CR stripped) matches
// `pattern`, an ECMAScript regular expression searched in the line, or every such line.
struct StepFault {
    enum class Kind {
        Silence,     // the line is not heard at all
        LostReply,   // the line is acted on, its reply is lost
        Garbage,     // the reply is replaced by a line of printable garbage
        WrongReply,  // the reply's last character before the CR is changed
        LowerCase,   // the reply goes out in lower case
        Fragments,   // the reply goes out in slow pieces, each pause shorter than a time-out
        Flood,       // 600 bytes without CR instead of the reply
        Noise,       // noise bytes (no CR) before and after the reply
        Late,        // the reply comes lateMs program ms later than it would
        HangUp,      // the line is acted on, then the line is closed without a reply
    };
    std::string pattern;
    int occurrence = 1;  // 0: every matching line
    Kind kind = Kind::LostReply;
    std::uint32_t lateMs = 20000;
};

// Each fault is one option; all are off by default.
struct Faults {
    std::vector<StepFault> stepFaults;
    int silentFirstLines = 0;              // the first N lines are not heard at all
    std::vector<std::string> neverAnswer;  // lines beginning with one of these are not heard
    int refuseBlock = 0;                   // block k is never stored nor acknowledged
    int misAckBlock = 0;                   // block k is stored, then acknowledged with misAckReply
    std::string misAckReply;
    bool lowerCaseHexAck = false;      // MCU acknowledges with lower-case hex (ST4_00ff)
    int wrongChecksumTimes = 0;        // -1: every SUM reply is wrong; N: the first N are
    std::string sumReplyOverride;      // SUM is answered with this line instead
    std::vector<int> fragmentPauseMs;  // each reply goes out in pieces with these pauses
    bool garbage600 = false;           // the first line is answered with 600 bytes, no CR
    int garbageAtBlock = 0;            // the kth block command heard gets those 600 bytes instead
    // A few noise bytes (no CR) follow every reply, in the write of its last piece.
    bool noiseBetweenReplies = false;
    int stopAfterBlock = 0;    // silent for good once block k is stored and acked
    int hangUpAfterBlock = 0;  // the master is closed once block k is acked
    std::string ackOverride;   // the speed command is answered with this line
    int ackOnAttempt = 1;      // acknowledge the Nth speed command in a row (0: never)
};

struct Options {
    std::string comDir;  // if set, <comDir>/com<comNumber> is published as a link to the slave
    int comNumber = 1;
    std::string stateFile;             // flash model kept across runs (created when missing)
    std::string expectImage;           // HEX file the stored image is compared with in the summary
    std::uint32_t eraseTimeMs = 3000;  // program ms from ":efh" until the flash is erased
    std::uint32_t blockWriteTimeMs = 0;  // program ms the device spends storing one block
    bool pace = false;                   // both directions take 10 bits a byte at the line rate
    // What ":st" gets while the erase runs. The tool asks only a few times and takes any answer
    // but ST3 as a failed pass, so a device that answers ST2 at once runs it out of passes. By
    // default the bootloader, busy erasing, answers ST3 the moment the erase is done; it can
    // also stay silent (the query is lost) or answer ST2 at once.
    enum class BeforeErased {
        AnswerWhenErased,
        AnswerSt2,
        Silent
    } stBeforeErased = BeforeErased::AnswerWhenErased;
    bool ysjLine = false;  // DSP: a "YSJ..." line goes before the state line
    // Program ms between the "YSJ..." line and the state line, so that they normally reach the
    // tool as two separate replies (0: both in one write).
    std::uint32_t ysjGapMs = 100;
    // The device's start state, unless the state file says otherwise.
    int dspState = 1;
    std::uint32_t dspBlock = 0;
    int mcuState = 1;
    std::uint32_t mcuBlock = 0;
    // When set, the bootloader starts holding the first dspBlock / mcuBlock lines of this file as
    // its stored blocks, as an interrupted update of that image leaves them (a state file that
    // exists overrides this too).
    std::string dspHolds;
    std::string mcuHolds;
    std::string stateReplyOverride;  // sent verbatim (+CR) as the state reply, e.g. "ST3"
    Faults faults;
};

struct TranscriptEntry {
    double timeMs = 0;           // program ms since Start() when the line's CR came in
    std::string received;        // the line's bytes, its CR stripped
    std::string reply;           // every byte sent in answer (CRs, noise and garbage included)
    unsigned baudAtArrival = 0;  // the slave's rate when the line's CR arrived
    int stopBitsAtArrival = 1;
    std::string note;  // why a line drew no answer, or what was odd about it
};

struct Summary {
    int blocksStored = 0;  // of the bootloader selected last (the DSP if none was)
    int dspBlocksStored = 0;
    int mcuBlocksStored = 0;
    bool imageMatches = false;    // stored records equal the expected image line for line
    unsigned negotiatedBaud = 0;  // the rate agreed by the last speed command, 0 if none
    std::map<std::string, int> commandCounts;
    std::vector<std::string> violations;
    int dspState = 1;
    std::uint32_t dspBlock = 0;
    int mcuState = 1;
    std::uint32_t mcuBlock = 0;
    std::string selected;           // "dsp", "mcu" or "none"
    std::uint32_t resumeBlock = 0;  // of the bootloader selected last
    std::uint16_t deviceSum = 0;    // what that bootloader answers to SUM now
    bool hungUp = false;
    int linesReceived = 0;
    std::size_t bytesReceived = 0;
};

enum class Target { Dsp, Mcu };

class SimInverter {
  public:
    explicit SimInverter(Options options);
    ~SimInverter();
    SimInverter(const SimInverter&) = delete;
    SimInverter& operator=(const SimInverter&) = delete;

    // Opens the pty, loads the state file, publishes the link and starts the device thread.
    // False (with a trace line) when any of that fails; Start() after a failure is not retried.
    bool Start();
    void Stop();

    const std::string& SlavePath() const;
    std::string ComPath() const;  // the published link, or the slave path

    std::string Received() const;                    // every byte received so far, exactly
    std::vector<std::string> ReceivedLines() const;  // complete lines, control bytes kept, no CR
    std::vector<TranscriptEntry> Transcript() const;
    Summary GetSummary() const;
    std::string SummaryJson() const;
    std::string TranscriptJsonLines() const;
    // Stored records in block order, of the bootloader selected last / of the one named.
    std::vector<std::string> StoredRecords() const;
    std::vector<std::string> StoredRecords(Target target) const;
    // True once `count` lines have been handled (answered or not) within timeoutMs program ms.
    bool WaitForLines(std::size_t count, std::uint32_t timeoutMs) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim

// Runs pellorin-cli as a child process with its own environment, and reads its JSON lines.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/PseudoTerminal.h"

namespace testing_support {

struct CliRun {
    int exitStatus = -1;  // 128 + n when ended by signal n without handling it
    std::string out;
    std::string err;
};

class CliProcess {
  public:
    // Starts the program with `arguments`; PELLORIN_COM_DIR and PELLORIN_CLOCK_SCALE are set from
    // the arguments, the rest of the environment is inherited.
    // With `onTerminal` its standard output is a pseudo-terminal, as when run by hand.
    CliProcess(const std::vector<std::string>& arguments, const std::string& comDir,
               double clockScale, bool onTerminal = false);
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    void Signal(int signalNumber) const;
    // Reads its output to the end and waits for it; a child that outlives `timeoutMs` real ms is
    // killed and reported with exit status -1.
    CliRun Finish(int timeoutMs = 120000);
    // The standard output read so far (Finish() reads the rest).
    std::string OutputSoFar();

  private:
    void Pump(int timeoutMs);
    std::unique_ptr<sim::PseudoTerminal> m_terminal;
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outText;
    std::string m_errText;
};

CliRun RunCli(const std::vector<std::string>& arguments, const std::string& comDir,
              double clockScale = 20.0, bool onTerminal = false);

// The program's JSON output as the tests look at it (read by the JSON library).
struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
    std::vector<std::string> keys;  // an object's member names in the order they came

    [[nodiscard]] bool Has(const std::string& key) const { return members.count(key) != 0; }
    [[nodiscard]] const JsonValue& operator[](const std::string& key) const;
};

// False when `text` is not one complete JSON value.
bool ParseJson(const std::string& text, JsonValue& value);
// Every line of `text` parsed; a line that does not parse fails the calling test.
std::vector<JsonValue> ParseJsonLines(const std::string& text);

}  // namespace testing_support

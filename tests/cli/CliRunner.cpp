// The child-process runner and the JSON reader of the command-line tests.
#include "tests/cli/CliRunner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "platform/JsonText.h"

extern char** environ;

namespace testing_support {

CliProcess::CliProcess(const std::vector<std::string>& arguments, const std::string& comDir,
                       double clockScale, bool onTerminal) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("PELLORIN_COM_DIR=", 0) == 0 || text.rfind("PELLORIN_CLOCK_SCALE=", 0) == 0)
            continue;
        env.push_back(text);
    }
    env.push_back("PELLORIN_COM_DIR=" + comDir);
    std::ostringstream scale;
    scale << clockScale;
    env.push_back("PELLORIN_CLOCK_SCALE=" + scale.str());
    std::vector<std::string> argv = {PELLORIN_CLI_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    std::vector<char*> argvPointers;
    for (std::string& word : argv) argvPointers.push_back(word.data());
    argvPointers.push_back(nullptr);
    std::vector<char*> envPointers;
    for (std::string& entry : env) envPointers.push_back(entry.data());
    envPointers.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
    if (onTerminal) {
        // The slave stays open in the pseudo-terminal object, so the master never reads an end:
        // Finish() stops reading once the child has ended and its output is drained.
        m_terminal = std::make_unique<sim::PseudoTerminal>();
        close(outPipe[0]);
        close(outPipe[1]);
        outPipe[0] = fcntl(m_terminal->MasterFd(), F_DUPFD_CLOEXEC, 0);
        outPipe[1] = fcntl(m_terminal->SlaveFd(), F_DUPFD_CLOEXEC, 0);
    }
    m_pid = fork();
    if (m_pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        // The child starts with no signal blocked, whatever the test's threads had.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argvPointers[0], argvPointers.data(), envPointers.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    m_out = outPipe[0];
    m_err = errPipe[0];
}

CliProcess::~CliProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
    if (m_err >= 0) close(m_err);
}

void CliProcess::Signal(int signalNumber) const {
    if (m_pid > 0) kill(m_pid, signalNumber);
}

void CliProcess::Pump(int timeoutMs) {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0 || fds[i].fd < 0) continue;
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
            (i == 0 ? m_outText : m_errText).append(buffer, static_cast<std::size_t>(got));
        } else {
            close(fds[i].fd);
            (i == 0 ? m_out : m_err) = -1;
        }
    }
}

std::string CliProcess::OutputSoFar() {
    if (m_out >= 0 || m_err >= 0) Pump(0);
    return m_outText;
}

CliRun CliProcess::Finish(int timeoutMs) {
    CliRun run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((m_out >= 0 || m_err >= 0) && std::chrono::steady_clock::now() < deadline) {
        Pump(100);
        if (m_terminal && m_err < 0 && m_out >= 0) {
            // Standard error has ended, so has the child: take what the terminal still holds.
            for (std::size_t before = m_outText.size() + 1; before != m_outText.size();) {
                before = m_outText.size();
                Pump(50);
            }
            close(m_out);
            m_out = -1;
        }
    }
    if (m_pid > 0) {
        int status = 0;
        if (m_out >= 0 || m_err >= 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            ADD_FAILURE() << "pellorin-cli did not end in time";
        } else {
            waitpid(m_pid, &status, 0);
            if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) run.exitStatus = 128 + WTERMSIG(status);
        }
        m_pid = -1;
    }
    run.out = m_outText;
    run.err = m_errText;
    return run;
}

CliRun RunCli(const std::vector<std::string>& arguments, const std::string& comDir,
              double clockScale, bool onTerminal) {
    CliProcess process(arguments, comDir, clockScale, onTerminal);
    return process.Finish();
}

// ---- JSON ------------------------------------------------------------------------------------

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue null;
    const auto found = members.find(key);
    return found == members.end() ? null : found->second;
}

namespace {

JsonValue FromLibrary(const platform::Json& json) {
    JsonValue value;
    if (json.is_boolean()) {
        value.kind = JsonValue::Kind::Bool;
        value.boolean = json.get<bool>();
    } else if (json.is_number()) {
        value.kind = JsonValue::Kind::Number;
        value.number = json.get<double>();
    } else if (json.is_string()) {
        value.kind = JsonValue::Kind::String;
        value.text = json.get<std::string>();
    } else if (json.is_array()) {
        value.kind = JsonValue::Kind::Array;
        for (const platform::Json& item : json) value.items.push_back(FromLibrary(item));
    } else if (json.is_object()) {
        value.kind = JsonValue::Kind::Object;
        for (const auto& [key, member] : json.items()) {
            value.keys.push_back(key);
            value.members[key] = FromLibrary(member);
        }
    }
    return value;
}

}  // namespace

bool ParseJson(const std::string& text, JsonValue& value) {
    platform::Json json;
    const bool parsed = platform::ParseJson(text, json);
    value = FromLibrary(json);
    return parsed;
}

std::vector<JsonValue> ParseJsonLines(const std::string& text) {
    std::vector<JsonValue> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        JsonValue value;
        EXPECT_TRUE(ParseJson(line, value)) << "not a JSON line: " << line;
        values.push_back(value);
    }
    return values;
}

}  // namespace testing_support

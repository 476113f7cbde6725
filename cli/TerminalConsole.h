// The command line's console: the headless console (its own window thread, the engine behind it)
// that also hands every log line and message box to the command's output as it comes.
#pragma once

#include <functional>
#include <string>

#include "headless/HeadlessConsole.h"

namespace pellorin::cli {

class TerminalConsole : public HeadlessConsole {
  public:
    // `sink` receives each line on the job's worker thread; it must not block for long.
    explicit TerminalConsole(std::function<void(const std::string&)> sink)
        : m_sink(std::move(sink)) {}
    // The worker ends before the sink goes.
    ~TerminalConsole() override { Exit(); }

    void InsertLogLine(const std::string& line) override {
        HeadlessConsole::InsertLogLine(line);
        if (!StopRequested()) m_sink(line);
    }
    // The log keeps the window's pieces; the terminal, which shows lines in the order they
    // come, shows the path whole.
    void InsertImagePath(const std::string& path) override {
        for (const std::string& piece : ImagePathPieces(path))
            HeadlessConsole::InsertLogLine(piece);
        if (!StopRequested()) m_sink(path);
    }
    // A message box has no one to close it here: its text becomes a log line.
    void ShowMessage(const std::string& text) override {
        HeadlessConsole::ShowMessage(text);
        if (!StopRequested()) m_sink(text);
    }

  private:
    std::function<void(const std::string&)> m_sink;
};

}  // namespace pellorin::cli

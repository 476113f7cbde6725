// The console the engine reports through: the front end's own, with what the operator is shown
// (log lines, message boxes) and the speed chosen also taken into the job's update record.
#pragma once

#include "console/Console.h"
#include "console/UpdateRecord.h"
#include "link/LinkSpeeds.h"

namespace pellorin {

class RecordingConsole : public Console {
  public:
    RecordingConsole(Console& console, UpdateRecord& record)
        : m_console(console), m_record(record) {}

    void InsertLogLine(const std::string& line) override {
        m_record.AddLogLine(line);
        m_console.InsertLogLine(line);
    }
    // The record holds the path whole; the window shows it as it shows it.
    void InsertImagePath(const std::string& path) override {
        m_record.AddLogLine(path);
        m_console.InsertImagePath(path);
    }
    void ShowMessage(const std::string& text) override {
        m_record.AddMessageBox(text);
        m_console.ShowMessage(text);
    }
    void ImageNotFound(const std::string& fileName,
                       const std::vector<std::string>& folders) override {
        m_console.ImageNotFound(fileName, folders);
    }
    int SelectedBaudIndex() override {
        const int index = m_console.SelectedBaudIndex();
        m_record.SetSpeedAsked(index >= 0 && index < kLinkSpeedCount
                                   ? std::to_string(kLinkSpeeds[index].baud)
                                   : "none (text typed into the speed box)");
        return index;
    }
    void SetProgressRange(int lower, int upper) override {
        m_console.SetProgressRange(lower, upper);
    }
    void SetProgressPos(int position) override { m_console.SetProgressPos(position); }
    void StartTimer(int timerId, unsigned periodMs) override {
        m_console.StartTimer(timerId, periodMs);
    }
    void StopTimer(int timerId) override { m_console.StopTimer(timerId); }
    void EnableJobButtons(bool enable) override { m_console.EnableJobButtons(enable); }
    [[nodiscard]] bool StopRequested() const override { return m_console.StopRequested(); }

  private:
    Console& m_console;
    UpdateRecord& m_record;
};

}  // namespace pellorin

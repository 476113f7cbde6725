// The window's contract, written once and run against both windows (the Qt window and the
// Win32 window's logic): each window's test program implements WindowDriver and instantiates
// the WindowContract suite with its WindowKind.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "console/Console.h"
#include "console/FlashCounters.h"
#include "sim/SimInverter.h"

namespace pellorin::testing_window {

constexpr double kClockScale = 10;    // program ms per real ms: a whole update in about a second
constexpr int kJobTimeoutMs = 15000;  // real ms; generous for sanitizer builds

// One window as the program makes it, its boxes answered, its sound counted and its file
// dialogs played by the test. The engine looks for images beside the program (the folder given
// when the window was opened).
class WindowDriver {
  public:
    virtual ~WindowDriver() = default;

    // The window's console (what the engine's worker calls) and its own handlers.
    virtual Console& Window() = 0;
    virtual FlashCounters& Counters() = 0;
    // A button pressed; a hidden button's command sent as the dialog would.
    virtual void Press(int id) = 0;
    virtual void Tick(int timerId) = 0;
    // Runs the window thread's events until `done` holds or timeoutMs (real) have passed.
    virtual bool Pump(const std::function<bool()>& done, int timeoutMs) = 0;
    [[nodiscard]] virtual int JobMode() const = 0;
    [[nodiscard]] virtual bool NegotiateBaud() const = 0;
    [[nodiscard]] virtual std::string PortName() const = 0;
    [[nodiscard]] virtual bool TimerActive(int timerId) const = 0;
    // The dialog has ended as Cancel ends it.
    [[nodiscard]] virtual bool Closed() const = 0;

    // The engine behind the window.
    [[nodiscard]] virtual bool JobRunning() const = 0;
    [[nodiscard]] virtual bool PortOpen() const = 0;
    [[nodiscard]] virtual std::string ImageFolder() const = 0;
    [[nodiscard]] virtual std::string RecordsFolder() const = 0;

    // What the operator sees. The log newest line first; a control's text (fields, the
    // percentage, a combo's edit field).
    [[nodiscard]] virtual std::vector<std::string> Log() const = 0;
    // Every log line so far was inserted on the window thread.
    [[nodiscard]] virtual bool LogOnWindowThreadOnly() const = 0;
    [[nodiscard]] virtual std::string Text(int id) const = 0;
    [[nodiscard]] virtual bool Enabled(int id) const = 0;
    // "Read Version", "Rest EEPROM" and the current ID are not shown.
    [[nodiscard]] virtual bool HiddenControlsHidden() const = 0;
    [[nodiscard]] virtual std::vector<std::string> ComboItems(int id) const = 0;
    [[nodiscard]] virtual int ComboSelection(int id) const = 0;
    virtual void SelectComboItem(int id, int index) = 0;
    [[nodiscard]] virtual std::pair<int, int> BarRange() const = 0;
    [[nodiscard]] virtual int BarPosition() const = 0;
    [[nodiscard]] virtual std::string ImageFoldersShown() const = 0;

    // The boxes shown, (caption, text), questions included; the answer to the next questions.
    [[nodiscard]] virtual std::vector<std::pair<std::string, std::string>> Boxes() const = 0;
    virtual void AnswerYes(bool yes) = 0;
    [[nodiscard]] virtual int Sounds() const = 0;
    // What the folder chooser answers.
    virtual void FolderToChoose(const std::string& folder) = 0;
    // The menu entries beside About.
    virtual void ChooseImageFolder() = 0;
    // The text "Copy log" put on the clipboard, and what "Save log…" wrote to `path`.
    virtual std::string CopyLog() = 0;
    virtual std::string SaveLog(const std::string& path) = 0;
    // "Open records folder" with no file manager: the folders asked to be shown.
    virtual std::vector<std::string> OpenRecordsFolderWithoutFileManager() = 0;
    // Where the missing image's box says the image folder is chosen.
    [[nodiscard]] virtual std::string ImageFolderEntryPlace() const = 0;
};

// A kind of window: opens one as the program starts (its settings those of the run before),
// and forgets the settings between cases.
class WindowKind {
  public:
    virtual ~WindowKind() = default;
    [[nodiscard]] virtual const char* Name() const = 0;
    virtual std::unique_ptr<WindowDriver> Open(const std::string& programFolder) = 0;
    virtual void ForgetSettings() = 0;
};

// The suite's cases are named after the window ("Qt", "Win32").
inline void PrintTo(WindowKind* kind, std::ostream* out) { *out << kind->Name(); }

// Each case has a port folder of its own (PELLORIN_COM_DIR); the simulated inverter is COM1.
class WindowContract : public ::testing::TestWithParam<WindowKind*> {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<WindowDriver> Open();
    std::unique_ptr<WindowDriver> Open(const std::string& programFolder);
    std::unique_ptr<sim::SimInverter> StartSim(sim::Options options);

    std::filesystem::path m_comDir;
};

}  // namespace pellorin::testing_window

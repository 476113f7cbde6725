// The update engine as the Windows window sees it: a small interface, so that the window's logic
// neither includes the engine's headers (which carry the serial layer's Win32 names) nor needs
// them to be built. MakeUpdateEngine (UpdateEngineAdapter.cpp) wraps the real engine; the preview
// build of the window puts a stand-in behind the same interface.
//
// Threads: every call is made on the window thread. The engine reports through the Console it
// was made with and posts the serial layer's notifications through `post`.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/Console.h"
#include "console/FlashCounters.h"
#include "link/JobControl.h"

namespace pellorin::win32 {

// The job buttons' part (start, wait, commands 1012 and 1002) is JobControl.
class WindowEngine : public JobControl {
  public:
    // The window is closing: the worker unwinds, the port closes; returns once the worker ended.
    virtual void Shutdown() = 0;
    // The job kind the next job will run (the window's initialisation sets it).
    virtual void SetJobMode(int jobMode) = 0;
    [[nodiscard]] virtual bool PortOpen() const = 0;

    // Where the images are looked for when they are not beside the program ("" for nowhere
    // else), as the engine's file calls name it.
    virtual void SetImageFolder(const std::string& folder) = 0;
    [[nodiscard]] virtual std::string ImageFolder() const = 0;
    // Every folder a job looks in for its image, in the order it looks.
    [[nodiscard]] virtual std::vector<std::string> ImageSearchFolders() const = 0;
    // The folder of the update records, as the engine's file calls name it.
    [[nodiscard]] virtual std::string RecordsFolder() const = 0;

    // The serial layer's notification, on the window thread.
    virtual void OnSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // The engine's millisecond clock (timeGetTime), the base of FlashStartTime.
    [[nodiscard]] virtual std::uint32_t Now() const = 0;
    // The real length of a timer period given in the engine's milliseconds (tests scale the
    // clock).
    [[nodiscard]] virtual unsigned RealPeriodMs(unsigned periodMs) const = 0;
};

// Posts a serial notification to the window; false when it was dropped.
using PostSerialMessageFn = std::function<bool(std::uintptr_t wParam, std::intptr_t lParam)>;

// The real engine. `imageFolder` is where it looks for dsp.hex and mcu.hex ("" for the folder
// of the executable).
[[nodiscard]] std::unique_ptr<WindowEngine> MakeUpdateEngine(Console& console,
                                                             FlashCounters& counters,
                                                             PostSerialMessageFn post,
                                                             const std::string& imageFolder = {});

}  // namespace pellorin::win32

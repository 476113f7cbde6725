// The whole engine a window owns: the device link (port, reply channel, job runner) with the
// flash procedures plugged into it. The window constructs it with itself as console and window
// object, and calls Link's StartJob, OnSerialMessage, ClosePort and Shutdown on its own thread.
#pragma once

#include "app/console/FlashCounters.h"
#include "app/flash/FlashEngine.h"
#include "app/link/DeviceLink.h"

namespace pellorin {

class UpdateEngine {
public:
    UpdateEngine(Console& console, platform::WindowObject& window, FlashCounters& counters)
        : Link(console, window), Flash(Link, counters) {
        Link.SetProcedures(&Flash);
    }
    ~UpdateEngine() { Link.Shutdown(); }  // before Flash goes: the worker may be inside it
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    DeviceLink Link;
    FlashEngine Flash;
};

}  // namespace pellorin

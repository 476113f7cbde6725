// Pellorin.exe: the operator's window on Windows with the update engine behind it.
#include <windows.h>

#include "platform/Trace.h"
#include "win32/Win32Dialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace pellorin;
    platform::TraceOnlyWhenAsked();
    win32::CPellorinApp application(
        instance, [](Console& console, FlashCounters& counters, win32::PostSerialMessageFn post) {
            return win32::MakeUpdateEngine(console, counters, std::move(post));
        });
    application.InitInstance();
    return 0;
}

// On Windows the registered message is the system's, and a posted notification reaches a real
// window's queue without the poster waiting for the window's thread.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Event.h"
#include "platform/Messages.h"

TEST(NativeWindow, TheRegisteredIdIsTheSystemsAndAPostReachesTheWindowsQueue) {
    const UINT id = platform::RegisterWindowMessage("CSerialWnd_DefaultComMsg");
    EXPECT_EQ(id, ::RegisterWindowMessageA("CSerialWnd_DefaultComMsg"));
    EXPECT_GE(id, 0xC000u);

    platform::Event ready;
    HWND window = nullptr;
    MSG received{};
    std::thread windowThread([&] {
        window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
        ready.Set();
        while (window && GetMessageA(&received, nullptr, 0, 0) > 0) {
            if (received.message == id) break;
        }
        if (window) DestroyWindow(window);
    });
    ASSERT_EQ(ready.Wait(10000), WAIT_OBJECT_0);
    ASSERT_NE(window, nullptr);
    platform::NativeWindowTarget target(window);
    EXPECT_TRUE(platform::PostMessage(&target, id, 0x00020001, 0));
    windowThread.join();
    EXPECT_EQ(received.message, id);
    EXPECT_EQ(received.wParam, WPARAM{0x00020001});
    EXPECT_EQ(received.lParam, LPARAM{0});
}

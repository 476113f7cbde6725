// On Windows a path from the command line or a device name is in the ANSI code page: the JSON
// text carries it as UTF-8 all the same, and one line of valid JSON whatever it holds.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/JsonText.h"

TEST(JsonTextOnWindows, TextsInTheAnsiCodePageComeOutAsUtf8) {
    const std::wstring wide = L"C:\\Prüfung\\dsp.hex";
    std::string ansi(64, '\0');
    BOOL lost = FALSE;
    const bool utf8 = GetACP() == CP_UTF8;  // which takes no "lost" flag
    const int length =
        WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, ansi.data(),
                            static_cast<int>(ansi.size()), nullptr, utf8 ? nullptr : &lost);
    ASSERT_GT(length, 0);
    if (lost) GTEST_SKIP() << "the ANSI code page " << GetACP() << " has no u with diaeresis";
    ansi.resize(static_cast<std::size_t>(length) - 1);
    EXPECT_EQ(platform::JsonText({{"image", ansi}, {"line", "\x1b[2J"}}),
              R"({"image":"C:\\Prüfung\\dsp.hex","line":"\u001b[2J"})");
}

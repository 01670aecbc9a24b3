// The code-page adapter: ASCII comes back unchanged; a character the ANSI
// code page lacks comes back as its replacement character.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/Win32CodePage.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::win32::Win32CodePage;

TEST(Win32CodePage, AsciiRoundTripIsIdentity) {
    Win32CodePage codePage;
    std::wstring ascii;
    for (wchar_t c = 0x20; c < 0x7F; ++c) ascii += c;
    EXPECT_EQ(codePage.AnsiRoundTrip(ascii), ascii);
    EXPECT_EQ(codePage.AnsiRoundTrip(L""), L"");
    EXPECT_EQ(codePage.AnsiRoundTrip(std::wstring(L"USB#HUB\0tail", 12)), L"USB#HUB");
}

TEST(Win32CodePage, CharactersOutsideTheCodePageAreReplaced) {
    // U+4E2D is in no single-byte code page.
    if (::GetACP() == 936 || ::GetACP() == 950 || ::GetACP() == 932 || ::GetACP() == 949) GTEST_SKIP();
    Win32CodePage codePage;
    const std::wstring back = codePage.AnsiRoundTrip(L"USB#\u4E2D#X");
    ASSERT_EQ(back.size(), 7u);
    EXPECT_EQ(back.substr(0, 4), L"USB#");
    EXPECT_NE(back[4], L'\u4E2D');
    EXPECT_EQ(back.substr(5), L"#X");
}

// Device texts: bytes read as the thread's ANSI code page reads them, cut at
// the first NUL; a byte above 0x7F becomes that code page's character.
TEST(Win32CodePage, ThreadAnsiTextsWiden) {
    Win32CodePage codePage;
    EXPECT_EQ(codePage.ThreadAnsiToWide("Vantrel SN-01"), L"Vantrel SN-01");
    EXPECT_EQ(codePage.ThreadAnsiToWide(""), L"");
    EXPECT_EQ(codePage.ThreadAnsiToWide(std::string("SN\0tail", 7)), L"SN");
    wchar_t expected = 0;
    const char high = static_cast<char>(0xE9);
    ASSERT_EQ(::MultiByteToWideChar(CP_THREAD_ACP, 0, &high, 1, &expected, 1), 1);
    EXPECT_EQ(codePage.ThreadAnsiToWide(std::string("x") + high), std::wstring(L"x") + expected);
}

}  // namespace

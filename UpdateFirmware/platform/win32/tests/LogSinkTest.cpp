#include <gtest/gtest.h>

#include <string>

#include "platform/win32/Win32LogSink.h"
#include "platform/win32/WindowsApi.h"

namespace {

// OutputDebugStringW hands its text to a debugger by raising a "debug print"
// exception: the wide form (0x4001000A: length, wide text, ...) on newer
// systems, the narrow form (0x40010006: length, narrow text) on older ones and
// under Wine, whose wide call converts and goes through the narrow one. A
// vectored handler sees either before the system's own handler swallows it.
constexpr DWORD kDebugPrintNarrow = 0x40010006;
constexpr DWORD kDebugPrintWide = 0x4001000A;

std::wstring g_seenWide;
std::string g_seenNarrow;
int g_prints = 0;

LONG CALLBACK CatchDebugPrint(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode == kDebugPrintWide && r->NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1]);
        if (text) g_seenWide = text;
        ++g_prints;
    } else if (r->ExceptionCode == kDebugPrintNarrow && r->NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
        if (text) g_seenNarrow = text;
        ++g_prints;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(Win32LogSink, RecordReachesOutputDebugStringW) {
    g_seenWide.clear();
    g_seenNarrow.clear();
    g_prints = 0;
    void* handler = ::AddVectoredExceptionHandler(1, CatchDebugPrint);
    ASSERT_NE(handler, nullptr);

    platform::win32::Win32LogSink sink;
    sink.OutputDebugString(L"\r\nERR::Win32LogSink probe 262, code = 22200c");
    ::RemoveVectoredExceptionHandler(handler);

    ASSERT_GT(g_prints, 0) << "no debug print was raised";
    if (!g_seenWide.empty()) {
        EXPECT_EQ(g_seenWide, L"\r\nERR::Win32LogSink probe 262, code = 22200c");
    }
    if (!g_seenNarrow.empty()) {
        EXPECT_EQ(g_seenNarrow, "\r\nERR::Win32LogSink probe 262, code = 22200c");
    }
    EXPECT_FALSE(g_seenWide.empty() && g_seenNarrow.empty());
}

}  // namespace

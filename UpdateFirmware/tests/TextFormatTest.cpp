#include "hubaccess/TextFormat.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using textfmt::Format;

struct Case {
    int line;
    std::wstring actual;
    std::wstring expected;
};

#define CASE(expected, ...) Case{__LINE__, Format(__VA_ARGS__), expected}

enum class Small : std::uint8_t { Seven = 7 };

TEST(TextFormat, FormatsLikeTheWindowsWidePrintf) {
    const std::wstring pointerZeros(sizeof(void*) * 2 - 4, L'0');
    const char unterminated[3] = {'a', 'b', 'c'};
    const std::wstring withNul(L"ab\0cd", 5);

    const Case cases[] = {
        // Method name and line, wide and narrow names.
        CASE(L"CVNTLFILTER0::Open:42: ", L"%s:%d: ", L"CVNTLFILTER0::Open", 42),
        CASE(L"Open:42: ", L"%s:%d: ", "Open", 42),
        CASE(L"a b c d", L"%s %S %s %S", std::wstring(L"a"), std::string("b"),
             std::wstring_view(L"c"), std::string_view("d")),
        // Serial numbers: zero-padded to 12 as the Windows printf pads texts.
        CASE(L"3:0123456789AB\r\n", L"%d:%012S\r\n", 3, "0123456789AB"),
        CASE(L"3:000000012345\r\n", L"%d:%012S\r\n", 3, "12345"),
        CASE(L"0123456789ABCD", L"%012S", "0123456789ABCD"),
        CASE(L"key=SYSTEM\\X, 5", L"key=%ws, %d", std::wstring(L"SYSTEM\\X"), 5),
        // Bytes, ioctl codes, error numbers.
        CASE(L"001ab203ff10", L"%02x%02x%02x%02x%02x%02x", std::uint8_t{0x00}, std::uint8_t{0x1A},
             std::uint8_t{0xB2}, std::uint8_t{0x03}, std::uint8_t{0xFF}, std::uint8_t{0x10}),
        CASE(L"22200c 22200C 0022200c", L"%x %X %08x", 0x22200Cu, 0x22200Cu, 0x22200Cu),
        CASE(L"-5 -5", L"%d %i", -5, -5L),
        CASE(L"-2147483648 2147483647", L"%ld %ld", std::numeric_limits<std::int32_t>::min(),
             std::numeric_limits<std::int32_t>::max()),
        CASE(L"-9223372036854775808 9223372036854775807", L"%lld %lld",
             std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()),
        // Bit width: modifier, or 64 for 64-bit arguments.
        CASE(L"9223372036854775807 18446744073709551615", L"%d %u",
             std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::uint64_t>::max()),
        CASE(L"-1 -1 4294967295", L"%d %ld %u", 0xFFFFFFFFu, 0xFFFFFFFFu, -1),
        CASE(L"ffffffff ffffffffffffffff ffff ff", L"%x %llx %hx %hhx", -1, -1, -1, -1),
        CASE(L"ffffffffffffffff ffffffff", L"%x %I32x", std::int64_t{-1}, std::int64_t{-1}),
        CASE(L"4464 44 -1", L"%hd %hhu %hhd", 70000, 300, 255),
        CASE(L"5 6 7 8 9 10 11", L"%I64d %jd %zd %td %Id %lu %llu", 5, 6, 7, 8, 9, 10u, 11u),
        CASE(L"1 7", L"%d %d", true, Small::Seven),
        // Flags, width, precision.
        CASE(L"42   | +5  5 -5", L"%-5d| %+d % d %+d", 42, 5, 5, -5),
        CASE(L"0xff 0XFF 0 0x000000ff", L"%#x %#X %#x %#010x", 255, 255, 0, 255),
        CASE(L"10 010 0", L"%o %#o %#o", 8, 8, 0),
        CASE(L"-0042 007      007 |", L"%05d %.3d %08.3d %.0d|", -42, 7, 7, 0),
        CASE(L"   42 42   | 42   |3.14", L"%*d %-*d| %*d|%.*f", 5, 42, 5, 42, -5, 42, 2, 3.14159),
        // Floating point.
        CASE(L" 3.14 1.500000 -0003.50 2.", L"%5.2f %f %08.2f %#.0f", 3.14159, 1.5, -3.5, 2.0),
        CASE(L"1.234568e+04 1.2E+04 1.e+00", L"%e %.1E %#.0e", 12345.678, 12345.678, 1.0),
        CASE(L"0.0001 1e-05 1.23457e+08 100 1.00000 1.5", L"%g %g %g %g %#g %G", 0.0001, 0.00001,
             123456789.0, 100.0, 1.0, 1.5f),
        CASE(L"inf  -INF nan", L"%f %5F %g", std::numeric_limits<double>::infinity(),
             -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()),
        // Characters, texts, pointers.
        CASE(L"100% done %", L"100%% done %5%"),
        CASE(L"A A \u00e9 \u263a   A|A  |", L"%c %c %c %c %3c|%-3c|", L'A', 'A', '\xe9', 0x263A, L'B' - 1,
             'A'),
        CASE(L"\u00e9t\u00e9 abc abc ab", L"%s %s %.3s %s", "\xe9t\xe9", unterminated, "abcdef",
             withNul),
        CASE(L"ab    |    ab|(null) (null) (null) (nu", L"%-6s|%6s|%s %S %s %.3s", "ab", L"ab",
             static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr), nullptr,
             static_cast<const char*>(nullptr)),
        CASE(pointerZeros + L"12AB " + pointerZeros + L"0010",
             L"%p %p", reinterpret_cast<const void*>(std::uintptr_t{0x12AB}), 16),
        // Mismatches, missing and extra arguments.
        CASE(L"<bad %d arg> y", L"%d %s", L"x", L"y"),
        CASE(L"<bad %s arg> <bad %08lx arg> <bad %f arg> <bad %d arg>", L"%s %08lx %f %d", 5, "str",
             1, 1.5),
        CASE(L"<bad %p arg> <bad %c arg> <bad %*d arg> 3", L"%p %c %*d %d", L"x", "x", L"w", 5, 3),
        CASE(L"1 <missing %d arg>", L"%d %d", 1),
        CASE(L"<missing %s arg>|<missing %*.*f arg>", L"%s|%*.*f"),
        CASE(L"1", L"%d", 1, 2, L"extra"),
        // Unknown conversions and a cut-off directive are copied through.
        CASE(L"%y %5k %n 7 abc%", L"%y %5k %n %d abc%", 7),
        CASE(L"x%-08l", L"x%-08l", 1),
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "line " << c.line);
        EXPECT_EQ(c.expected, c.actual);
    }
    EXPECT_EQ(L"<null format>", Format(nullptr));
}

TEST(TextFormat, FormatToAppendsAtMostMaxChars) {
    struct CutCase {
        std::size_t maxChars;
        const wchar_t* expected;
    };
    const CutCase cases[] = {
        {0, L">"}, {3, L">ab "}, {8, L">ab   42:"}, {9, L">ab   42:\u00e9"},
        {100, L">ab   42:\u00e9t\u00e9"},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "maxChars " << c.maxChars);
        std::wstring out = L">";
        textfmt::FormatTo(out, c.maxChars, L"%s%5d:%s", L"ab", 42, "\xe9t\xe9");
        EXPECT_EQ(c.expected, out);
    }
}

}  // namespace

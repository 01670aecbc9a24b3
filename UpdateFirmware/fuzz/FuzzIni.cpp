// Fuzz target: the INI parser on any text. Besides crashes and sanitizer
// reports it checks what every parse must leave behind: trimmed values
// without a comment or a line end, and a later line that still counts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "app/Ini.h"

namespace {

bool Clean(const std::wstring& value) {
    if (value.find_first_of(L"/\n") != std::wstring::npos) return false;
    if (value.empty()) return true;
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r'; };
    return !blank(value.front()) && !blank(value.back());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    app::Ini ini;
    const app::IniParseResult r = ini.Parse(text);
    for (const std::wstring* v : {&ini.m_strFWVersion, &ini.m_strChipType, &ini.m_strMinorByteOfChipType,
                                  &ini.m_strManufactureString, &ini.m_strProductString, &ini.m_strVID, &ini.m_strPID,
                                  &ini.m_strPartOfFWVersion, &ini.m_strBoundingOption1, &ini.m_strBoundingOption2,
                                  &ini.m_strMinorByteOfChipTypeBiggerThen, &ini.m_strRegEditSubkey,
                                  &ini.m_strRegEditKeyname, &ini.m_strRegEditType, &ini.m_strRegEditValue})
        FUZZ_CHECK(Clean(*v));
    FUZZ_CHECK(Clean(r.lastValue));

    // The same text parses the same way; a known line after it is applied
    // and changes nothing of the verdict.
    app::Ini again;
    const app::IniParseResult r2 = again.Parse(text + "\nvid = 1234 / tail\ncheck_U3_only=300\n");
    FUZZ_CHECK(r2.ok == r.ok);
    FUZZ_CHECK(again.m_strVID == L"1234");
    FUZZ_CHECK(again.m_ucCheckU3Only == 44);
    FUZZ_CHECK(again.m_strFWVersion == ini.m_strFWVersion);
    return 0;
}

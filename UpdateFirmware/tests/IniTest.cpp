// The INI configuration: the parser as one table, the embedded text, the
// extraction, load and deletion of the file; and the two text and file
// helpers of the application.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PayloadMachine.h"
#include "app/AppHelpers.h"
#include "app/Ini.h"
#include "app/TextHelpers.h"

namespace {

using app::BYTE;
using testing_machine::Bytes;
using testing_machine::PayloadMachine;

struct ParseCase {
    const char* name;
    std::string text;
    bool ok;
    const wchar_t* lastKey;
    const wchar_t* lastValue;
    BYTE checkVid;
    BYTE checkU3;
    const wchar_t* vid;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class IniParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(IniParse, Line) {
    const ParseCase& c = GetParam();
    app::Ini ini;
    ini.m_strVID = L"(unset)";
    const app::IniParseResult r = ini.Parse(c.text);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.lastKey, c.lastKey);
    EXPECT_EQ(r.lastValue, c.lastValue);
    EXPECT_EQ(ini.m_ucCheckVID, c.checkVid);
    EXPECT_EQ(ini.m_ucCheckU3Only, c.checkU3);
    EXPECT_EQ(ini.m_strVID, c.vid);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniParse,
    ::testing::Values(
        ParseCase{"KeyCase", "CHECK_VID=1\r\n", true, L"CHECK_VID", L"1", 1, 0, L"(unset)"},
        ParseCase{"CommentAfterSlash", "vid = 103C / the vendor\r\n", true, L"vid", L"103C", 0, 0, L"103C"},
        ParseCase{"NoEquals", "check_vid=7\r\ncheck_vid\r\n", true, L"check_vid", L"", 0, 0, L"(unset)"},
        ParseCase{"LowByte", "check_U3_only=300\ncheck_vid=-1\n", true, L"check_vid", L"-1", 255, 44, L"(unset)"},
        ParseCase{"LongNumber", "check_U3_only=99999999999999999999\n", true, L"check_U3_only",
                  L"99999999999999999999", 0, 255, L"(unset)"},  // 10^20 - 1 mod 256
        ParseCase{"NoDigits", "check_vid=x1\r\n", true, L"check_vid", L"x1", 0, 0, L"(unset)"},
        ParseCase{"EmptyLinesAndSections", "\r\n[REGEDIT]\r\n\r\n[chk_item]\r\ncheck_vid=1\r\n\r\n", true,
                  L"check_vid", L"1", 1, 0, L"(unset)"},
        ParseCase{"BlankLineFails", "check_vid=1\r\n   \r\nvid=103C\r\n", false, L"vid", L"103C", 1, 0, L"103C"},
        ParseCase{"SlashLineFails", "//comment\r\ncheck_vid=2\r\n", false, L"check_vid", L"2", 2, 0, L"(unset)"},
        ParseCase{"UnknownKeyKeepsOthers", "check_vid=1\r\nbogus=5\r\nvid=ABCD\r\n", false, L"vid", L"ABCD", 1, 0,
                  L"ABCD"},
        ParseCase{"TwiceKeepsLast", "vid=1111\r\nVID=2222\r\n", true, L"VID", L"2222", 0, 0, L"2222"},
        ParseCase{"ValueWithEquals", "vid=a=b/c\r\n", true, L"vid", L"a=b", 0, 0, L"a=b"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(Ini, EmbeddedTextGivesThePartValues) {
    app::Ini ini;
    const auto bytes = testing_machine::ReadHostFile(FW_RES_DIR "/VTL262xFWUpg.ini");
    ASSERT_FALSE(bytes.empty());
    ASSERT_TRUE(ini.Parse(std::string(bytes.begin(), bytes.end())).ok);
    const std::vector<BYTE> numbers = {ini.m_ucCheckFWVersion, ini.m_ucCheckChipType, ini.m_ucCheckU3Only,
                                       ini.m_ucCheckU2Only, ini.m_ucCheckProductString,
                                       ini.m_ucCheckManufactureString, ini.m_ucCheckVID, ini.m_ucCheckPID,
                                       ini.m_ucCheckPartOfFWVersion, ini.m_ucCheckBoundingOption,
                                       ini.m_ucCheckMinorByteOfChipTypeBiggerThen, ini.m_ucEnableRelinkToRomCode,
                                       ini.m_ucEnableRelinkAfterFWUpg, ini.m_ucStartAddressOfPartOfFWVersion,
                                       ini.m_ucPartOfFWVersionLength, ini.m_ucRegEditEnable};
    EXPECT_EQ(numbers, (std::vector<BYTE>{0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 8, 2, 0}));
    const std::vector<std::wstring> texts = {
        ini.m_strFWVersion,      ini.m_strChipType,        ini.m_strMinorByteOfChipType, ini.m_strManufactureString,
        ini.m_strProductString,  ini.m_strVID,             ini.m_strPID,                 ini.m_strPartOfFWVersion,
        ini.m_strBoundingOption1, ini.m_strBoundingOption2, ini.m_strMinorByteOfChipTypeBiggerThen,
        ini.m_strRegEditSubkey,  ini.m_strRegEditKeyname,  ini.m_strRegEditType,         ini.m_strRegEditValue};
    EXPECT_EQ(texts, (std::vector<std::wstring>{L"121030000000", L"A", L"5", L"VANTREL", L"USB3.0 Serial", L"103C",
                                                L"0570", L"37", L"Support UASP", L"3", L"3",
                                                L"SOFTWARE\\\\VANTREL\\\\FWUpdate", L"VersionNumber", L"REG_SZ",
                                                L"130925211106"}));
}

TEST(Ini, ExtractReplacesAStaleFileLoadsAndDeletes) {
    PayloadMachine m;
    m.resources.AddText(L"INI", 138, "check_vid=1\r\nvid=103C\r\n");
    const std::wstring path = L"C:\\Tool\\VTL262xFWUpg.ini";
    m.files.PutFile(path, Bytes("vid=DEAD\r\n"));
    app::Ini ini;
    ASSERT_EQ(ini.nExtractINILib(m.ports, L"C:\\Tool"), 0);
    EXPECT_EQ(m.File(path), Bytes("check_vid=1\r\nvid=103C\r\n"));
    EXPECT_EQ(ini.vLoadINIFile(m.ports, path), 1);
    EXPECT_EQ(ini.m_strVID, L"103C");
    EXPECT_EQ(ini.nDeleteINIFile(m.ports, L"C:\\Tool"), 1);
    EXPECT_FALSE(m.files.Exists(path));
    EXPECT_EQ(ini.nDeleteINIFile(m.ports, L"C:\\Tool"), 0);
    EXPECT_EQ(ini.vLoadINIFile(m.ports, path), 0);  // gone: no message
    EXPECT_TRUE(m.ui.Messages().empty());

    // A stale file that cannot be deleted is never loaded in place of ours.
    m.files.PutFile(path, Bytes("vid=DEAD\r\n"));
    m.files.SetReadOnly(path, true);
    EXPECT_EQ(ini.nExtractINILib(m.ports, L"C:\\Tool"), 255);
    EXPECT_TRUE(m.sink.HasRecord(L"ERR", L"Ini::nExtractINILib", L" Load bin file WriteFile Failed, Erroe=5"));

    // A long program directory is no buffer's business.
    const std::wstring longDir = L"C:\\" + std::wstring(300, L'd');
    m.files.MakeDirectory(longDir);
    EXPECT_EQ(ini.nExtractINILib(m.ports, longDir), 0);
    // A short write leaves nothing behind.
    sim::FileFault shortWrite;
    shortWrite.op = sim::FileOp::Write;
    shortWrite.shortWrite = true;
    shortWrite.shortBytes = 4;
    m.files.AddFault(shortWrite);
    EXPECT_EQ(ini.nExtractINILib(m.ports, L"C:\\Tool\\..\\" + longDir.substr(3)), 255);
    EXPECT_FALSE(m.files.Exists(longDir + L"\\VTL262xFWUpg.ini"));
}

TEST(Ini, FailedLoadShowsTheLastLineUnlessAskedNotTo) {
    PayloadMachine m;
    const std::wstring path = L"C:\\Tool\\VTL262xFWUpg.ini";
    m.files.PutFile(path, Bytes("check_vid=1\r\nunknown=9\r\nvid=103C / x\r\n"));
    app::Ini ini;
    EXPECT_EQ(ini.vLoadINIFile(m.ports, path), 0);
    ASSERT_EQ(m.ui.Messages().size(), 1u);
    EXPECT_EQ(m.ui.Messages()[0].text, L"Load Ini File failed, strItemName[vid],strItemValue[103C] ");
    EXPECT_EQ(ini.m_ucCheckVID, 1);
    m.ui.Clear();
    EXPECT_EQ(ini.vLoadINIFile(m.ports, path, 0), 0);
    EXPECT_TRUE(m.ui.Messages().empty());
    EXPECT_TRUE(m.sink.Contains(L"Load Ini File failed, strItemName[vid]"));
}

TEST(AppHelpers, HexTextAndFileExists) {
    const std::vector<std::pair<std::wstring, int>> cases = {
        {L"", 0},          {L"1F", 0x1F},         {L"1f", 0x1F},          {L"7FFFFFFF", 0x7FFFFFFF},
        {L"FFFFFFFF", -1}, {L"FFFFFFFFF", -1},    {L"123456789", 0x23456789}, {L"1G", 0x10},
        {L"G1", 0x01},     {L" 2", 0x02},         {L"80000000", -2147483647 - 1}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(app::nHexStrToInt(text), value) << std::string(text.begin(), text.end());
    }
    PayloadMachine m;
    m.files.PutFile(L"C:\\Tool\\a.bin", Bytes("x"));
    EXPECT_EQ(app::bIsFileExist(m.files, L"C:\\Tool\\a.bin"), 1);
    EXPECT_EQ(app::bIsFileExist(m.files, L"C:\\Tool"), 1);
    EXPECT_EQ(app::bIsFileExist(m.files, L"C:\\Tool\\b.bin"), 0);
    EXPECT_EQ(app::bIsFileExist(m.files, L"C:\\Tool\\*.bin"), 0);
}

TEST(AppHelpers, TrimTakesTheSixBlanksAtBothEndsOnly) {
    // A no-break space, an ideographic space and a NUL are text, whatever
    // the locale; blanks inside the text stay.
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"", L""},
        {L" \t\r\n\v\f", L""},
        {L"\v A B \f", L"A B"},
        {L"\u00A0A\u00A0", L"\u00A0A\u00A0"},
        {L"\u3000A ", L"\u3000A"},
        {std::wstring(L" A\0", 3), std::wstring(L"A\0", 2)},
        {L"A\t\tB", L"A\t\tB"}};
    for (const auto& [text, trimmed] : cases) {
        EXPECT_EQ(app::Trim(text), trimmed) << ::testing::PrintToString(text);
    }
}

}  // namespace

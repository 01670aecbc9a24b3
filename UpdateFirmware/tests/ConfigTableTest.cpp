// The default configuration table, byte for byte, and the register-table
// text file reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HubUtilityMachine.h"

namespace ha = hubaccess;
using Table = std::array<ha::BYTE, ha::kConfigTableSize>;

namespace {

const char kGoldenDefault[] =
    "FFFFFFFF31323334353637383941424344454600FFFFFFFF56616E7472656C00"
    "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
    "FFFFFFFF56544C3236327800FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
    "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
    "FFFFFFFF7D7A62320001FFFFFF2D888888030103480C00009E9C9C9C9C42C0C0"
    "C0C0300440EE13033D1960020000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000006222FFFFFFFFAA49";

Table Golden() {
    Table t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<ha::BYTE>(std::stoi(std::string(kGoldenDefault + 2 * i, 2), nullptr, 16));
    return t;
}

Table Default(ha::CHubUtility& u) {
    Table t{};
    u.BuildDefaultConfigTable(t);
    return t;
}

TEST(ConfigTableTest, DefaultTableIsTheGoldenOne) {
    testing_machine::HubUtilityMachine m;
    const Table t = Default(*m.utility);
    EXPECT_EQ(t, Golden());
    EXPECT_EQ(t[0xFE], 0xAA);
    EXPECT_EQ(t[0xFF], 0x49);
    unsigned from4 = 0, from0 = 0;
    for (int i = 0; i < 0xFF; ++i) (i >= 4 ? from4 : from0) += t[i];
    EXPECT_EQ(from4 & 0xFF, t[0xFF]);
    EXPECT_NE((from4 + from0) & 0xFF, t[0xFF]);  // bytes 0..3 are not summed
}

TEST(ConfigTableTest, RegisterByteIncrementRaisesTheChecksumByOne) {
    testing_machine::HubUtilityMachine m;
    const Table base = Default(*m.utility);
    for (std::size_t i : {0u, 30u, 31u, 106u}) {
        SCOPED_TRACE(i);
        m.utility->m_ucRegTable = ha::kDefaultRegTable;
        ++m.utility->m_ucRegTable[i];
        const Table t = Default(*m.utility);
        EXPECT_EQ(t[0x8D + i], static_cast<ha::BYTE>(base[0x8D + i] + 1));
        EXPECT_EQ(t[0xFF], static_cast<ha::BYTE>(base[0xFF] + 1));
    }
}

TEST(ConfigTableTest, SetMConfigInfoFillsTheRowAndTheFileTableOnly) {
    testing_machine::HubUtilityMachine m;
    m.HubDev();
    m.utility->m_ucFileConfigTable.fill(0x11);
    m.devList.rows[2].m_ucConfigTable.fill(0x22);
    m.devList.rows[3].m_ucConfigTable.fill(0x33);

    m.utility->vSetMConfigInfo(3);
    EXPECT_EQ(m.devList.rows[3].m_ucConfigTable, Golden());
    EXPECT_EQ(m.utility->m_ucFileConfigTable, Golden());
    EXPECT_EQ(m.devList.rows[2].m_ucConfigTable[0], 0x22);

    // A row beyond the table in use writes nothing.
    m.utility->m_ucFileConfigTable.fill(0x11);
    m.utility->vSetMConfigInfo(ha::kDevListRowsUsed);
    EXPECT_EQ(m.utility->m_ucFileConfigTable[0x10], 0x11);
    EXPECT_EQ(m.devList.rows[ha::kDevListRowsUsed].m_ucConfigTable[0x10], 0);
}

// UTF-16LE bytes of `text`, optionally behind a byte-order mark.
std::vector<std::uint8_t> Utf16(const std::wstring& text, bool bom = false) {
    std::vector<std::uint8_t> out;
    if (bom) out = {0xFF, 0xFE};
    for (wchar_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    return out;
}

TEST(ConfigTableTest, TableFileReaderTakesTheValueFieldsBeforeTheTab) {
    std::wstring lines120;
    std::vector<ha::BYTE> first107;
    for (int i = 1; i <= 120; ++i) {
        // Long comments: lines cross the reader's 4 KiB chunks.
        const wchar_t hex[] = L"0123456789ABCDEF";
        lines120 += std::wstring(L"0x") + hex[i >> 4] + hex[i & 15] + L"\tregister " + std::wstring(40, L'.') + L"\r\n";
        if (i <= 107) first107.push_back(static_cast<ha::BYTE>(i));
    }
    struct Case {
        const char* name;
        std::vector<std::uint8_t> file;
        std::vector<ha::BYTE> expected;  // leading bytes; the rest stay 0
    };
    const std::vector<Case> cases = {
        {"heading, CRLF", Utf16(L"DefaultValue\tcomment\r\n0x2d\tcomment\r\n"), {0x2D}},
        {"heading in other case", Utf16(L"defaultVALUE\t0x10\r\n0x2d\tc\r\n"), {0x2D}},
        {"low byte kept", Utf16(L"0x1FF\tc\r\n0x0A\tc\r\n"), {0xFF, 0x0A}},
        {"no 0x, no tab, empty", Utf16(L"45\tc\r\n0x12\r\n\r\n0x13\tc\r\n"), {0x13}},
        {"LF only, last line open", Utf16(L"0x01\ta\n0x02\tb\n0x03\tc"), {1, 2, 3}},
        {"byte-order mark", Utf16(L"0x2d\tc\r\n0x3e\tc\r\n", true), {0x2D, 0x3E}},
        {"120 lines", Utf16(lines120), first107},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_machine::HubUtilityMachine m;
        m.files.PutFile(L"C:\\Tool\\regs.txt", c.file);
        ASSERT_EQ(m.utility->vLoadRegTableFromFile(L"C:\\Tool\\regs.txt"), ha::TRUE);
        std::array<ha::BYTE, ha::kRegTableSize> expected{};
        std::copy(c.expected.begin(), c.expected.end(), expected.begin());
        EXPECT_EQ(m.utility->m_ucRegTable, expected);
        EXPECT_EQ(m.FileHandlesOpen(), 0);
    }
}

TEST(ConfigTableTest, TableFileFailuresAndTheBuiltInTable) {
    testing_machine::HubUtilityMachine m;
    const std::array<ha::BYTE, ha::kRegTableSize> zeros{};
    EXPECT_EQ(m.utility->vLoadRegTableFromFile(L"C:\\Tool\\missing.txt"), ha::FALSE);
    EXPECT_EQ(m.utility->m_ucRegTable, zeros);
    EXPECT_TRUE(m.HasRecord(L"WRN", L"CHubUtility::vLoadRegTableFromFile",
                            L"vLoadRegTableFromFile: strTablePath : C:\\Tool\\missing.txt , dwErrorCode"));

    m.files.PutFile(L"C:\\Tool\\regs.txt", Utf16(L"0x01\tc\r\n"));
    sim::FileFault fault;
    fault.op = sim::FileOp::Read;
    m.files.AddFault(fault);
    EXPECT_EQ(m.utility->vLoadRegTableFromFile(L"C:\\Tool\\regs.txt"), ha::FALSE);
    EXPECT_EQ(m.FileHandlesOpen(), 0);

    EXPECT_EQ(m.utility->vLoadRegTableFromFile(L""), ha::TRUE);
    EXPECT_EQ(m.utility->m_ucRegTable, ha::kDefaultRegTable);
    EXPECT_EQ(m.utility->m_ucRegTable[0], 0x2D);
    EXPECT_EQ(m.utility->m_ucRegTable[30], 0x02);
}

}  // namespace

// The configuration table: the built-in register values, the default table
// and the register-table text file.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"

namespace hubaccess {

const std::array<BYTE, kRegTableSize> kDefaultRegTable = {
    0x2D, 0x88, 0x88, 0x88, 0x03, 0x01, 0x03, 0x48, 0x0C, 0x00, 0x00, 0x9E, 0x9C, 0x9C, 0x9C, 0x9C,
    0x42, 0xC0, 0xC0, 0xC0, 0xC0, 0x30, 0x04, 0x40, 0xEE, 0x13, 0x03, 0x3D, 0x19, 0x60, 0x02,
    // the remaining 76 values are 0
};

namespace {

// Offsets within the 256-byte configuration table.
constexpr std::size_t kSerialOffset = 0x04;
constexpr std::size_t kManufacturerOffset = 0x18;
constexpr std::size_t kProductOffset = 0x44;
constexpr std::size_t kVidOffset = 0x84;
constexpr std::size_t kPidOffset = 0x86;
constexpr std::size_t kRevisionOffset = 0x88;
constexpr std::size_t kRegTableOffset = 0x8D;
constexpr std::size_t kPid20Offset = 0xF8;
constexpr std::size_t kMarkerOffset = 0xFE;
constexpr std::size_t kChecksumOffset = 0xFF;
constexpr std::size_t kChecksumFirst = 0x04;
constexpr BYTE kTableMarker = 0xAA;
static_assert(kRegTableOffset + kRegTableSize == kPid20Offset);

// Each text with its terminating NUL.
const char kDefaultSerial[] = "123456789ABCDEF";
const char kDefaultManufacturer[] = "Vantrel";
const char kDefaultProduct[] = "VTL262x";

void PutText(std::array<BYTE, kConfigTableSize>& t, std::size_t offset, const char* text, std::size_t sizeWithNul) {
    std::memcpy(t.data() + offset, text, sizeWithNul);
}

void PutWord(std::array<BYTE, kConfigTableSize>& t, std::size_t offset, WORD value) {
    t[offset] = static_cast<BYTE>(value & 0xFF);
    t[offset + 1] = static_cast<BYTE>(value >> 8);
}

constexpr std::size_t kReadChunk = 4096;

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

unsigned HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return static_cast<unsigned>(c - L'0');
    if (c >= L'a' && c <= L'f') return static_cast<unsigned>(c - L'a' + 10);
    return static_cast<unsigned>(c - L'A' + 10);
}

// An unsigned hexadecimal number as wcstoul(field, NULL, 16) reads it:
// leading blanks, an optional 0x prefix, digits up to the first non-digit;
// a value beyond 32 bits saturates.
std::uint32_t ParseHex(const std::wstring& field) {
    std::size_t i = 0;
    while (i < field.size() && (field[i] == L' ' || field[i] == L'\t' || field[i] == L'\r' ||
                                field[i] == L'\n' || field[i] == L'\v' || field[i] == L'\f'))
        ++i;
    if (i + 2 < field.size() && field[i] == L'0' && (field[i + 1] == L'x' || field[i + 1] == L'X') &&
        IsHexDigit(field[i + 2]))
        i += 2;
    std::uint64_t value = 0;
    for (; i < field.size() && IsHexDigit(field[i]); ++i) {
        value = value * 16 + HexValue(field[i]);
        if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(value);
}

// Collects register values from the lines of a table file, one line at a time.
class RegTableParser {
public:
    explicit RegTableParser(std::array<BYTE, kRegTableSize>& table) : m_table(table) {}

    bool Full() const { return m_count >= kRegTableSize; }

    // Feeds raw file bytes (UTF-16LE); a unit split across calls is kept.
    void Feed(const BYTE* data, std::size_t size) {
        for (std::size_t i = 0; i < size && !Full(); ++i) {
            if (!m_haveLow) {
                m_low = data[i];
                m_haveLow = true;
                continue;
            }
            m_haveLow = false;
            const wchar_t c = static_cast<wchar_t>(m_low | (static_cast<unsigned>(data[i]) << 8));
            if (m_atStart) {
                m_atStart = false;
                if (c == 0xFEFF) continue;  // byte-order mark
            }
            if (c == L'\n') {
                Line();
                m_line.clear();
            } else {
                m_line.push_back(c);
            }
        }
    }

    // The last line needs no line end.
    void Finish() {
        if (!m_line.empty()) Line();
        m_line.clear();
    }

private:
    void Line() {
        if (Full()) return;
        const std::size_t tab = m_line.find(L'\t');
        if (tab == std::wstring::npos) return;
        const std::wstring field = m_line.substr(0, tab);
        if (EqualsIgnoringAsciiCase(field, L"DefaultValue")) return;
        if (field.find(L"0x") == std::wstring::npos) return;
        m_table[m_count++] = static_cast<BYTE>(ParseHex(field) & 0xFF);
    }

    std::array<BYTE, kRegTableSize>& m_table;
    std::size_t m_count = 0;
    std::wstring m_line;
    BYTE m_low = 0;
    bool m_haveLow = false;
    bool m_atStart = true;
};

}  // namespace

void CHubUtility::BuildDefaultConfigTable(std::array<BYTE, kConfigTableSize>& out) const {
    std::array<BYTE, kConfigTableSize> t;
    t.fill(0xFF);
    PutText(t, kSerialOffset, kDefaultSerial, sizeof kDefaultSerial);
    PutText(t, kManufacturerOffset, kDefaultManufacturer, sizeof kDefaultManufacturer);
    PutText(t, kProductOffset, kDefaultProduct, sizeof kDefaultProduct);
    PutWord(t, kVidOffset, 0x7A7D);
    PutWord(t, kPidOffset, 0x3262);
    PutWord(t, kRevisionOffset, 0x0100);
    std::copy(m_ucRegTable.begin(), m_ucRegTable.end(), t.begin() + kRegTableOffset);
    PutWord(t, kPid20Offset, 0x2262);
    t[kMarkerOffset] = kTableMarker;
    unsigned sum = 0;
    for (std::size_t i = kChecksumFirst; i < kChecksumOffset; ++i) sum += t[i];
    t[kChecksumOffset] = static_cast<BYTE>(sum & 0xFF);
    out = t;
}

void CHubUtility::vSetMConfigInfo(BYTE ucTarget) {
    DEV_LIST* list = m_USBLib.m_pHubDev ? m_USBLib.m_pHubDev->m_pDevList : nullptr;
    if (list == nullptr || ucTarget >= kDevListRowsUsed) {
        vDEBUG_ERR_printf(L"%s:%d: no hub table row %d for the default configuration table",
                          L"CHubUtility::vSetMConfigInfo", __LINE__, ucTarget);
        return;
    }
    std::array<BYTE, kConfigTableSize> table;
    BuildDefaultConfigTable(table);
    list->rows[ucTarget].m_ucConfigTable = table;
    platform::ScopedLock held(*m_FileConfigTableLock);
    m_ucFileConfigTable = table;
}

std::array<BYTE, kConfigTableSize> CHubUtility::GetFileConfigTable() const {
    platform::ScopedLock held(*m_FileConfigTableLock);
    return m_ucFileConfigTable;
}

BOOL CHubUtility::vLoadRegTableFromFile(const std::wstring& strTablePath) {
    static const wchar_t kMethod[] = L"CHubUtility::vLoadRegTableFromFile";
    if (strTablePath.empty()) {
        m_ucRegTable = kDefaultRegTable;
        return TRUE;
    }
    m_ucRegTable.fill(0);
    if (!bCheckFilePathExists(strTablePath, TRUE)) {
        vDEBUG_WRN_printf(L"%s:%d: vLoadRegTableFromFile: strTablePath : %s , dwErrorCode %d", kMethod,
                          __LINE__, strTablePath, GetLastSystemError());
        return FALSE;
    }

    platform::Files& files = *m_ports.files;
    const platform::FileOpenResult open = files.CreateFile(strTablePath, platform::kGenericRead,
                                                           platform::kFileShareRead,
                                                           platform::FileDisposition::OpenExisting, 0);
    if (!open.handle.IsValid()) {
        SetLastSystemError(open.error);
        vDEBUG_ERR_printf(L"%s:%d: vLoadRegTableFromFile: strTablePath : %s , dwErrorCode %d", kMethod,
                          __LINE__, strTablePath, GetLastSystemError());
        return FALSE;
    }

    RegTableParser parser(m_ucRegTable);
    std::array<BYTE, kReadChunk> buffer;
    BOOL result = TRUE;
    while (!parser.Full()) {
        std::uint32_t got = 0;
        const platform::FileResult r =
            files.ReadFile(open.handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got);
        if (!r.ok) {
            SetLastSystemError(r.error);
            vDEBUG_ERR_printf(L"%s:%d: vLoadRegTableFromFile: strTablePath : %s , dwErrorCode %d", kMethod,
                              __LINE__, strTablePath, GetLastSystemError());
            result = FALSE;
            break;
        }
        if (got == 0) {
            parser.Finish();
            break;
        }
        parser.Feed(buffer.data(), got);
    }
    files.CloseHandle(open.handle);
    return result;
}

}  // namespace hubaccess

#include "app/Ini.h"

#include <exception>

#include "app/AppHelpers.h"
#include "app/TextHelpers.h"
#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/LastError.h"

namespace app {

Ini g_Ini;

namespace {

using hubaccess::FALSE;
using hubaccess::TRUE;

struct IniKey {
    const wchar_t* name;
    BYTE Ini::*number;           // numeric key, or
    std::wstring Ini::*text;     // text key; both null: a section line
};

// In the order of the embedded text.
const IniKey kKeys[] = {
    {L"[chk_item]", nullptr, nullptr},
    {L"check_fw_version", &Ini::m_ucCheckFWVersion, nullptr},
    {L"check_chip_type", &Ini::m_ucCheckChipType, nullptr},
    {L"check_U3_only", &Ini::m_ucCheckU3Only, nullptr},
    {L"check_U2_only", &Ini::m_ucCheckU2Only, nullptr},
    {L"check_product_string", &Ini::m_ucCheckProductString, nullptr},
    {L"check_manufacture_string", &Ini::m_ucCheckManufactureString, nullptr},
    {L"check_vid", &Ini::m_ucCheckVID, nullptr},
    {L"check_pid", &Ini::m_ucCheckPID, nullptr},
    {L"check_part_of_fw_version", &Ini::m_ucCheckPartOfFWVersion, nullptr},
    {L"check_bounding_option", &Ini::m_ucCheckBoundingOption, nullptr},
    {L"check_minor_byte_of_chip_type_BiggerThen", &Ini::m_ucCheckMinorByteOfChipTypeBiggerThen, nullptr},
    {L"EnableRelinkToRomCode", &Ini::m_ucEnableRelinkToRomCode, nullptr},
    {L"EnableRelinkAfterFWUpg", &Ini::m_ucEnableRelinkAfterFWUpg, nullptr},
    {L"[chk_value]", nullptr, nullptr},
    {L"fw_version", nullptr, &Ini::m_strFWVersion},
    {L"chip_type", nullptr, &Ini::m_strChipType},
    {L"minor_byte_of_chip_type", nullptr, &Ini::m_strMinorByteOfChipType},
    {L"manufacture_string", nullptr, &Ini::m_strManufactureString},
    {L"product_string", nullptr, &Ini::m_strProductString},
    {L"vid", nullptr, &Ini::m_strVID},
    {L"pid", nullptr, &Ini::m_strPID},
    {L"part_of_fw_version", nullptr, &Ini::m_strPartOfFWVersion},
    {L"bounding_option1", nullptr, &Ini::m_strBoundingOption1},
    {L"bounding_option2", nullptr, &Ini::m_strBoundingOption2},
    {L"start_address_of_part_of_fw_version", &Ini::m_ucStartAddressOfPartOfFWVersion, nullptr},
    {L"part_of_fw_version_length", &Ini::m_ucPartOfFWVersionLength, nullptr},
    {L"minor_byte_of_chip_type_BiggerThen", nullptr, &Ini::m_strMinorByteOfChipTypeBiggerThen},
    {L"[regEdit]", nullptr, nullptr},
    {L"reg_edit_enable", &Ini::m_ucRegEditEnable, nullptr},
    {L"reg_edit_subkey", nullptr, &Ini::m_strRegEditSubkey},
    {L"reg_edit_keyname", nullptr, &Ini::m_strRegEditKeyname},
    {L"reg_edit_type", nullptr, &Ini::m_strRegEditType},
    {L"reg_edit_value", nullptr, &Ini::m_strRegEditValue},
};

// A signed decimal number as the C library's atoi reads it, kept to its low
// 8 bits; the arithmetic is modulo 256 so no length of digits overflows.
BYTE LowByteOfDecimal(const std::wstring& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == L'+' || value[i] == L'-')) negative = value[i++] == L'-';
    unsigned low = 0;
    for (; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i)
        low = (low * 10u + static_cast<unsigned>(value[i] - L'0')) & 0xFFu;
    return static_cast<BYTE>(negative ? (256u - low) & 0xFFu : low);
}

}  // namespace

std::wstring Ini::strIniFilePath(const std::wstring& directory) {
    return directory + L"\\" + kIniFileName;
}

IniParseResult Ini::Parse(const std::string& text) {
    IniParseResult result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string narrow = text.substr(start, end - start);
        start = end + 1;
        // Text mode: the CR of a CR LF line end goes with it.
        if (!narrow.empty() && narrow.back() == '\r') narrow.pop_back();
        if (narrow.empty()) continue;
        std::wstring line;
        line.reserve(narrow.size());
        for (const char c : narrow) line.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));

        const std::size_t equals = line.find(L'=');
        std::wstring key = line.substr(0, equals);
        std::wstring value;
        if (equals != std::wstring::npos) {
            value = line.substr(equals + 1);
            const std::size_t slash = value.find(L'/');
            if (slash != std::wstring::npos) value.erase(slash);
        }
        key = Trim(key);
        value = Trim(value);
        result.lastKey = key;
        result.lastValue = value;

        const IniKey* known = nullptr;
        for (const IniKey& k : kKeys) {
            if (!key.empty() && hubaccess::EqualsIgnoringAsciiCase(key, k.name)) {
                known = &k;
                break;
            }
        }
        if (known == nullptr) {
            result.ok = false;
        } else if (known->number != nullptr) {
            this->*(known->number) = LowByteOfDecimal(value);
        } else if (known->text != nullptr) {
            this->*(known->text) = value;
        }
    }
    return result;
}

BYTE Ini::nExtractINILib(const platform::Ports& ports, const std::wstring& directory) {
    static constexpr wchar_t kMethod[] = L"Ini::nExtractINILib";
    // The path is built without a fixed buffer: a long program directory
    // reaches the system as it is, and the system refuses what it cannot
    // take.
    const std::wstring path = strIniFilePath(directory);
    const platform::ResourceData resource = ports.resources->Load(kIniResourceType, kIniResourceId);
    if (!resource.found) {
        hubaccess::SetLastSystemError(resource.error);
        vDEBUG_ERR_printf(L"%s:%d: FindResource fail: %d", kMethod, __LINE__, hubaccess::GetLastSystemError());
        return 255;
    }
    // A stale file is never left in place of the embedded text.
    if (bIsFileExist(*ports.files, path)) {
        const platform::FileResult deleted = ports.files->DeleteFile(path);
        if (!deleted.ok) {
            hubaccess::SetLastSystemError(deleted.error);
            vDEBUG_ERR_printf(L"%s:%d:  Load bin file WriteFile Failed, Erroe=%d", kMethod, __LINE__,
                              hubaccess::GetLastSystemError());
            return 255;
        }
    }
    const WriteOutcome written = WriteNewFile(*ports.files, path, resource.bytes);
    if (!written.ok) {
        hubaccess::SetLastSystemError(written.error);
        vDEBUG_ERR_printf(L"%s:%d:  Load bin file WriteFile Failed, Erroe=%d", kMethod, __LINE__,
                          hubaccess::GetLastSystemError());
        return 255;
    }
    return 0;
}

namespace {

// The end of a load: TRUE when every key was known, else the failure logged
// and, when asked, shown.
BOOL FinishLoad(const platform::Ports& ports, const IniParseResult& parsed, BOOL bShowMessage) {
    if (parsed.ok) return TRUE;
    const std::wstring text = textfmt::Format(L"Load Ini File failed, strItemName[%s],strItemValue[%s] ",
                                              parsed.lastKey, parsed.lastValue);
    vDEBUG_ERR_printf(L"%s:%d: %s", L"Ini::vLoadINIFile", __LINE__, text);
    if (bShowMessage) ports.ui->MessageBox(text, L"262FWUpgradeTool", platform::kMbOk);
    return FALSE;
}

}  // namespace

BOOL Ini::vLoadINIFile(const platform::Ports& ports, const std::wstring& strINIFilePath, BOOL bShowMessage) {
    static constexpr wchar_t kMethod[] = L"Ini::vLoadINIFile";
    try {
        const platform::FileOpenResult opened =
            ports.files->CreateFile(strINIFilePath, platform::kGenericRead, platform::kFileShareRead,
                                    platform::FileDisposition::OpenExisting, 0);
        if (!opened.handle.IsValid()) return FALSE;
        ports.files->CloseHandle(opened.handle);
        const auto bytes = ReadWholeFile(*ports.files, strINIFilePath);
        if (!bytes) {
            hubaccess::SetLastSystemError(platform::kErrorHandleEof);
            vDEBUG_ERR_printf(L"%s:%d: vLoadINIFile: strINIFilePath : %s , dwErrorCode %d", kMethod, __LINE__,
                              strINIFilePath, hubaccess::GetLastSystemError());
            return FALSE;
        }
        return FinishLoad(ports, Parse(std::string(bytes->begin(), bytes->end())), bShowMessage);
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: vLoadINIFile: strINIFilePath : %s , dwErrorCode %d", kMethod, __LINE__,
                          strINIFilePath, hubaccess::GetLastSystemError());
        return FALSE;
    }
}

BOOL Ini::vLoadEmbeddedINI(const platform::Ports& ports, BOOL bShowMessage) {
    const platform::ResourceData resource = ports.resources->Load(kIniResourceType, kIniResourceId);
    if (!resource.found) {
        hubaccess::SetLastSystemError(resource.error);
        vDEBUG_ERR_printf(L"%s:%d: FindResource fail: %d", L"Ini::vLoadEmbeddedINI", __LINE__,
                          hubaccess::GetLastSystemError());
        return FALSE;
    }
    return FinishLoad(ports, Parse(std::string(resource.bytes.begin(), resource.bytes.end())), bShowMessage);
}

BOOL Ini::nDeleteINIFile(const platform::Ports& ports, const std::wstring& directory) {
    const std::wstring path = strIniFilePath(directory);
    if (!bIsFileExist(*ports.files, path)) return FALSE;
    const platform::FileResult deleted = ports.files->DeleteFile(path);
    if (!deleted.ok) {
        hubaccess::SetLastSystemError(deleted.error);
        vDEBUG_ERR_printf(L"%s:%d: DeleteFile failed, %s, Erroe=%d", L"Ini::nDeleteINIFile", __LINE__, path,
                          hubaccess::GetLastSystemError());
        return FALSE;
    }
    return TRUE;
}

}  // namespace app

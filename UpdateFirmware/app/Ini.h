// Ini: the tool's settings, read from the INI text carried in the
// executable's resources (type "INI", id 138). At start-up the text is
// written next to the executable as "VTL262xFWUpg.ini", loaded into the
// process-wide object g_Ini and deleted again.
//
// File format: narrow text, one "key=value" per line. Keys match without
// regard to case; a value ends before its first '/' (a comment); key and
// value are trimmed. The section lines "[chk_item]", "[chk_value]" and
// "[regEdit]" are accepted anywhere and change nothing. Empty lines are
// skipped. Any other key (also a line of blanks only, or one beginning with
// '/') fails the load, which still reads to the end. Numeric keys take the
// low 8 bits of a signed decimal number (no digits give 0); a key given
// twice keeps its last value.
#pragma once

#include <cstdint>
#include <string>

#include "hubaccess/WinTypes.h"
#include "platform/Ports.h"

namespace app {

using hubaccess::BOOL;
using hubaccess::BYTE;

constexpr wchar_t kIniFileName[] = L"VTL262xFWUpg.ini";
constexpr wchar_t kIniResourceType[] = L"INI";
constexpr std::uint16_t kIniResourceId = 138;

struct IniParseResult {
    bool ok = true;
    // Key and value of the last non-empty line (shown when the load failed).
    std::wstring lastKey;
    std::wstring lastValue;
};

class Ini {
public:
    // [chk_item]
    BYTE m_ucCheckFWVersion = 0;                     // check_fw_version
    BYTE m_ucCheckChipType = 0;                      // check_chip_type
    BYTE m_ucCheckU3Only = 0;                        // check_U3_only
    BYTE m_ucCheckU2Only = 0;                        // check_U2_only
    BYTE m_ucCheckProductString = 0;                 // check_product_string
    BYTE m_ucCheckManufactureString = 0;             // check_manufacture_string
    BYTE m_ucCheckVID = 0;                           // check_vid
    BYTE m_ucCheckPID = 0;                           // check_pid
    BYTE m_ucCheckPartOfFWVersion = 0;               // check_part_of_fw_version
    BYTE m_ucCheckBoundingOption = 0;                // check_bounding_option
    BYTE m_ucCheckMinorByteOfChipTypeBiggerThen = 0;  // check_minor_byte_of_chip_type_BiggerThen
    BYTE m_ucEnableRelinkToRomCode = 0;              // EnableRelinkToRomCode
    BYTE m_ucEnableRelinkAfterFWUpg = 0;             // EnableRelinkAfterFWUpg
    // [chk_value]
    std::wstring m_strFWVersion;                     // fw_version
    std::wstring m_strChipType;                      // chip_type
    std::wstring m_strMinorByteOfChipType;           // minor_byte_of_chip_type
    std::wstring m_strManufactureString;             // manufacture_string
    std::wstring m_strProductString;                 // product_string
    std::wstring m_strVID;                           // vid
    std::wstring m_strPID;                           // pid
    std::wstring m_strPartOfFWVersion;               // part_of_fw_version
    std::wstring m_strBoundingOption1;               // bounding_option1
    std::wstring m_strBoundingOption2;               // bounding_option2
    BYTE m_ucStartAddressOfPartOfFWVersion = 0;      // start_address_of_part_of_fw_version
    BYTE m_ucPartOfFWVersionLength = 0;              // part_of_fw_version_length
    std::wstring m_strMinorByteOfChipTypeBiggerThen;  // minor_byte_of_chip_type_BiggerThen
    // [regEdit]
    BYTE m_ucRegEditEnable = 0;                      // reg_edit_enable
    std::wstring m_strRegEditSubkey;                 // reg_edit_subkey
    std::wstring m_strRegEditKeyname;                // reg_edit_keyname
    std::wstring m_strRegEditType;                   // reg_edit_type
    std::wstring m_strRegEditValue;                  // reg_edit_value

    // Writes the embedded INI as "<directory>\VTL262xFWUpg.ini", replacing
    // a file of that name. 0 when the whole text was written; 255 when the
    // resource is missing, an old file cannot be deleted, or the new one
    // cannot be written whole (nothing is left behind then).
    BYTE nExtractINILib(const platform::Ports& ports, const std::wstring& directory);
    // Loads the file into this object. FALSE without a message when it
    // cannot be read; FALSE after an unknown key, with the message box
    // "Load Ini File failed, ..." when bShowMessage is TRUE (the failure is
    // logged either way); TRUE when every key was known.
    BOOL vLoadINIFile(const platform::Ports& ports, const std::wstring& strINIFilePath,
                      BOOL bShowMessage = hubaccess::TRUE);
    // Loads the embedded INI text itself into this object, as vLoadINIFile
    // loads the file written from it: the values never come from a file
    // that was there before or that someone changed after it was written.
    BOOL vLoadEmbeddedINI(const platform::Ports& ports, BOOL bShowMessage = hubaccess::TRUE);
    // Deletes "<directory>\VTL262xFWUpg.ini": TRUE when it existed and was
    // deleted.
    BOOL nDeleteINIFile(const platform::Ports& ports, const std::wstring& directory);

    // Applies the lines of an INI text (narrow, read byte for byte) to this
    // object, as the load does.
    IniParseResult Parse(const std::string& text);

    // "<directory>\VTL262xFWUpg.ini".
    static std::wstring strIniFilePath(const std::wstring& directory);
};

// The process-wide settings object.
extern Ini g_Ini;

}  // namespace app

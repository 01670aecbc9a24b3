// Firmware files: the packed image with its 57-byte trailer, "Config_" files
// (a 256-byte configuration table, then the image record), the version text
// a file name carries, the 48-bit version compare, and the check of the
// temporary image Temp\TempBinData.bin before any hub is written.
//
// The dialog methods that use these (bConfig_File2TempBinFile,
// nPrepareFirmwareFile) are declared in MainDialog.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hubaccess/WinTypes.h"

namespace platform {
class Files;
}
namespace hubaccess {
class CHubUtility;
}

namespace app {

using hubaccess::BYTE;
using hubaccess::WORD;

class CMy262FWUpgradeToolDlg;

// --- the packed image's trailer: its last 57 bytes
constexpr std::size_t kFwFileTrailerSize = 57;
constexpr std::size_t kFwTrailerManufacturerSize = 44;

struct FW_FILE_TRAILER {
    std::array<BYTE, 6> ucVersion{};  // firmware version bytes 0..5
    BYTE ucType = 0;                  // 1: the body is a "Config_" file
    WORD wVID = 0;                    // target VID (0: keep the filter)
    WORD wPID30 = 0;                  // target PID of the USB 3.0 interface
    WORD wPID20 = 0;                  // target PID of the USB 2.0 interface
    std::array<char, kFwTrailerManufacturerSize> szManufacturer{};  // NUL-padded
};

// Offsets: version 0, type 6, VID 7, PID30 9, PID20 11, manufacturer 13;
// integers little-endian.
FW_FILE_TRAILER ParseFwFileTrailer(const BYTE* p57);
std::array<BYTE, kFwFileTrailerSize> BuildFwFileTrailer(const FW_FILE_TRAILER& trailer);
// "%02x%02x%02x%02x%02x%02x" of the version bytes.
std::wstring FwTrailerVersionText(const FW_FILE_TRAILER& trailer);
// The manufacturer text, widened byte by byte: up to its first NUL, at most
// 44 characters.
std::wstring FwTrailerManufacturer(const FW_FILE_TRAILER& trailer);

// Reads the trailer of a packed file, opened read-only. FALSE (the last
// system error set where the system gave one) when the file cannot be opened
// or read, or holds fewer than 57 bytes.
hubaccess::BOOL bReadFwFileTrailer(platform::Files& files, const std::wstring& path,
                                   FW_FILE_TRAILER* pTrailer);
// Start's use of a trailer: the filters of the nonzero VID and PIDs ("%04x",
// upper case), the trailer words, m_ucFWType, the manufacturer filter (a
// non-empty text also sets m_bCheckManuString) and the version text.
void vApplyFwFileTrailer(const FW_FILE_TRAILER& trailer, hubaccess::CHubUtility& utility,
                         CMy262FWUpgradeToolDlg& dlg);

// --- file kinds, by case-sensitive substrings of the path
bool IsPackedFwFilePath(const std::wstring& path);  // "VTL262XFW.BIN"
bool IsConfigFwFilePath(const std::wstring& path);  // "Config_" or "CONFIG_"

// --- the version text a file name carries: every "_" removed, the part
// before the last "." (empty without one), after the last "\", its last 12
// characters. C:\fw\140415_03_E5_00.bin gives 14041503E500.
std::wstring strFWVersionFromFileName(const std::wstring& path);

// --- versions: 12 hexadecimal digits, compared as one 48-bit number made of
// the first 4 digits (high part) and the last 8 (low part), letter case
// ignored.
// True for exactly 12 hexadecimal digits (either case).
bool bIsFWVersionText(const std::wstring& text);
// The 48-bit number of a version text (its first 4 and last 8 characters;
// a character that is no hexadecimal digit counts as 0).
std::uint64_t ullFWVersionValue(const std::wstring& text);
// < 0, 0, > 0 as a is older than, equal to, newer than b.
int nCompareFWVersion(const std::wstring& a, const std::wstring& b);

// --- the temporary image (TEMP_BIN_IMAGE: length word F, F image bytes, type
// byte, sum; a packed file's trailer may follow)
constexpr std::uint32_t kMinFirmwareLength = 0x5000;   // the read-back minimum
constexpr std::uint32_t kMaxTempImageSize = 0x10000;   // what one download takes
enum class TempImageCheck {
    Ok,
    NoLengthWord,     // fewer than 2 bytes
    LengthTooSmall,   // F < 0x5000
    LengthBeyondEnd,  // F + 4 > size
    TooLarge,         // size rounded up to 32 > 0x10000
};
TempImageCheck CheckTempBinImage(const BYTE* data, std::size_t size);
const wchar_t* TempImageCheckText(TempImageCheck check);

}  // namespace app

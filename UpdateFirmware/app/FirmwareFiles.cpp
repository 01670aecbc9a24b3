// Firmware files: the packed image and its trailer, "Config_" files, plain
// images, version texts, and the check of the temporary image.
#include "app/FirmwareFiles.h"

#include <algorithm>
#include <cwctype>

#include "app/FileIo.h"
#include "app/MainDialog.h"
#include "app/TextHelpers.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "platform/Files.h"

namespace app {

using hubaccess::FALSE;
using hubaccess::TRUE;

namespace {

const wchar_t kSplitMethod[] = L"CMy262FWUpgradeToolDlg::bConfig_File2TempBinFile";
const wchar_t kMainMethod[] = L"CMy262FWUpgradeToolDlg::MainThreadFun";

constexpr std::size_t kConfigTableLength = 256;
// Longest firmware file the tool reads whole: a "Config_" table, the largest
// image record and a trailer fit well below it.
constexpr std::uint64_t kMaxFirmwareFileSize = 0x100000;

const wchar_t kTextNotValid[] = L"The FW is not valide, Please check again!!";
const wchar_t kTextNoMemory[] = L"insufficient memory available";

WORD Le16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

std::uint64_t HexValue(const std::wstring& text) {
    std::uint64_t v = 0;
    for (wchar_t c : text) {
        const int d = HexDigit(c);
        v = (v << 4) + static_cast<std::uint64_t>(d < 0 ? 0 : d);
    }
    return v;
}

std::wstring Upper4Hex(WORD w) {
    std::wstring s = textfmt::Format(L"%04x", w);
    for (wchar_t& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Trailer

FW_FILE_TRAILER ParseFwFileTrailer(const BYTE* p) {
    FW_FILE_TRAILER t;
    std::copy(p, p + 6, t.ucVersion.begin());
    t.ucType = p[6];
    t.wVID = Le16(p + 7);
    t.wPID30 = Le16(p + 9);
    t.wPID20 = Le16(p + 11);
    for (std::size_t i = 0; i < kFwTrailerManufacturerSize; ++i) t.szManufacturer[i] = static_cast<char>(p[13 + i]);
    return t;
}

std::array<BYTE, kFwFileTrailerSize> BuildFwFileTrailer(const FW_FILE_TRAILER& t) {
    std::array<BYTE, kFwFileTrailerSize> out{};
    std::copy(t.ucVersion.begin(), t.ucVersion.end(), out.begin());
    out[6] = t.ucType;
    const WORD words[3] = {t.wVID, t.wPID30, t.wPID20};
    for (int i = 0; i < 3; ++i) {
        out[7 + 2 * i] = static_cast<BYTE>(words[i] & 0xFF);
        out[8 + 2 * i] = static_cast<BYTE>(words[i] >> 8);
    }
    for (std::size_t i = 0; i < kFwTrailerManufacturerSize; ++i) out[13 + i] = static_cast<BYTE>(t.szManufacturer[i]);
    return out;
}

std::wstring FwTrailerVersionText(const FW_FILE_TRAILER& t) {
    const auto& v = t.ucVersion;
    return textfmt::Format(L"%02x%02x%02x%02x%02x%02x", v[0], v[1], v[2], v[3], v[4], v[5]);
}

std::wstring FwTrailerManufacturer(const FW_FILE_TRAILER& t) {
    std::wstring s;
    for (char c : t.szManufacturer) {
        if (c == '\0') break;
        s.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return s;
}

hubaccess::BOOL bReadFwFileTrailer(platform::Files& files, const std::wstring& path, FW_FILE_TRAILER* pTrailer) {
    std::vector<BYTE> bytes;
    std::uint32_t error = 0;
    const FileReadStatus read = ReadWholeFile(files, path, kMaxFirmwareFileSize, &bytes, &error);
    if (read != FileReadStatus::Ok) {
        if (error) hubaccess::SetLastSystemError(error);
        return hubaccess::FALSE;
    }
    if (bytes.size() < kFwFileTrailerSize) return hubaccess::FALSE;
    *pTrailer = ParseFwFileTrailer(bytes.data() + bytes.size() - kFwFileTrailerSize);
    return hubaccess::TRUE;
}

void vApplyFwFileTrailer(const FW_FILE_TRAILER& t, hubaccess::CHubUtility& utility, CMy262FWUpgradeToolDlg& dlg) {
    if (t.wVID) utility.m_strVID_Indetify = Upper4Hex(t.wVID);
    if (t.wPID30) utility.m_strPID30_Indetify = Upper4Hex(t.wPID30);
    if (t.wPID20) utility.m_strPID20_Indetify = Upper4Hex(t.wPID20);
    dlg.m_wTrailerVID = t.wVID;
    dlg.m_wTrailerPID30 = t.wPID30;
    dlg.m_wTrailerPID20 = t.wPID20;
    dlg.m_ucFWType = t.ucType;
    std::wstring manufacturer = FwTrailerManufacturer(t);
    if (!manufacturer.empty()) utility.m_bCheckManuString = 1;
    utility.m_strManuString_Indetify = Trim(manufacturer);
    dlg.m_strCurFileFWVer = FwTrailerVersionText(t);
}

// ---------------------------------------------------------------------------
// Names and versions

bool IsPackedFwFilePath(const std::wstring& path) { return path.find(L"VTL262XFW.BIN") != std::wstring::npos; }

bool IsConfigFwFilePath(const std::wstring& path) {
    return path.find(L"Config_") != std::wstring::npos || path.find(L"CONFIG_") != std::wstring::npos;
}

std::wstring strFWVersionFromFileName(const std::wstring& path) {
    std::wstring s;
    for (wchar_t c : path)
        if (c != L'_') s.push_back(c);
    const std::size_t dot = s.rfind(L'.');
    if (dot == std::wstring::npos) return std::wstring();
    s.resize(dot);
    const std::size_t slash = s.rfind(L'\\');
    if (slash != std::wstring::npos) s.erase(0, slash + 1);
    if (s.size() > 12) s.erase(0, s.size() - 12);
    return s;
}

bool bIsFWVersionText(const std::wstring& text) {
    return text.size() == 12 && std::all_of(text.begin(), text.end(), [](wchar_t c) { return HexDigit(c) >= 0; });
}

std::uint64_t ullFWVersionValue(const std::wstring& text) {
    const std::wstring high = text.substr(0, 4);
    const std::wstring low = text.size() > 8 ? text.substr(text.size() - 8) : text;
    return ((HexValue(high) & 0xFFFFFFFFu) << 32) | (HexValue(low) & 0xFFFFFFFFu);
}

int nCompareFWVersion(const std::wstring& a, const std::wstring& b) {
    const std::uint64_t x = ullFWVersionValue(a), y = ullFWVersionValue(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// ---------------------------------------------------------------------------
// The temporary image

TempImageCheck CheckTempBinImage(const BYTE* data, std::size_t size) {
    if (size < 2) return TempImageCheck::NoLengthWord;
    const std::uint32_t length = Le16(data);
    if (length < kMinFirmwareLength) return TempImageCheck::LengthTooSmall;
    if (std::uint64_t{length} + 4 > size) return TempImageCheck::LengthBeyondEnd;
    if (((std::uint64_t{size} + 31) & ~std::uint64_t{31}) > kMaxTempImageSize) return TempImageCheck::TooLarge;
    return TempImageCheck::Ok;
}

const wchar_t* TempImageCheckText(TempImageCheck check) {
    switch (check) {
        case TempImageCheck::Ok: return L"valid";
        case TempImageCheck::NoLengthWord: return L"no length word";
        case TempImageCheck::LengthTooSmall: return L"firmware length below 0x5000";
        case TempImageCheck::LengthBeyondEnd: return L"firmware length beyond the file's end";
        case TempImageCheck::TooLarge: return L"larger than one download";
    }
    return L"";
}

// ---------------------------------------------------------------------------
// The dialog's firmware-file methods

std::wstring CMy262FWUpgradeToolDlg::strTempBinDataFilePath() const {
    const std::wstring dir = hubaccess::pUtility ? hubaccess::pUtility->m_szModuleDirectory : std::wstring();
    return textfmt::Format(L"%s\\%s\\%s", dir, L"Temp", L"TempBinData.bin");
}

bool CMy262FWUpgradeToolDlg::TakeTempImage() {
    ReleaseTempImage();
    if (!hubaccess::pUtility) return false;
    m_hTempImageHeld = hubaccess::pUtility->TakeTempImage(&m_TempBinImage).raw;
    if (!platform::Handle{m_hTempImageHeld}.IsValid()) m_hTempImageHeld = 0;
    return m_hTempImageHeld != 0;
}

bool CMy262FWUpgradeToolDlg::bTempImageStillHeld() const {
    return m_hTempImageHeld != 0 && hubaccess::pUtility &&
           platform::IsSameFile(*hubaccess::pUtility->Ports().files, platform::Handle{m_hTempImageHeld},
                                strTempBinDataFilePath());
}

void CMy262FWUpgradeToolDlg::ReleaseTempImage() {
    if (m_hTempImageHeld == 0 || !hubaccess::pUtility) return;
    // Its last use is over: closed, and deleted while its folder is held,
    // by name only while the name still reaches it.
    platform::Files& files = *hubaccess::pUtility->Ports().files;
    const bool reached = bTempImageStillHeld();
    files.CloseHandle(platform::Handle{m_hTempImageHeld});
    m_hTempImageHeld = 0;
    if (reached) files.DeleteFile(strTempBinDataFilePath());
}

void CMy262FWUpgradeToolDlg::DiscardTempImage() {
    m_bImagePrepared = false;
    ReleaseTempImage();
    m_TempBinImage.clear();
    // Only in the Temp folder this run holds, never in one put in its place.
    if (hubaccess::pUtility && hubaccess::pUtility->bTempFolderReached())
        hubaccess::pUtility->Ports().files->DeleteFile(strTempBinDataFilePath());
}

BOOL CMy262FWUpgradeToolDlg::bReadFirmwareTrailer(const std::wstring& path) {
    FW_FILE_TRAILER trailer;
    if (!hubaccess::pUtility || !bReadFwFileTrailer(*hubaccess::pUtility->Ports().files, path, &trailer)) return FALSE;
    vApplyFwFileTrailer(trailer, *hubaccess::pUtility, *this);
    return TRUE;
}

std::wstring CMy262FWUpgradeToolDlg::VersionTextFromFileName(const std::wstring& path) {
    return strFWVersionFromFileName(path);
}

BOOL CMy262FWUpgradeToolDlg::bConfig_File2TempBinFile(const std::wstring& strPath) {
    hubaccess::CHubUtility& utility = *hubaccess::pUtility;
    platform::Files& files = *utility.Ports().files;
    utility.m_ucFileConfigTable.fill(0xFF);

    std::vector<BYTE> bytes;
    std::uint32_t error = 0;
    const FileReadStatus read = ReadWholeFile(files, strPath, kMaxFirmwareFileSize, &bytes, &error);
    if (read != FileReadStatus::Ok) {
        // A file that cannot be read is a failed split, not an exception.
        if (error) hubaccess::SetLastSystemError(error);
        vDEBUG_ERR_printf(L"%s:%d:  Can not read Config file [%s], dwErrorCode %d", kSplitMethod, __LINE__, strPath,
                          error);
        return FALSE;
    }
    std::copy_n(bytes.begin(), std::min(bytes.size(), kConfigTableLength), utility.m_ucFileConfigTable.begin());
    if (bytes.size() < kConfigTableLength) {
        vDEBUG_ERR_printf(L"%s:%d:  mallco Fail !!! ", kSplitMethod, __LINE__);
        return FALSE;
    }
    std::vector<BYTE> image(bytes.begin() + kConfigTableLength, bytes.end());

    const std::wstring path = strTempBinDataFilePath();
    if (!utility.bHoldTempFolder()) return FALSE;
    ReleaseTempImage();
    if (!files.DeleteFile(path).ok)
        vDEBUG_WRN_printf(L"%s:%d:  No strTempBinDataFilePath[%s] to Delete  ", kSplitMethod, __LINE__, path);
    // Written with no sharing and read back byte for byte before it is held.
    platform::Handle held;
    bool differs = false;
    if (!hubaccess::CHubUtility::bWriteNewFileAndHold(files, path, image, &held, &error, &differs)) {
        hubaccess::SetLastSystemError(error);
        if (differs)
            vDEBUG_ERR_printf(L"%s:%d:  [%s] does not read back as it was written, not used", kSplitMethod, __LINE__,
                              path);
        else
            vDEBUG_ERR_printf(L"%s:%d:  Write [%s] Fail, dwErrorCode %d", kSplitMethod, __LINE__, path, error);
        return FALSE;
    }
    m_hTempImageHeld = held.raw;
    m_TempBinImage = std::move(image);
    return TRUE;
}

int CMy262FWUpgradeToolDlg::nPrepareFirmwareFile() {
    hubaccess::CHubUtility& utility = *hubaccess::pUtility;
    platform::Files& files = *utility.Ports().files;
    const std::wstring tempImage = strTempBinDataFilePath();

    // The program's Temp folder is written and deleted in: never through a
    // redirection to somewhere else, and held from now on.
    m_bImagePrepared = false;
    const std::wstring tempFolder = utility.strTempFolderPath();
    if (!utility.bHoldTempFolder()) {
        vDEBUG_ERR_printf(L"%s:%d:  [%s] is a redirection or no folder, no image is written there", kMainMethod,
                          __LINE__, tempFolder);
        vShowUpddateResult(kTextNotValid, 0, 40);
        vSetAllProgressColor(kColourRed);
        return kExitInvalidInput;
    }

    // Whatever an earlier run left is never written to a hub.
    DiscardTempImage();

    const auto fail = [&](const wchar_t* text) {
        DiscardTempImage();
        vShowUpddateResult(text, 0, 40);
        vSetAllProgressColor(kColourRed);
        return kExitInvalidInput;
    };

    std::wstring path = utility.m_strFWBinFilePath;
    if (path.empty()) return 1;
    if (IsConfigFwFilePath(path)) m_ucFWType = 1;

    if (m_ucFWType == 1) {
        if (!bConfig_File2TempBinFile(path)) {
            vDEBUG_ERR_printf(L"%s:%d:   bConfig_File2TempBinFile Fail !!! ", kMainMethod, __LINE__);
            return fail(kTextNotValid);
        }
    } else if (IsPackedFwFilePath(path)) {
        // The packed file is only read: the user's file stays as it is, the
        // unpacked copy goes to the program's Temp folder.
        std::vector<BYTE> packed;
        std::uint32_t error = 0;
        const FileReadStatus read = ReadWholeFile(files, path, kMaxFirmwareFileSize, &packed, &error);
        if (read != FileReadStatus::Ok || packed.size() < kFwFileTrailerSize) {
            vDEBUG_ERR_printf(L"%s:%d:   Can not read FW file [%s], dwErrorCode %d", kMainMethod, __LINE__, path,
                              error);
            return fail(kTextNotValid);
        }
        const FW_FILE_TRAILER trailer = ParseFwFileTrailer(packed.data() + packed.size() - kFwFileTrailerSize);
        packed.resize(packed.size() - kFwFileTrailerSize);
        m_strCurFileFWVer = FwTrailerVersionText(trailer);
        if (m_pRunView) m_pRunView->SetControlText(kIdUpdateVersion, m_strCurFileFWVer);

        const std::wstring unpacked =
            tempFolder + (m_ucFWType ? textfmt::Format(L"\\Config_%s.bin", m_strCurFileFWVer)
                                     : textfmt::Format(L"\\%s.bin", m_strCurFileFWVer));
        // The unpacked copy is written with no sharing, read back byte for
        // byte and held while the image is framed from it.
        files.DeleteFile(unpacked);
        platform::Handle held;
        bool differs = false;
        if (!hubaccess::CHubUtility::bWriteNewFileAndHold(files, unpacked, packed, &held, &error, &differs)) {
            if (differs)
                vDEBUG_ERR_printf(L"%s:%d:   [%s] does not read back as it was written, not used", kMainMethod,
                                  __LINE__, unpacked);
            vDEBUG_ERR_printf(L"%s:%d:   ucpFWBinDataBuffer mallco Fail !!! ", kMainMethod, __LINE__);
            return fail(kTextNoMemory);
        }
        utility.m_strFWBinFilePath = unpacked;
        vDEBUG_MSG_printf(L"%s:%d: Get new  fw path=[%ls],", kMainMethod, __LINE__, unpacked);
        const BOOL framed = utility.vCreateTempBinDataFile(unpacked, FALSE, FALSE, TRUE);
        files.CloseHandle(held);
        files.DeleteFile(unpacked);
        if (!framed) {
            vDEBUG_ERR_printf(L"%s:%d:  vCreateTempBinDataFile Fail  ", kMainMethod, __LINE__);
            return fail(kTextNoMemory);
        }
    } else {
        vDEBUG_MSG_printf(L"%s:%d:  vCreateTempBinDataFile [%s]  ", kMainMethod, __LINE__, path);
        if (!utility.vCreateTempBinDataFile(path, FALSE, FALSE, TRUE)) {
            vDEBUG_ERR_printf(L"%s:%d:  vCreateTempBinDataFile Fail  ", kMainMethod, __LINE__);
            return fail(kTextNoMemory);
        }
    }
    if (m_ucFWType != 1 && !TakeTempImage()) {
        vDEBUG_ERR_printf(L"%s:%d:  vCreateTempBinDataFile Fail  ", kMainMethod, __LINE__);
        return fail(kTextNoMemory);
    }

    // Nothing is written to a hub from an image that could not be downloaded
    // or verified whole. The bytes are those this run built and read back
    // from the file it holds from now on.
    const TempImageCheck check = CheckTempBinImage(m_TempBinImage.data(), m_TempBinImage.size());
    if (check != TempImageCheck::Ok) {
        vDEBUG_ERR_printf(L"%s:%d:  Temp image [%s] not valid: %s, %d bytes", kMainMethod, __LINE__, tempImage,
                          TempImageCheckText(check), m_TempBinImage.size());
        return fail(kTextNotValid);
    }
    m_bImagePrepared = true;
    return 0;
}

}  // namespace app

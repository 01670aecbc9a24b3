// The temporary firmware image file and its CRC-32.
//
// Temp\TempBinData.bin (or TempBinData_B.bin) in the program directory holds
// the image as the chip keeps it from ROM offset 0x100: the 16-bit length N
// (little-endian), the N image bytes, a type byte, the 8-bit sum of the image
// and, in the CRC variant, the image's CRC-32 (least significant byte first).
#include <exception>
#include <new>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"

namespace hubaccess {

namespace {

const wchar_t kMethod[] = L"CHubUtility::vCreateTempBinDataFile";

constexpr WORD kRegChipVersion = 0x5820;
// Longest image whose file (length word, image, type byte, sum) still fits
// the 64 KiB the firmware download takes.
constexpr std::uint64_t kMaxImageLength = 0xFFFC;
// A "Config_" source: a 256-byte configuration table, then the image record.
constexpr std::uint64_t kConfigHeaderLength = 256;

// Type byte by bits 4..5 of register 0x5820, without and with CRC.
constexpr BYTE kTypePlain[4] = {0xAA, 0x4B, 0x3C, 0x2D};
constexpr BYTE kTypeCrc[4] = {0xA5, 0xB4, 0xC3, 0xD2};


constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7u;

std::uint32_t Reflect(std::uint32_t value, int bits) {
    std::uint32_t out = 0;
    for (int i = 0; i < bits; ++i)
        if (value & (1u << i)) out |= 1u << (bits - 1 - i);
    return out;
}

enum class ReadStatus { Ok, Failed, Short, TooLong };

// Reads the whole file at `path` into `out` unless it is longer than
// `limit`. Failed: it cannot be opened or read (the last system error tells
// why). Throws std::bad_alloc when the buffer cannot be had.
ReadStatus ReadWholeFile(platform::Files& files, const std::wstring& path, std::uint64_t limit,
                         std::vector<BYTE>& out, std::uint64_t& size) {
    size = 0;
    const platform::FileOpenResult open = files.CreateFile(path, platform::kGenericRead, platform::kFileShareRead,
                                                           platform::FileDisposition::OpenExisting, 0);
    if (!open.handle.IsValid()) {
        SetLastSystemError(open.error);
        return ReadStatus::Failed;
    }
    struct Closer {
        platform::Files& files;
        platform::Handle h;
        ~Closer() { files.CloseHandle(h); }
    } closer{files, open.handle};

    const platform::FileResult sized = files.GetFileSize(open.handle, &size);
    if (!sized.ok) {
        SetLastSystemError(sized.error);
        return ReadStatus::Failed;
    }
    if (size > limit) return ReadStatus::TooLong;
    if (size > out.max_size()) throw std::bad_alloc();
    out.assign(static_cast<std::size_t>(size), 0);
    std::uint64_t total = 0;
    while (total < size) {
        const std::uint64_t left = size - total;
        const std::uint32_t ask = left > 0x100000u ? 0x100000u : static_cast<std::uint32_t>(left);
        std::uint32_t got = 0;
        const platform::FileResult r =
            files.ReadFile(open.handle, out.data() + static_cast<std::size_t>(total), ask, &got);
        if (!r.ok) {
            SetLastSystemError(r.error);
            return ReadStatus::Failed;
        }
        if (got == 0) break;
        total += got;
    }
    return total == size ? ReadStatus::Ok : ReadStatus::Short;
}

}  // namespace

void CHubUtility::vInitCRC32Table() {
    for (std::uint32_t i = 0; i < m_CRC32Table.size(); ++i) {
        std::uint32_t value = Reflect(i, 8) << 24;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x80000000u) ? (value << 1) ^ kCrcPolynomial : value << 1;
        m_CRC32Table[i] = Reflect(value, 32);
    }
}

DWORD CHubUtility::CRC32(const BYTE* data, std::size_t length) const {
    std::uint32_t value = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) value = (value >> 8) ^ m_CRC32Table[(value ^ data[i]) & 0xFF];
    return ~value;
}

std::wstring CHubUtility::strTempFolderPath() const { return m_szModuleDirectory + L"\\Temp"; }

BOOL CHubUtility::bHoldTempFolder() {
    static const wchar_t kHoldMethod[] = L"CHubUtility::bHoldTempFolder";
    platform::Files& files = *m_ports.files;
    if (m_hTempFolderHeld.IsValid()) return TRUE;
    const std::wstring directory = strTempFolderPath();
    platform::PathFacts facts;
    platform::FileOpenResult held = files.HoldFolder(directory, &facts);
    bool made = false;
    if (!held.handle.IsValid() && held.error == platform::kErrorFileNotFound) {
        const platform::FileResult created = files.CreateDirectory(directory);
        if (!created.ok && created.error != platform::kErrorAlreadyExists) {
            SetLastSystemError(created.error);
            vDEBUG_ERR_printf(L"%s:%d: [%s] cannot be made, dwErrorCode %d", kHoldMethod, __LINE__, directory,
                              created.error);
            return FALSE;
        }
        made = created.ok;
        held = files.HoldFolder(directory, &facts);
    }
    if (!held.handle.IsValid()) {
        SetLastSystemError(held.error);
        vDEBUG_ERR_printf(L"%s:%d: [%s] cannot be held, dwErrorCode %d", kHoldMethod, __LINE__, directory,
                          held.error);
        return FALSE;
    }
    platform::FileIdentity identity;
    if (!facts.directory || facts.redirection || !files.GetFileIdentity(held.handle, &identity).ok) {
        // Nothing is written or deleted through a redirection to elsewhere.
        files.CloseHandle(held.handle);
        vDEBUG_ERR_printf(L"%s:%d: [%s] is a redirection or no folder, nothing is written there", kHoldMethod,
                          __LINE__, directory);
        return FALSE;
    }
    m_hTempFolderHeld = held.handle;
    m_TempFolderIdentity = identity;
    m_bTempFolderMade = m_bTempFolderMade || made;
    return TRUE;
}

void CHubUtility::vReleaseTempFolder() {
    platform::Files& files = *m_ports.files;
    if (m_hTempFolderHeld.IsValid()) files.CloseHandle(m_hTempFolderHeld);
    m_hTempFolderHeld = platform::Handle::Invalid();
    // A folder that still holds something (the extracted firmware image, or
    // what someone else put there) stays; a later release tries again.
    if (m_bTempFolderMade && files.DeleteEntry(strTempFolderPath(), m_TempFolderIdentity).ok)
        m_bTempFolderMade = false;
}

bool CHubUtility::bTempFolderReached() {
    return platform::IsSameFile(*m_ports.files, m_hTempFolderHeld, strTempFolderPath());
}

platform::Handle CHubUtility::TakeTempImage(std::vector<BYTE>* pBytes) {
    const platform::Handle held = m_hTempImageHeld;
    m_hTempImageHeld = platform::Handle::Invalid();
    if (pBytes) *pBytes = std::move(m_TempImageBytes);
    m_TempImageBytes.clear();
    return held;
}

BOOL CHubUtility::bWriteNewFileAndHold(platform::Files& files, const std::wstring& path, const std::vector<BYTE>& bytes,
                                       platform::Handle* pHeld, std::uint32_t* pError, bool* pDiffers) {
    *pHeld = platform::Handle::Invalid();
    *pError = 0;
    *pDiffers = false;
    // Shared with nobody while it is written.
    const platform::FileOpenResult open =
        files.CreateFile(path, platform::kGenericRead | platform::kGenericWrite, 0,
                         platform::FileDisposition::CreateNew, platform::kFileFlagWriteThrough);
    if (!open.handle.IsValid()) {
        *pError = open.error;
        return FALSE;
    }
    platform::FileResult r = platform::WriteAllAndFlush(files, open.handle, bytes);
    files.CloseHandle(open.handle);
    if (!r.ok) {
        *pError = r.error;
        files.DeleteFile(path);
        return FALSE;
    }
    // What is read back now is what stays until its last use, or nothing is.
    const platform::FileOpenResult held = files.CreateFile(path, platform::kGenericRead, platform::kFileShareRead,
                                                           platform::FileDisposition::OpenExisting, 0);
    if (!held.handle.IsValid()) {
        *pError = held.error;
        return FALSE;
    }
    std::uint64_t size = 0;
    r = files.GetFileSize(held.handle, &size);
    std::vector<BYTE> back;
    if (r.ok && size == bytes.size()) {
        back.assign(bytes.size(), 0);
        std::size_t total = 0;
        while (r.ok && total < back.size()) {
            std::uint32_t got = 0;
            r = files.ReadFile(held.handle, back.data() + total, static_cast<std::uint32_t>(back.size() - total), &got);
            if (r.ok && got == 0) break;
            total += got;
        }
        if (total != back.size()) back.clear();
    }
    if (!r.ok || size != bytes.size() || back != bytes) {
        files.CloseHandle(held.handle);
        *pError = r.ok ? platform::kErrorInvalidData : r.error;
        *pDiffers = r.ok;
        files.DeleteFile(path);
        return FALSE;
    }
    *pHeld = held.handle;
    return TRUE;
}

BOOL CHubUtility::vCreateTempBinDataFile(const std::wstring& strSrcFile, BOOL bStripHeader, BOOL bWithCRC,
                                         BOOL bMainName) {
    platform::Files& files = *m_ports.files;
    const std::wstring directory = strTempFolderPath();
    const std::wstring path = directory + (bMainName ? L"\\TempBinData.bin" : L"\\TempBinData_B.bin");
    vDEBUG_MSG_printf(L"%s:%d: strTempBinDirectory = [%s]", kMethod, __LINE__, directory);

    // Nothing is written through a Temp folder that redirects elsewhere, and
    // the folder cannot be swapped while it is used.
    if (!bHoldTempFolder()) {
        vDEBUG_ERR_printf(L"%s:%d: CreateFile Failed: [%s], ErrorCode = %d", kMethod, __LINE__, path,
                          GetLastSystemError());
        return FALSE;
    }
    // The image of an earlier run goes first, whatever becomes of this one: a
    // source that cannot be read or does not fit leaves no file for a caller
    // that goes on regardless.
    if (m_hTempImageHeld.IsValid()) files.CloseHandle(m_hTempImageHeld);
    m_hTempImageHeld = platform::Handle::Invalid();
    m_TempImageBytes.clear();
    const platform::FileResult removed = files.DeleteFile(path);
    if (!removed.ok) {
        vDEBUG_WRN_printf(L"%s:%d: vCreateTempBinDataFile: No strTempBinDataFilePath[%s] to Delete  , ErrorCode = %d",
                          kMethod, __LINE__, path, removed.error);
    }

    // The new file is built in memory, then written in one go.
    std::vector<BYTE> image;
    std::vector<BYTE> content;
    std::uint64_t length = 0;
    try {
        vDEBUG_MSG_printf(L"%s:%d: theFile.Open: [%s]", kMethod, __LINE__, strSrcFile);
        const std::uint64_t limit = bStripHeader ? ~std::uint64_t{0} : kMaxImageLength;
        const ReadStatus read = ReadWholeFile(files, strSrcFile, limit, image, length);
        if (read == ReadStatus::Failed) {
            vDEBUG_ERR_printf(L"%s:%d: vCreateTempBinDataFile: m_strFWBinFilePath : %s , dwErrorCode %d", kMethod,
                              __LINE__, m_strFWBinFilePath, GetLastSystemError());
            return FALSE;
        }
        if (read == ReadStatus::Short) {
            vDEBUG_WRN_printf(L"%s:%d: vCreateTempBinDataFile: FW[%s] ReadFileSize != FWFileSize ", kMethod,
                              __LINE__, m_strFWBinFilePath);
            return FALSE;
        }
        if (read == ReadStatus::TooLong) {
            // The length word could not hold it and the download would refuse it.
            vDEBUG_ERR_printf(L"%s:%d: vCreateTempBinDataFile: [%s] holds %d bytes, more than %d", kMethod,
                              __LINE__, strSrcFile, length, kMaxImageLength);
            return FALSE;
        }

        if (bStripHeader) {
            if (length < kConfigHeaderLength) {
                vDEBUG_ERR_printf(L"%s:%d: vCreateTempBinDataFile: [%s] holds %d bytes, less than its %d-byte header",
                                  kMethod, __LINE__, strSrcFile, length, kConfigHeaderLength);
                return FALSE;
            }
            content.assign(image.begin() + kConfigHeaderLength, image.end());
        } else {
            const std::size_t n = image.size();
            BYTE sum = 0;
            for (BYTE b : image) sum = static_cast<BYTE>(sum + b);
            vInitCRC32Table();
            const DWORD crc = CRC32(image.data(), n);

            BYTE chipVersion = 0;
            int rc = kChipNoHub;
            // One read that fails or comes back altered would put a wrong type
            // byte into every hub's images: reads until two agree.
            if (m_USBLib.m_pHubDev) rc = m_USBLib.m_pHubDev->VTL262xReadRegisterAgreed(0, &chipVersion, kRegChipVersion);
            if (rc != 0) {
                vDEBUG_ERR_printf(L"%s:%d: VTL262xAccessRegister Failed,pChildThreadInfo->ucTargetNumber[%d]  ",
                                  kMethod, __LINE__, 0);
                chipVersion = 0;
            }
            const unsigned kind = (chipVersion & 0x30u) >> 4;

            content.reserve(n + 8);
            content.push_back(static_cast<BYTE>(n & 0xFF));
            content.push_back(static_cast<BYTE>((n >> 8) & 0xFF));
            content.insert(content.end(), image.begin(), image.end());
            content.push_back(bWithCRC ? kTypeCrc[kind] : kTypePlain[kind]);
            content.push_back(sum);
            if (bWithCRC)
                for (int shift = 0; shift < 32; shift += 8) content.push_back(static_cast<BYTE>(crc >> shift));
        }
    } catch (const std::bad_alloc&) {
        vDEBUG_ERR_printf(L"%s:%d: malloc.  uiFWBinDataFileSize: [%x]", kMethod, __LINE__, length);
        return FALSE;
    }
    std::vector<BYTE>().swap(image);

    // Written with no sharing and read back: what is held afterwards is what
    // was built here, byte for byte, or nothing is.
    platform::Handle held;
    std::uint32_t error = 0;
    bool differs = false;
    if (!bWriteNewFileAndHold(files, path, content, &held, &error, &differs)) {
        SetLastSystemError(error);
        if (differs)
            vDEBUG_ERR_printf(L"%s:%d: vCreateTempBinDataFile: [%s] does not read back as it was written, not used",
                              kMethod, __LINE__, path);
        else
            vDEBUG_ERR_printf(L"%s:%d: CreateFile Failed: [%s], ErrorCode = %d", kMethod, __LINE__, path, error);
        return FALSE;
    }
    m_hTempImageHeld = held;
    m_TempImageBytes = std::move(content);
    return TRUE;
}

}  // namespace hubaccess

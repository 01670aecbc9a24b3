// ChildThreadFun: the worker that carries one hub through a run.
//
// Order of work for hub t: register tweaks, the /C check, the already-current
// test, the /E export, then the update stage (chip name, limits, table, both
// images, read-back), the reset gate, the reset, the wait for every reset,
// re-identification and the version check.
//
// A hub is never left without a bootable image: when image 0 holds a valid
// firmware the worker writes image 1 first, otherwise image 0 first. One
// image at a time: its table, its firmware, then the whole image read back
// (table, length word, image, type byte, sum) and compared with the bytes
// the run prepared and checked; an image that does not read back right is
// written once more, and only an image that reads back right lets the other
// one be touched. A hub passes only when both images read back right.
//
// Once the coordinator cancels the run the worker stops at its next step and
// stores no code, message or flag. A firmware download that has started runs
// to its end; an erase of a table is always followed by its table download,
// and a table left erased by a failed download is erased and written again
// (two tries in all), the cancel notwithstanding. While it is inside a
// table's step the worker shows since when, for the coordinator's last
// resort.
//
// Whatever decides something is read until two reads agree: the version
// block (by the scan and the re-identification), the first block and the
// whole firmware area of image 0 that choose the write order, and the blocks
// that show whether ROM read value 1 reads image 1.
//
// Image 1's firmware counts as verified only once the chip has shown in this
// run that value 1 reads image 1: a read with value 1 and one with value 0 of
// the same block, no write between them, gave different bytes. Before that,
// image 1's read-back that matches, or that gives image 0's bytes, is logged
// as not verified (once per hub) and fails the hub on that alone never.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "app/FirmwareFiles.h"
#include "app/MainDialog.h"
#include "app/RunRules.h"
#include "app/RunView.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/TextFormat.h"
#include "hubaccess/VntlFilter0.h"
#include "hubaccess/VntlHubDev.h"

namespace app {
namespace {

using namespace hubaccess;

const wchar_t kMethod[] = L"CMy262FWUpgradeToolDlg::ChildThreadFun";

constexpr std::size_t kTableSize = kConfigTableSize;
// Room for the table and the largest firmware area (length word, 0xFFFE
// image bytes, type, sum) in whole 32-byte blocks, with a spare block.
constexpr std::size_t kRomBufferSize = kTableSize + 0x10040;
// Frame of a firmware area around its image: length word, type byte, sum.
constexpr std::size_t kAreaFrame = 4;
constexpr std::size_t kMinBootLength = 0x5000;
constexpr std::size_t kMaxBootLength = 0xFFFE;
// Reads of image 0's firmware area that may fail before the hub is given up.
constexpr int kOrderReadAttempts = 3;
// Reads of image 0's firmware area until two agree.
constexpr int kAreaReadLimit = 4;
// The firmware area in the ROM, and its first block (the length word first).
constexpr hubaccess::DWORD kFirmwareAreaOffset = 0x100;
constexpr std::size_t kRomBlockBytes = 32;
// Reads of a configuration image until two agree.
constexpr int kTableReadLimit = 4;
// Writes of one image (the first and one more).
constexpr int kImageWrites = 2;

constexpr std::uint32_t kAfterConfigReadMs = 500;
constexpr std::uint32_t kGatePollMs = 500;
constexpr std::uint32_t kGateSecondPollMs = 300;
constexpr std::uint64_t kGateLimitMs = 40000;
constexpr std::uint64_t kLegacyGateLimitMs = 140000;
constexpr std::uint32_t kResetPollMs = 500;
constexpr std::uint64_t kResetWaitLimitMs = 40000;
constexpr std::uint32_t kDepthPollMs = 250;
constexpr std::uint32_t kRecheckMs = 5000;
constexpr std::uint32_t kRecheckSecondMs = 1000;
constexpr int kVersionRechecks = 3;

constexpr WORD kRegChipVersion = 0x5820;

// The run was cancelled: unwinds the worker to its quiet end.
struct Cancelled {};

class HubWorker {
public:
    HubWorker(CMy262FWUpgradeToolDlg& dlg, CHILD_THREAD_INFO& info)
        : dlg_(dlg),
          info_(info),
          utility_(*pUtility),
          clock_(*utility_.Ports().clock),
          t_(info.ucTargetNumber.load()),
          row_(dlg.m_devList.rows[t_]) {}

    unsigned Run();

private:
    enum class End { Pass, Fail };

    // --- run state
    platform::CancelToken* Token() const { return dlg_.m_pRunCancel.get(); }
    bool IsCancelled() const { return Token() != nullptr && Token()->IsCancelled(); }
    void CheckCancel() const {
        if (IsCancelled()) throw Cancelled{};
    }
    // Sleeps, ending early (by unwinding) when the run is cancelled.
    void Pause(std::uint32_t ms) {
        if (Token() == nullptr) {
            clock_.Sleep(ms);
            return;
        }
        if (clock_.SleepCancellable(ms, *Token())) throw Cancelled{};
    }
    std::uint64_t Now() { return clock_.MonotonicMs(); }

    // Results: a cancelled worker stores none.
    void StoreCode(int code) {
        if (IsCancelled()) return;
        dlg_.m_iRet = code;
        if (code < 0) failureStored_ = true;
    }
    void StoreMessage(const std::wstring& text) {
        if (!IsCancelled()) dlg_.SetRunMessage(text);
    }
    void StoreFlag(hubaccess::SharedFlag& flag, BYTE value) {
        if (!IsCancelled()) flag = value;
    }

    // --- the hub's row in the dialog (rows 5..7 have none)
    void Bar(int pos) { dlg_.vSetHubBarPos(t_, pos); }
    void BarColour(COLORREF colour) { dlg_.vSetHubBarColor(t_, colour); }
    void RowVersion(const std::wstring& text) { dlg_.vSetHubVersionText(t_, text); }
    void Console(const std::wstring& text) { dlg_.vConsolePrint(text); }

    CVntlHubDev* Dev() const { return utility_.m_USBLib.m_pHubDev.get(); }
    // Image 1's read-back before value 1 was shown to read image 1: its
    // firmware is not verified (logged once per hub); that alone fails no hub.
    void NoteImage1NotVerified(bool readImage0) {
        if (notVerifiedNoted_) return;
        notVerifiedNoted_ = true;
        if (readImage0)
            vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], ROM read value 1 gives image 0's firmware area: the chip "
                              L"does not map it to image 1, image 1's firmware is not verified",
                              kMethod, __LINE__, t_);
        else
            vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], ROM read value 1 has not been seen to read image 1 in "
                              L"this run, image 1's firmware is not verified",
                              kMethod, __LINE__, t_);
    }
    std::wstring HubVersion() {
        platform::ScopedLock held(*utility_.m_EnumCriticalSection);
        return row_.m_strFWVersion;
    }

    BYTE State(std::size_t i) const { return dlg_.m_ChildThreadInfo[i].ucThreadState.load(); }
    void States(BYTE* out) const {
        for (std::size_t i = 0; i < records_; ++i) out[i] = State(i);
    }

    // --- steps
    void RegisterTweaks();
    End CheckVersion();
    End Export();
    End UpdateStage();
    void ChooseTable(std::array<BYTE, kTableSize>& table);
    bool ReadTableAgreed(BYTE image, std::array<BYTE, kTableSize>& out);
    // How one write or read-back of an image ended.
    enum class ImageResult { Ok, WriteFailed, ReadFailed, Length, Content };
    bool WriteTable(BYTE image, std::array<BYTE, kTableSize>& table);
    ImageResult WriteImage(BYTE image, std::array<BYTE, kTableSize>& table);
    // Reads image 0's firmware area to choose the write order: 0 when
    // decided (boots, with image0First_ and image0Before_ set), else a
    // failed read.
    int ReadImage0Area(std::vector<BYTE>& area, bool& boots);
    // One block of the firmware area (at `offset` from its start) read with
    // ROM read value `value` until two reads agree; false when none do.
    bool ReadAreaBlock(std::size_t offset, BYTE value, std::array<BYTE, kRomBlockBytes>& out);
    // After the first image's write: reads, with value 0 and value 1, the
    // first block where the image written now differs from what the other
    // image holds; different bytes show that value 1 reads image 1.
    void ShowValue1Between(BYTE written);
    ImageResult ReadBackImage(BYTE image, const std::array<BYTE, kTableSize>& table);
    End ResetAndReload();

    End Fail(int code, const std::wstring& message) {
        if (code != 0) StoreCode(code);
        if (!message.empty()) StoreMessage(message);
        bResult_ = 0;
        return End::Fail;
    }

    CMy262FWUpgradeToolDlg& dlg_;
    CHILD_THREAD_INFO& info_;
    CHubUtility& utility_;
    platform::Clock& clock_;
    const BYTE t_;
    DEV_LIST_ITEM& row_;
    std::size_t records_ = 0;
    BYTE bResult_ = 1;
    bool legacy_ = false;
    bool threadLockHeld_ = false;
    // A failure code was stored: the row ends red whatever follows.
    bool failureStored_ = false;
    WORD romLength_ = 0;
    // Image 0's firmware area (length word to sum) as read before any write;
    // empty when it held no image. Its first block, agreed.
    std::vector<BYTE> image0Before_;
    std::array<BYTE, kRomBlockBytes> image0First_{};
    // Image 0 holds the prepared bytes, read back.
    bool image0Written_ = false;
    // The chip has shown in this run that ROM read value 1 reads image 1.
    bool value1Shown_ = false;
    bool notVerifiedNoted_ = false;
    std::array<bool, 2> tableWritten_{};
    // The run message of the last failed write.
    std::wstring writeFailure_;
    std::wstring startVersion_;
    std::wstring newVersionText_;
};

void HubWorker::RegisterTweaks() {
    struct Tweak {
        WORD address;
        BYTE andMask, orMask;
    };
    static const Tweak kTweaks[] = {
        {0x3601, 0x3F, 0x80}, {0x3611, 0x3F, 0x80}, {0x3621, 0x3F, 0x80},
        {0x3000, 0xFB, 0x00}, {0x3100, 0xFB, 0x00}, {0x3200, 0xFB, 0x00},
    };
    CVntlHubDev* dev = Dev();
    if (dev == nullptr) return;
    for (const Tweak& tw : kTweaks) {
        CheckCancel();
        BYTE value = 0;
        if (dev->VTL262xAccessRegister(t_, &value, tw.address, 0) != 0) {
            // Never write a value that was not read from this register.
            vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], register %04x unreadable, left as it is", kMethod,
                              __LINE__, t_, tw.address);
            continue;
        }
        value = static_cast<BYTE>((value & tw.andMask) | tw.orMask);
        dev->VTL262xAccessRegister(t_, &value, tw.address, 1);
    }
}

HubWorker::End HubWorker::CheckVersion() {
    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d],  check FW version!!! ", kMethod, __LINE__, t_);
    std::wstring version;
    {
        platform::ScopedLock held(*utility_.m_EnumCriticalSection);
        for (wchar_t& c : row_.m_strFWVersion)
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        version = row_.m_strFWVersion;
    }
    startVersion_ = version;
    const bool same = SameVersionText(dlg_.m_strChkFWVer, version);
    StoreFlag(row_.m_bChkFWResult, same ? 1 : 0);
    if (!same) {
        vDEBUG_MSG_printf(
            L"%s:%d: ucTargetNumber[%d],  check FW version fail pFWUpdateDlg->m_strChkFWVer[%s], m_strFWVersion[%s]",
            kMethod, __LINE__, t_, dlg_.m_strChkFWVer, version);
        // With an update asked for too, the run ends with the code /C gives.
        return Fail(dlg_.m_bUpdateFW ? kExitContentMismatch : 0, textfmt::Format(L"the %dth Hub FW is not Match!!!", t_));
    }
    return End::Pass;
}

HubWorker::End HubWorker::Export() {
    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], export SPIROM data into a  file ", kMethod, __LINE__, t_);
    CVntlHubDev* dev = Dev();
    std::array<BYTE, kTableSize> table{};
    const int rc = dev != nullptr ? dev->VTL262xConfigRead(t_, table.data(), 0) : kExitNoHub;
    Pause(kAfterConfigReadMs);
    if (rc != 0) {
        vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], Read Configuration fail , dwErrorCode : %d", kMethod,
                          __LINE__, t_, GetLastSystemError());
        StoreFlag(row_.m_bExportResult, 0);
        return Fail(kExitReadBack, L"");
    }
    std::vector<BYTE> rom(kRomBufferSize, 0);
    CheckCancel();
    if (!utility_.bReadSPIROM(t_, rom.data(), rom.size())) {
        vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], bReadFirmware fail , dwErrorCode : %d", kMethod, __LINE__,
                          t_, GetLastSystemError());
        StoreFlag(row_.m_bExportResult, 0);
        return Fail(kExitReadBack, L"");
    }
    const std::size_t length = rom[kTableSize] | (rom[kTableSize + 1] << 8);
    const std::size_t area = length + 4;

    platform::Files& files = *utility_.Ports().files;
    const std::wstring folder = textfmt::Format(L"%s\\%s", utility_.m_szModuleDirectory, L"Temp");
    const std::wstring path =
        textfmt::Format(L"%s\\%s\\%s[%d].bin", utility_.m_szModuleDirectory, L"Temp", L"VTL262xFW", t_);
    files.CreateDirectory(folder);  // an existing folder is fine
    files.DeleteFile(path);
    bool written = false;
    if (kTableSize + area <= rom.size()) {
        const platform::FileOpenResult f =
            files.CreateFile(path, platform::kGenericWrite, platform::kFileShareWrite | platform::kFileShareDelete,
                             platform::FileDisposition::OpenAlways, platform::kFileFlagWriteThrough);
        if (f.handle.IsValid()) {
            std::uint32_t done1 = 0, done2 = 0;
            const bool ok1 = files.WriteFile(f.handle, table.data(), kTableSize, &done1).ok;
            const bool ok2 =
                files.WriteFile(f.handle, rom.data() + kTableSize, static_cast<std::uint32_t>(area), &done2).ok;
            const bool flushed = files.FlushFileBuffers(f.handle).ok;
            files.CloseHandle(f.handle);
            written = ok1 && ok2 && flushed && done1 == kTableSize && done2 == area;
        }
    }
    if (!written) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], export file [%s] not written whole, dwErrorCode : %d",
                          kMethod, __LINE__, t_, path, GetLastSystemError());
        StoreFlag(row_.m_bExportResult, 0);
        return Fail(kExitReadBack, L"");
    }
    StoreFlag(row_.m_bExportResult, 1);
    return End::Pass;
}

// A configuration image, taken only when two successful reads of it are
// equal (at most four reads, then one settle): one altered reply must never
// become the table written into both images.
bool HubWorker::ReadTableAgreed(BYTE image, std::array<BYTE, kTableSize>& out) {
    CVntlHubDev* dev = Dev();
    std::vector<std::array<BYTE, kTableSize>> seen;
    bool agreed = false;
    for (int i = 0; i < kTableReadLimit && dev != nullptr && !agreed; ++i) {
        CheckCancel();
        std::array<BYTE, kTableSize> read;
        read.fill(0xFF);
        if (dev->VTL262xConfigRead(t_, read.data(), image) != 0) continue;
        if (std::find(seen.begin(), seen.end(), read) != seen.end()) {
            out = read;
            agreed = true;
        } else {
            seen.push_back(read);
        }
    }
    Pause(kAfterConfigReadMs);
    if (!agreed && !seen.empty())
        vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], configuration image %d: no two reads agree", kMethod, __LINE__,
                          t_, image);
    return agreed;
}

void HubWorker::ChooseTable(std::array<BYTE, kTableSize>& table) {
    vDEBUG_MSG_printf(L"%s:%d: Read config Table, ucTargetNumber[%d]", kMethod, __LINE__, t_);
    table.fill(0xFF);
    if (dlg_.m_ucFWType == 1) {
        table = utility_.m_ucFileConfigTable;
        return;
    }
    const auto allFF = [](const std::array<BYTE, kTableSize>& a) {
        return std::all_of(a.begin(), a.end(), [](BYTE b) { return b == 0xFF; });
    };
    std::array<BYTE, kTableSize> image0;
    image0.fill(0xFF);
    const bool read0 = ReadTableAgreed(0, image0);
    if (read0 && !allFF(image0)) {
        table = image0;
        return;
    }
    vDEBUG_MSG_printf(L"%s:%d: Read Config from Device[%d] Fail. Try to read config from image 1!", kMethod,
                      __LINE__, t_);
    std::array<BYTE, kTableSize> image1;
    image1.fill(0xFF);
    const bool read1 = ReadTableAgreed(1, image1);
    if (read1 && !allFF(image1)) {
        table = image1;
        return;
    }
    if (read0) {
        // Image 0 was read, blank: the chip keeps the table it has.
        table = image0;
        return;
    }
    vDEBUG_MSG_printf(L"%s:%d: Read Config from Device[%d] Fail. Use Vantrel default config!", kMethod, __LINE__, t_);
    utility_.vSetMConfigInfo(t_);
    table = row_.m_ucConfigTable;
}

// The image's table: erased and downloaded. A download that fails after
// its erase has started leaves the table erased, so erase and download are
// repeated (kTableTries in all), the run's cancel notwithstanding: an image
// whose firmware boots is never left without its table by one failure.
// While it runs the step shows since when, so that the coordinator's last
// resort leaves it alone until its worst case (kTableStepWorstMs) has passed.
bool HubWorker::WriteTable(BYTE image, std::array<BYTE, kTableSize>& table) {
    struct StepMark {
        std::atomic<std::uint64_t>& since;
        ~StepMark() { since = 0; }
    } mark{info_.ullTableStepSinceMs};
    mark.since = std::max<std::uint64_t>(Now(), 1);
    for (int attempt = 0; attempt < kTableTries; ++attempt) {
        if (attempt > 0 && IsCancelled())
            vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], run cancelled, image %d's table left erased: erased and written again",
                              kMethod, __LINE__, t_, image);
        bool eraseStarted = false;
        if (utility_.vWrRdConfiguration(t_, 1, table.data(), image, &eraseStarted, attempt > 0)) return true;
        vDEBUG_MSG_printf(image == 0 ? L"%s:%d: vWrRdConfiguration image 0 Failed , pChildThreadInfo->ucTargetNumber[%d] "
                                     : L"%s:%d: vWrRdConfiguration image 1 Failed , pChildThreadInfo->ucTargetNumber[%d] ",
                          kMethod, __LINE__, t_);
        if (!eraseStarted) break;  // nothing erased
    }
    return false;
}

// One write of one image: its table, then its firmware (the prepared bytes).
// The run's cancel is tested before each, so after the time-out no write of
// an image starts, the second one included.
HubWorker::ImageResult HubWorker::WriteImage(BYTE image, std::array<BYTE, kTableSize>& table) {
    CheckCancel();
    // Each download is of the file this run wrote, read back and holds: its
    // name must still reach that very file.
    if (!dlg_.bTempImageStillHeld()) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], [%s] is not the image this run holds, nothing is written",
                          kMethod, __LINE__, t_, dlg_.strTempBinDataFilePath());
        writeFailure_ = textfmt::Format(image == 0 ? L"Failed to update FW to Hub[%d] in image 0"
                                                   : L"Failed to update FW to Hub[%d] in image 1",
                                        t_);
        return ImageResult::WriteFailed;
    }
    if (!WriteTable(image, table)) {
        writeFailure_ = image == 0 ? L"Failed to update config table in image 0" : L"Failed to update config table in image 1";
        return ImageResult::WriteFailed;
    }
    if (!tableWritten_[image]) {
        tableWritten_[image] = true;
        if (tableWritten_[0] && tableWritten_[1]) {
            StoreFlag(row_.m_bConfigResult, 1);
            Bar(40);
        }
    }
    CheckCancel();
    if (!utility_.vUpdateFirmware(t_, image, dlg_.m_TempBinImage)) {
        vDEBUG_MSG_printf(image == 0 ? L"%s:%d: vUpdateFirmware image 0 Failed , pChildThreadInfo->ucTargetNumber[%d] "
                                     : L"%s:%d: vUpdateFirmware image 1 Failed , pChildThreadInfo->ucTargetNumber[%d] ",
                          kMethod, __LINE__, t_);
        writeFailure_ = textfmt::Format(image == 0 ? L"Failed to update FW to Hub[%d] in image 0"
                                                   : L"Failed to update FW to Hub[%d] in image 1",
                                        t_);
        return ImageResult::WriteFailed;
    }
    return ImageResult::Ok;
}

// Reads one image back whole and compares it with what was written: the
// firmware area (length word, image, type byte, sum) with the prepared bytes
// held in memory, the table with the one chosen.
HubWorker::ImageResult HubWorker::ReadBackImage(BYTE image, const std::array<BYTE, kTableSize>& table) {
    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], b.verify firmware", kMethod, __LINE__, t_);
    std::vector<BYTE> rom(kRomBufferSize, 0);
    int firmwareRead = 0;
    CheckCancel();
    const bool read = utility_.bReadSPIROM(t_, rom.data(), rom.size(), image, &firmwareRead);
    const std::vector<BYTE>& file = dlg_.m_TempBinImage;
    const std::size_t fileLength = file[0] | (file[1] << 8);
    if (!read && firmwareRead == kChipFirmwareLengthInvalid) {
        // Read, but no length word in range: not the image written.
        vDEBUG_MSG_printf(L"%s:%d: FW Length compare Fail , dwFlashFWLeng[ %d] , dwFWFileLen[%d]", kMethod, __LINE__,
                          0, fileLength);
        return ImageResult::Length;
    }
    if (!read) {
        vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], bReadFirmware fail , dwErrorCode : %d", kMethod, __LINE__, t_,
                          GetLastSystemError());
        return ImageResult::ReadFailed;
    }
    const BYTE* flash = rom.data() + kTableSize;
    const std::size_t area = fileLength + kAreaFrame;
    const WORD flashLength = static_cast<WORD>(flash[0] | (flash[1] << 8));
    romLength_ = flashLength;
    vDEBUG_MSG_printf(L"%s:%d: open fw[%s], dwFWFileLen=%x, dwFlashFWLeng=%x", kMethod, __LINE__,
                      dlg_.strTempBinDataFilePath(), fileLength, flashLength);

    // Until value 1 has been shown to read image 1, image 1's read-back may
    // be image 0's area: then it is not verified, and fails nothing alone.
    const bool unproven = image == 1 && !value1Shown_;
    const bool matches = fileLength == flashLength && std::equal(file.begin(), file.begin() + area, flash);
    if (unproven && matches) NoteImage1NotVerified(false);
    bool readImage0 = false;
    if (unproven && !matches) {
        const std::vector<BYTE> image0 =
            image0Written_ ? std::vector<BYTE>(file.begin(), file.begin() + area) : image0Before_;
        readImage0 = !image0.empty() && std::equal(image0.begin(), image0.end(), flash);
        if (readImage0) NoteImage1NotVerified(true);
    }
    if (!matches && !readImage0) {
        if (fileLength != flashLength) {
            vDEBUG_MSG_printf(L"%s:%d: FW Length compare Fail , dwFlashFWLeng[ %d] , dwFWFileLen[%d]", kMethod,
                              __LINE__, flashLength, fileLength);
            return ImageResult::Length;
        }
        const auto mismatch = std::mismatch(file.begin(), file.begin() + area, flash);
        if (mismatch.first != file.begin() + area) {
            vDEBUG_MSG_printf(L"%s:%d: FW content compare Fail , dwFlashFWLeng[ %d]", kMethod, __LINE__, flashLength);
            const std::size_t at = static_cast<std::size_t>(mismatch.first - file.begin());
            for (std::size_t i = at; i < at + 4 && i < area; ++i)
                vDEBUG_MSG_printf(L"%s:%d: Cnt[%d], ucpFileBuf[%x] != pBuf[%x]", kMethod, __LINE__, i, file[i],
                                  flash[i]);
            return ImageResult::Content;
        }
    }
    if (!std::equal(table.begin(), table.end(), rom.begin())) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], configuration image %d compare Fail", kMethod, __LINE__, t_,
                          image);
        return ImageResult::Content;
    }
    return ImageResult::Ok;
}

int HubWorker::ReadImage0Area(std::vector<BYTE>& area, bool& boots) {
    CVntlHubDev* dev = Dev();
    if (dev == nullptr) return kChipNoHub;
    std::array<BYTE, kRomBlockBytes> first{};
    const int rc = dev->VTL262xRomBlockReadAgreed(t_, kFirmwareAreaOffset, 0, first.data());
    if (rc != 0) return rc;
    image0Before_.clear();
    image0First_ = first;
    const std::size_t l = first[0] | (first[1] << 8);
    if (l < kMinBootLength || l > kMaxBootLength) {
        boots = false;  // no image in image 0
        return 0;
    }
    // Whether the sum matches is taken only from two reads of the area that
    // agree: one altered reply may make a sum match or fail.
    std::vector<std::vector<BYTE>> seen;
    for (int i = 0; i < kAreaReadLimit; ++i) {
        CheckCancel();
        std::fill(area.begin(), area.end(), 0xFF);
        if (dev->VTL262xFirmwareRead(t_, area.data(), area.size(), 0) != 0 ||
            !std::equal(first.begin(), first.end(), area.begin()))
            continue;
        std::vector<BYTE> read(area.begin(), area.begin() + l + kAreaFrame);
        BYTE sum = 0;
        for (std::size_t j = 0; j < l; ++j) sum = static_cast<BYTE>(sum + read[2 + j]);
        if (std::find(seen.begin(), seen.end(), read) != seen.end()) {
            boots = read[2 + l + 1] == sum;
            image0Before_ = std::move(read);
            return 0;
        }
        seen.push_back(std::move(read));
    }
    return kChannelFailed;
}

bool HubWorker::ReadAreaBlock(std::size_t offset, BYTE value, std::array<BYTE, kRomBlockBytes>& out) {
    CVntlHubDev* dev = Dev();
    return dev != nullptr &&
           dev->VTL262xRomBlockReadAgreed(t_, kFirmwareAreaOffset + static_cast<hubaccess::DWORD>(offset), value,
                                          out.data()) == 0;
}

void HubWorker::ShowValue1Between(BYTE written) {
    const std::vector<BYTE>& file = dlg_.m_TempBinImage;
    const std::size_t area = static_cast<std::size_t>(file[0] | (file[1] << 8)) + kAreaFrame;
    // What the other image holds: image 0's area as read before any write,
    // or image 1's as value 1 reads it now (image 0's, if value 1 reads
    // image 0, which then equals the bytes just written: no block differs).
    std::vector<BYTE> other;
    if (written == 1) {
        other = image0Before_;
    } else {
        CVntlHubDev* dev = Dev();
        std::vector<BYTE> buffer(kRomBufferSize - kTableSize, 0xFF);
        CheckCancel();
        if (dev != nullptr && dev->VTL262xFirmwareRead(t_, buffer.data(), buffer.size(), 1) == 0) {
            const std::size_t l = buffer[0] | (buffer[1] << 8);
            buffer.resize(std::min(buffer.size(), l + kAreaFrame));
            other = std::move(buffer);
        }
    }
    const std::size_t common = std::min(area, other.size());
    for (std::size_t at = 0; at < common; at += kRomBlockBytes) {
        const std::size_t n = std::min(kRomBlockBytes, common - at);
        if (std::equal(other.begin() + at, other.begin() + at + n, file.begin() + at)) continue;
        // A block where the two images differ: read with both values, no
        // write between.
        std::array<BYTE, kRomBlockBytes> read0{}, read1{};
        CheckCancel();
        if (ReadAreaBlock(at, 0, read0) && ReadAreaBlock(at, 1, read1) && read0 != read1) value1Shown_ = true;
        return;
    }
}

HubWorker::End HubWorker::UpdateStage() {
    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], Update config &  Firmware, a. get chip verison ", kMethod, __LINE__, t_);
    CVntlHubDev* dev = Dev();
    BYTE chipVersion = 0;
    CheckCancel();
    if (dev == nullptr || dev->VTL262xReadRegisterAgreed(t_, &chipVersion, kRegChipVersion) != 0)
        return Fail(kExitWriteFailed, textfmt::Format(L"the %dth Hub is not ready!!!", t_));
    const std::wstring chipName = ChipNameFromVersionRegister(chipVersion);
    Bar(10);

    if (!bIsFWVersionText(dlg_.m_strCurFileFWVer)) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], file version [%s] is not 12 hexadecimal digits", kMethod,
                          __LINE__, t_, dlg_.m_strCurFileFWVer);
        return Fail(kExitInvalidInput, L"");
    }
    switch (CheckFirmwareLimits(chipName, ullFWVersionValue(dlg_.m_strCurFileFWVer))) {
        case LimitVerdict::TooNew:
            vDEBUG_MSG_printf(L"%s:%d:  Firmware too new to update to 0x120621000000!!![%d] ", kMethod, __LINE__, t_);
            return Fail(kExitInvalidInput, textfmt::Format(L" Firmware too new to update to current controller!![%d] ", t_));
        case LimitVerdict::TooOld:
            vDEBUG_MSG_printf(L"%s:%d:  Firmware too old to update to 0x120720000000!!![%d] ", kMethod, __LINE__, t_);
            return Fail(kExitInvalidInput, textfmt::Format(L" Firmware too old to update to current controller!!![%d] ", t_));
        case LimitVerdict::Allowed:
            break;
    }
    Bar(20);
    legacy_ = IsLegacyVersion(startVersion_);

    // Only the image this run prepared and checked is written.
    const std::vector<BYTE>& prepared = dlg_.m_TempBinImage;
    if (prepared.size() < kAreaFrame ||
        static_cast<std::size_t>(prepared[0] | (prepared[1] << 8)) + kAreaFrame > prepared.size()) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], the prepared image holds %d bytes, no firmware area", kMethod,
                          __LINE__, t_, prepared.size());
        return Fail(kExitImageUnreadable, L"");
    }

    std::array<BYTE, kTableSize> table;
    ChooseTable(table);
    Console(textfmt::Format(L"Target Hub[%02d] >FW Update.....\t", t_));
    Bar(30);

    // Write first the image the chip does not boot from: image 0 boots when
    // its length word is in range and its sum matches. A read that fails is
    // no answer: nothing is written without one.
    std::vector<BYTE> area(kRomBufferSize - kTableSize, 0xFF);
    bool image0Boots = false;
    for (int attempt = 0;; ++attempt) {
        CheckCancel();
        if (ReadImage0Area(area, image0Boots) == 0) break;
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], image 0's firmware area unreadable, try %d, dwErrorCode : %d",
                          kMethod, __LINE__, t_, attempt + 1, GetLastSystemError());
        if (attempt + 1 >= kOrderReadAttempts) return Fail(kExitReadBack, L"");
    }
    const BYTE order[2] = {static_cast<BYTE>(image0Boots ? 1 : 0), static_cast<BYTE>(image0Boots ? 0 : 1)};
    vDEBUG_MSG_printf(L"%s:%d: updata config , pChildThreadInfo->ucTargetNumber[%d] ", kMethod, __LINE__, t_);

    // Before anything is written: value 1 shows it reads image 1 when its
    // first block differs from image 0's.
    CheckCancel();
    std::array<BYTE, kRomBlockBytes> value1First{};
    if (ReadAreaBlock(0, 1, value1First) && value1First != image0First_) value1Shown_ = true;

    for (const BYTE image : order) {
        ImageResult result = ImageResult::Ok;
        for (int write = 0; write < kImageWrites; ++write) {
            if (write > 0)
                vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], image %d written once more", kMethod, __LINE__, t_, image);
            result = WriteImage(image, table);
            // Between the two images' writes: where they now differ, value 1
            // may show that it reads image 1.
            if (result == ImageResult::Ok && image == order[0] && !value1Shown_) ShowValue1Between(image);
            // Hubs at a legacy version are not read back.
            if (result == ImageResult::Ok && !legacy_) result = ReadBackImage(image, table);
            if (result == ImageResult::Ok) break;
        }
        switch (result) {
            case ImageResult::Ok:
                if (image == 0) image0Written_ = true;
                continue;
            case ImageResult::WriteFailed:
                return Fail(kExitWriteFailed, writeFailure_);
            case ImageResult::ReadFailed:
                return Fail(kExitReadBack, L"");
            case ImageResult::Content:
                return Fail(kExitContentMismatch, L"");
            case ImageResult::Length:
                // The other image is left as it is; the hub still goes
                // through the reset.
                bResult_ = 0;
                StoreCode(kExitLengthMismatch);
                return End::Pass;
        }
    }
    return End::Pass;
}

HubWorker::End HubWorker::ResetAndReload() {
    BYTE states[kMaxChildThreads] = {};

    // Reset gate: the time limit counts from the moment every worker is ready.
    const std::uint64_t limit = legacy_ ? kLegacyGateLimitMs : kGateLimitMs;
    bool everyoneReady = false;
    std::uint64_t readySince = 0;
    for (;;) {
        if (everyoneReady && Now() - readySince > limit) {
            const std::wstring text = textfmt::Format(L"Hub[%d] No responesed, Time out!!!", t_);
            vDEBUG_MSG_printf(L"%s:%d: %s ", kMethod, __LINE__, text);
            return Fail(kExitTimeOut, text);
        }
        Pause(kGatePollMs);
        States(states);
        if (AllWorkersReady(states, records_)) {
            if (!everyoneReady) readySince = Now();
            everyoneReady = true;
            if (row_.m_ucHubDepth == static_cast<BYTE>(utility_.m_MaxHubDepth.load())) break;
        }
        Pause(kGateSecondPollMs);
    }

    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], this Hub is unlock to do CPU rest, m_MaxHubDepth=%d, m_ucHubDepth=%d ",
                      kMethod, __LINE__, t_, utility_.m_MaxHubDepth.load(), row_.m_ucHubDepth);
    Bar(60);
    Console(textfmt::Format(L"Target Hub[%02d] >FW Reloading.....\n", t_));
    CheckCancel();
    CVntlHubDev* dev = Dev();
    const int rc = (dev == nullptr || dev->m_DriverNum == 0) ? kExitNoHub : dev->VTL262xReset(t_, legacy_ ? 1 : 0);
    if (rc != 0) {
        const DWORD error = GetLastSystemError();
        vDEBUG_MSG_printf(L"%s:%d:  ucTargetNumber[%d], vCPURST Failed, Error = %d ", kMethod, __LINE__, t_, rc);
        StoreMessage(textfmt::Format(L" ucTargetNumber[%d], vCPURST Failed, Error = %d ", t_, error));
        StoreCode(kExitReset);
    }
    int iRetry = 0;
    info_.ucThreadState = CHILD_THREAD_RST_DONE;
    std::uint64_t start = Now();
    std::uint64_t elapsed = 0;
    Bar(70);
    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], /Re-Enumration All Hub ", kMethod, __LINE__, t_);

    for (;;) {
        if (elapsed > kResetWaitLimitMs) {
            const std::wstring text = textfmt::Format(L"ucTargetNumber[%d], reload Hub Time Out!!! , dwErrorCode : %d",
                                                      t_, GetLastSystemError());
            vDEBUG_MSG_printf(L"%s:%d: %s", kMethod, __LINE__, text);
            return Fail(kExitReset, text);
        }
        Pause(kResetPollMs);
        States(states);
        if (!AllWorkersReset(states, records_)) {
            elapsed = Now() - start;
            Pause(kResetPollMs);
            Bar(80 + iRetry);
            Pause(static_cast<std::uint32_t>(row_.m_ucHubDepth) * kDepthPollMs);
            continue;
        }
        ++iRetry;
        CheckCancel();
        {
            // The filter texts are read by every rescan: set them under its lock.
            platform::ScopedLock held(*utility_.m_EnumCriticalSection);
            if (CVntlHubDev* d = Dev()) d->vInitialPrivateData();
            if (dlg_.m_ucFWType == 1) {
                utility_.m_strFW_Indetify = dlg_.m_strCurFileFWVer;
                const unsigned vid = utility_.m_ucFileConfigTable[0x84] | (utility_.m_ucFileConfigTable[0x85] << 8);
                utility_.m_strVID_Indetify = textfmt::Format(L"%04x", vid);
            } else {
                if (utility_.m_strVID_Indetify.empty()) utility_.m_strVID_Indetify = row_.m_strVID;
                if (!utility_.m_strFW_Indetify.empty()) {
                    vDEBUG_MSG_printf(L"%s:%d: pUtility.m_strFW_Indetify = %s, Clear it. ", kMethod, __LINE__,
                                      utility_.m_strFW_Indetify);
                    utility_.m_strFW_Indetify.clear();
                }
            }
            vDEBUG_MSG_printf(L"%s:%d: pFWUpdateDlg->m_ucFWType = %d, Assign  pUtility.m_strVID_Indetifyr[%s], ",
                              kMethod, __LINE__, dlg_.m_ucFWType, utility_.m_strVID_Indetify);
        }
        if (!utility_.ReEnumrationTargetHub(t_)) {
            vDEBUG_MSG_printf(L"%s:%d: ReEnumrationTargetHub Failed, ucTargetNumber[%d], ", kMethod, __LINE__, t_);
            continue;
        }
        const std::wstring version = HubVersion();
        if (SameVersionText(version, dlg_.m_strCurFileFWVer)) {
            bResult_ = 1;
            StoreFlag(row_.m_bReloadFWResult, 1);
            newVersionText_ = version;
            return End::Pass;
        }
        if (iRetry <= kVersionRechecks) {
            vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], iRetry = %d, Reload Version Check Failed[%s] fail , dwErrorCode : %d",
                              kMethod, __LINE__, t_, iRetry, version, GetLastSystemError());
            Pause(kRecheckMs);
            Pause(kRecheckSecondMs);
            continue;
        }
        vDEBUG_MSG_printf(
            L"%s:%d: try iRetry = %d, ucTargetNumber[%d], Reload Version Check Failed[%s] fail, pFWUpdateDlg->m_strCurFileFWVer[%s], dwErrorCode : %d",
            kMethod, __LINE__, iRetry, t_, version, dlg_.m_strCurFileFWVer, GetLastSystemError());
        return Fail(kExitReset, L"");
    }
}

unsigned HubWorker::Run() {
    End end = End::Fail;
    bool cancelled = false;
    try {
        row_.m_ucTargetNumber = t_;
        records_ = std::min<std::size_t>(static_cast<std::size_t>(dlg_.m_ucRunHubCount.load()), kMaxChildThreads);
        BarColour(kColourGreen);
        Bar(0);
        vDEBUG_MSG_printf(L"%s:%d:  ChildThreadFun, pChildThreadInfo->ucTargetNumber[%d] ", kMethod, __LINE__, t_);
        // The version the scan read; only this worker's re-identification
        // rewrites it.
        startVersion_ = HubVersion();
        Console(textfmt::Format(L"===Hub[%d], FW Versoin[%S]==============\n", t_, startVersion_));

        RegisterTweaks();
        bool done = false;
        if (dlg_.m_bCheckFWVersion) {
            end = CheckVersion();
            done = end == End::Fail || !dlg_.m_bUpdateFW;
        }
        if (!done && !dlg_.m_strCurFileFWVer.empty() && SameVersionText(dlg_.m_strCurFileFWVer, startVersion_)) {
            StoreFlag(row_.m_bUpdateFWResult, 1);
            StoreFlag(row_.m_bReloadFWResult, 1);
            Console(textfmt::Format(L"===Hub[%d], the current FW version[%S] has been the latest version\n", t_,
                                    startVersion_));
            end = End::Pass;
            done = true;
        }
        if (!done && dlg_.m_bExportFW) {
            end = Export();
            done = true;
        }
        if (!done && !dlg_.m_bImagePrepared) {
            // Nothing this run prepared may be written.
            vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], no firmware image prepared by this run, nothing written",
                              kMethod, __LINE__, t_);
            end = dlg_.m_bUpdateFW ? Fail(kExitInvalidInput, L"") : End::Pass;
            done = true;
        }
        if (!done) {
            CheckCancel();
            if (dlg_.m_bConsoleMode) {
                utility_.m_ThreadCriticalSection->Lock();
                threadLockHeld_ = true;
            }
            const End stage = UpdateStage();
            if (stage == End::Fail) {
                end = End::Fail;
                done = true;
            } else {
                StoreFlag(row_.m_bUpdateFWResult, bResult_);
                vDEBUG_MSG_printf(L"%s:%d: FW Update %s , dwFlashFWLeng[ %d]", kMethod, __LINE__,
                                  bResult_ ? L"PASS" : L"FAIL", romLength_);
            }
            Console(stage == End::Pass && bResult_ ? L"PASS \n" : L"FAIL\n");
            if (threadLockHeld_) {
                threadLockHeld_ = false;
                utility_.m_ThreadCriticalSection->Unlock();
            }
        }
        if (!done) {
            Bar(50);
            vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], CHILD_THREAD_RST_READY, Hub Depth = %d ", kMethod, __LINE__,
                              t_, row_.m_ucHubDepth);
            info_.ucThreadState = CHILD_THREAD_RST_READY;
            end = ResetAndReload();
        }
    } catch (const Cancelled&) {
        cancelled = true;
    } catch (const std::exception&) {
        end = Fail(kExitWriteFailed, L"");
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], abnormal end, bResult=%x, ERROR=%d", kMethod, __LINE__, t_, 0,
                          GetLastSystemError());
    }
    if (threadLockHeld_) {
        threadLockHeld_ = false;
        utility_.m_ThreadCriticalSection->Unlock();
    }

    if (cancelled || IsCancelled()) {
        vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], run cancelled, hub left as it is", kMethod, __LINE__, t_);
        BarColour(kColourRed);
        Bar(100);
        info_.ucThreadState = CHILD_THREAD_FINISH;
        return 0;
    }
    const bool pass = end == End::Pass;
    if (!pass) bResult_ = 0;
    // A hub that stored a failure code ends red, whatever step it reached.
    BarColour(pass && !failureStored_ ? kColourGreen : kColourRed);
    if (pass) {
        // The row shows the version found after the reset, empty after an
        // early pass.
        if (!newVersionText_.empty()) RowVersion(newVersionText_);
        else RowVersion(L"");
    }
    if (dlg_.m_bCheckFWVersion && !dlg_.m_bUpdateFW)
        Console(textfmt::Format(bResult_ ? L"The Hub[%d] FW Check PASS \n" : L"The Hub[%d] FW Check FAIL \n", t_));
    else
        Console(textfmt::Format(bResult_ ? L"The Hub[%d] FW Update PASS \n" : L"The Hub[%d] FW Update FAIL \n", t_));
    Bar(100);
    info_.ucThreadState = CHILD_THREAD_FINISH;
    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], Finish, bResult=%x", kMethod, __LINE__, t_, bResult_);
    return bResult_;
}

}  // namespace

unsigned CMy262FWUpgradeToolDlg::ChildThreadFun(CHILD_THREAD_INFO* pChildThreadInfo) {
    if (pChildThreadInfo == nullptr || pFWUpdateDlg == nullptr || pUtility == nullptr) return 0;
    HubWorker worker(*pFWUpdateDlg, *pChildThreadInfo);
    return worker.Run();
}

}  // namespace app

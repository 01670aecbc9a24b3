// Fuzz target: the firmware file readers. The first input byte chooses the
// kind of file the rest is (plain image, "Config_" file, packed file with
// its trailer, packed "Config_" file); the run's firmware preparation reads
// it and either leaves a temporary image that passes its check or refuses
// and leaves none. The trailer, version-text and version-compare helpers run
// on the same bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "app/FirmwareFiles.h"
#include "app/MainDialog.h"
#include "hubaccess/DebugLog.h"
#include "sim/FakeRunView.h"
#include "tests/HubUtilityMachine.h"

namespace {

struct Bench {
    Bench() {
        hubaccess::pUtility = m.utility.get();
        app::pFWUpdateDlg = &dlg;
        dlg.m_pRunView = &view;
        dlg.m_ucMsgThreshold = 0xFF;
        view.SetFailureHandler([](const std::wstring&) { FUZZ_CHECK(!"the run view was misused"); });
        g_nMessageLevel = 0;
    }

    testing_machine::HubUtilityMachine m;
    sim::FakeRunView view;
    app::CMy262FWUpgradeToolDlg dlg;
};

Bench& TheBench() {
    static Bench* bench = new Bench;
    return *bench;
}

const wchar_t* const kNames[4] = {
    L"C:\\Tool\\140415_03_E5_00.bin",
    L"C:\\Tool\\CONFIG_120621_000000.BIN",
    L"C:\\Tool\\VTL262XFW.BIN",
    L"C:\\Tool\\CONFIG_VTL262XFW.BIN",
};

void CheckHelpers(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() >= app::kFwFileTrailerSize) {
        const std::uint8_t* p = bytes.data() + bytes.size() - app::kFwFileTrailerSize;
        const app::FW_FILE_TRAILER t = app::ParseFwFileTrailer(p);
        const auto rebuilt = app::BuildFwFileTrailer(t);
        FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), p));
        FUZZ_CHECK(app::FwTrailerVersionText(t).size() == 12);
        FUZZ_CHECK(app::FwTrailerManufacturer(t).size() <= app::kFwTrailerManufacturerSize);
    }
    const std::wstring text(bytes.begin(), bytes.end());
    FUZZ_CHECK(app::strFWVersionFromFileName(text).size() <= 12);
    const std::wstring a = text.substr(0, 12), b = text.size() > 12 ? text.substr(12, 12) : std::wstring();
    FUZZ_CHECK(app::ullFWVersionValue(a) < (std::uint64_t{1} << 48));
    FUZZ_CHECK(app::nCompareFWVersion(a, a) == 0);
    const int ab = app::nCompareFWVersion(a, b), ba = app::nCompareFWVersion(b, a);
    FUZZ_CHECK((ab < 0) == (ba > 0) && (ab == 0) == (ba == 0));

    const app::TempImageCheck check = app::CheckTempBinImage(bytes.data(), bytes.size());
    if (check == app::TempImageCheck::Ok) {
        FUZZ_CHECK(bytes.size() >= 2);
        const std::size_t f = bytes[0] | (bytes[1] << 8);
        FUZZ_CHECK(f >= app::kMinFirmwareLength && f + 4 <= bytes.size());
        FUZZ_CHECK((bytes.size() + 31) / 32 * 32 <= app::kMaxTempImageSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 0x14000) return 0;
    Bench& b = TheBench();
    const std::vector<std::uint8_t> contents(data + 1, data + size);
    CheckHelpers(contents);

    const std::wstring name = kNames[data[0] & 3];
    b.m.files.PutFile(name, contents);
    hubaccess::CHubUtility& u = *b.m.utility;
    u.m_strFWBinFilePath = name;
    b.dlg.m_ucFWType = 0;
    b.dlg.m_bImagePrepared = false;

    const int rc = b.dlg.nPrepareFirmwareFile();
    const auto temp = b.m.files.GetFile(b.dlg.strTempBinDataFilePath());
    if (rc == 0) {
        FUZZ_CHECK(b.dlg.m_bImagePrepared);
        FUZZ_CHECK(temp.has_value());
        FUZZ_CHECK(app::CheckTempBinImage(temp->data(), temp->size()) == app::TempImageCheck::Ok);
    } else {
        FUZZ_CHECK(rc == app::kExitInvalidInput);
        FUZZ_CHECK(!b.dlg.m_bImagePrepared);
        FUZZ_CHECK(!temp.has_value());
    }
    // A prepared image is held until the run's end (its name reaching the
    // held file), with its Temp folder; nothing else stays open.
    if (rc == 0) FUZZ_CHECK(b.dlg.bTempImageStillHeld());
    b.dlg.ReleaseTempImage();
    u.vReleaseTempFolder();
    FUZZ_CHECK(b.m.FileHandlesOpen() == 0);

    if (contents.size() >= app::kFwFileTrailerSize) {
        const app::FW_FILE_TRAILER t =
            app::ParseFwFileTrailer(contents.data() + contents.size() - app::kFwFileTrailerSize);
        app::vApplyFwFileTrailer(t, u, b.dlg);
        FUZZ_CHECK(u.m_strPID30_Indetify.size() <= 4 && u.m_strPID20_Indetify.size() <= 4);
    }
    b.m.files.DeleteFile(name);
    b.m.sink.Clear();
    b.view.ClearEvents();
    return 0;
}

// Fuzz target: the switch parser on any command text. Each input byte is one
// character of the command text. Besides crashes and sanitizer reports it
// checks what every parse must leave behind. The same bytes also choose a
// generated command line of valid switches and values (tests/SwitchLines.h),
// whose reading must give back every switch and value as written.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"
#include "app/Switches.h"
#include "hubaccess/DebugLog.h"
#include "tests/HubUtilityMachine.h"
#include "tests/SwitchLines.h"

namespace {

class Services : public app::SwitchServices {
public:
    Services(app::CMy262FWUpgradeToolDlg& dlg, sim::SimFiles& files) : dlg_(dlg), files_(files) {}
    app::BOOL vExtractBinFiles() override {
        dlg_.m_strFWBinFile = L"140415_03_E5_00.bin";
        files_.PutFile(L"C:\\Tool\\140415_03_E5_00.bin", {1, 2, 3});
        return 1;
    }
    void HideDialog() override {}
    void vOpenConsoleWindow() override {}

private:
    app::CMy262FWUpgradeToolDlg& dlg_;
    sim::SimFiles& files_;
};

testing_machine::HubUtilityMachine& Machine() {
    static auto* machine = [] {
        auto* m = new testing_machine::HubUtilityMachine;
        m->files.PutFile(L"C:\\Tool\\FW.BIN", {1});
        m->files.PutFile(L"C:\\Tool\\CONFIG_120621_000000.BIN", {1});
        return m;
    }();
    return *machine;
}

void CheckRoundTrip(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider choices(data, size);
    const auto pick = [&](std::size_t n) { return choices.ConsumeIntegralInRange<std::size_t>(0, n - 1); };
    const std::wstring misread = switch_lines::Misreading(switch_lines::WriteLine(pick));
    if (!misread.empty()) std::fprintf(stderr, "misread: %ls\n", misread.c_str());
    FUZZ_CHECK(misread.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    CheckRoundTrip(data, size);
    testing_machine::HubUtilityMachine& m = Machine();
    hubaccess::CHubUtility& u = *m.utility;
    u.m_strVID_Indetify = L"7A7D";
    u.m_strPID30_Indetify.clear();
    u.m_strPID20_Indetify.clear();
    u.m_strManuString_Indetify.clear();
    u.m_bCheckManuString = 0;
    u.m_strFWBinFilePath.clear();
    m.ui.Clear();
    g_nMessageLevel = 0;

    auto dlg = std::make_unique<app::CMy262FWUpgradeToolDlg>();
    dlg->g_strInitCmd.assign(data, data + size);
    Services services(*dlg, m.files);
    const app::SwitchOutcome out = app::ParseSwitches(*dlg, u, services);
    g_nMessageLevel = 0;
    m.sink.Clear();

    // The stored command text is clean.
    for (wchar_t c : dlg->g_strInitCmd) FUZZ_CHECK(c != L'"' && !(c >= L'a' && c <= L'z'));
    if (out.exit) {
        FUZZ_CHECK(out.exit->code == 0 || out.exit->code == app::kExitInvalidInput);
        // The usage goes to the console only for /? under /DOS, and then alone.
        if (!out.exit->consoleText.empty())
            FUZZ_CHECK(dlg->m_bShowHelp && dlg->m_bConsoleMode && out.exit->messages.empty() && out.exit->code == 0);
        // Refusals and the usage come as messages; an unattended run shows no box.
        if (dlg->m_bSilentMode || dlg->m_bConsoleMode) FUZZ_CHECK(m.ui.Messages().empty());
        return 0;
    }
    // A run that goes on has one mode at least, and an update has its file.
    FUZZ_CHECK(dlg->m_bUpdateFW || dlg->m_bCheckFWVersion || dlg->m_bExportFW || dlg->m_bOutputVerFile ||
               dlg->m_bCompareSN);
    if (dlg->m_bUpdateFW) {
        FUZZ_CHECK(!dlg->m_bExportFW);
        FUZZ_CHECK(!u.m_strFWBinFilePath.empty());
    }
    if (dlg->m_bCheckFWVersion) FUZZ_CHECK(dlg->m_strChkFWVer.size() == 12);
    // A file name without its /U never goes unnoticed.
    FUZZ_CHECK(!app::ReadCommandText(dlg->g_strInitCmd).binWordLeft);
    FUZZ_CHECK(u.m_strPID30_Indetify.size() <= 4 && u.m_strPID20_Indetify.size() <= 4);
    FUZZ_CHECK(u.m_strVID_Indetify.size() <= 4);
    return 0;
}

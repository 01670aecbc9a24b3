// Fuzz target: the switch parser on any command text. Each input byte is one
// character of the command text. Besides crashes and sanitizer reports it
// checks what every parse must leave behind, judged from the text and the
// values the run would go on with, never from the reader's own records. The
// same bytes also choose a generated command line (tests/SwitchLines.h),
// valid or with faults, that must end as its writer knows it must.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"
#include "app/Switches.h"
#include "tests/SwitchLines.h"

namespace {

switch_lines::LineParser& Parser() {
    static auto* parser = new switch_lines::LineParser;
    return *parser;
}

void CheckGeneratedLine(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider choices(data, size);
    const auto pick = [&](std::size_t n) { return choices.ConsumeIntegralInRange<std::size_t>(0, n - 1); };
    const std::wstring misread = switch_lines::Misreading(switch_lines::WriteLine(pick), Parser());
    if (!misread.empty()) std::fprintf(stderr, "misread: %ls\n", misread.c_str());
    FUZZ_CHECK(misread.empty());
}

bool IsHex(const std::wstring& text) { return text.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos; }

// Every word (between blanks) that ends in ".BIN" and holds no "/U" names
// the firmware file the run goes on with: that file's path ends with the
// word's last part.
bool EveryFileWordIsTheFile(const std::wstring& text, const std::wstring& path) {
    static const wchar_t kBlanks[] = L" \t\r\n\v\f";
    for (std::size_t p = text.find_first_not_of(kBlanks); p != std::wstring::npos;
         p = text.find_first_not_of(kBlanks, p)) {
        std::size_t e = text.find_first_of(kBlanks, p);
        if (e == std::wstring::npos) e = text.size();
        const std::wstring word = text.substr(p, e - p);
        p = e;
        if (word.size() < 4 || word.compare(word.size() - 4, 4, L".BIN") != 0) continue;
        if (word.find(L"/U") != std::wstring::npos) continue;
        const std::size_t cut = word.find_last_of(L"\\/");
        const std::wstring last = cut == std::wstring::npos ? word : word.substr(cut + 1);
        if (path.size() < last.size() || path.compare(path.size() - last.size(), last.size(), last) != 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    CheckGeneratedLine(data, size);
    switch_lines::LineParser& parser = Parser();
    const app::SwitchOutcome out = parser.Parse(std::wstring(data, data + size));
    const app::CMy262FWUpgradeToolDlg& dlg = parser.Dialog();
    const hubaccess::CHubUtility& u = *parser.Machine().utility;

    // The stored command text is clean.
    for (wchar_t c : dlg.g_strInitCmd) FUZZ_CHECK(c != L'"' && !(c >= L'a' && c <= L'z'));
    if (out.exit) {
        FUZZ_CHECK(out.exit->code == 0 || out.exit->code == app::kExitInvalidInput);
        // The usage goes to the console only for /? under /DOS, and then alone.
        if (!out.exit->consoleText.empty())
            FUZZ_CHECK(dlg.m_bShowHelp && dlg.m_bConsoleMode && out.exit->messages.empty() && out.exit->code == 0);
        // Refusals and the usage come as messages; an unattended run shows no box.
        if (dlg.m_bSilentMode || dlg.m_bConsoleMode) FUZZ_CHECK(parser.Machine().ui.Messages().empty());
        return 0;
    }
    // A run that goes on has one mode at least, and an update has its file.
    FUZZ_CHECK(dlg.m_bUpdateFW || dlg.m_bCheckFWVersion || dlg.m_bExportFW || dlg.m_bOutputVerFile ||
               dlg.m_bCompareSN);
    if (dlg.m_bUpdateFW) {
        FUZZ_CHECK(!dlg.m_bExportFW);
        FUZZ_CHECK(!u.m_strFWBinFilePath.empty());
    }
    if (dlg.m_bCheckFWVersion) FUZZ_CHECK(dlg.m_strChkFWVer.size() == 12);
    // A file name outside /U's value never goes unnoticed, in any mode.
    FUZZ_CHECK(EveryFileWordIsTheFile(dlg.g_strInitCmd, dlg.m_bUpdateFW ? u.m_strFWBinFilePath : L""));
    // Filters are the INI's or four hexadecimal digits.
    FUZZ_CHECK(u.m_strVID_Indetify == L"7A7D" || (u.m_strVID_Indetify.size() == 4 && IsHex(u.m_strVID_Indetify)));
    for (const std::wstring* pid : {&u.m_strPID30_Indetify, &u.m_strPID20_Indetify})
        FUZZ_CHECK(pid->empty() || (pid->size() == 4 && IsHex(*pid)));
    return 0;
}

#include "app/Switches.h"

#include <array>
#include <cstdint>

#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"

namespace app {

namespace {

constexpr wchar_t kMethod[] = L"CMy262FWUpgradeToolDlg::OnInitDialog";

// Every switch of the table, as the value cuts recognise a switch's start.
constexpr std::array<const wchar_t*, 17> kSwitches = {
    L"/?", L"/DBG", L"/DOS", L"/MP", L"/SILENT", L"/A", L"/O", L"/VID", L"/P3",
    L"/P2", L"/MSTR", L"/N", L"/UN", L"/I", L"/E", L"/C", L"/U"};

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring Trim(const std::wstring& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

bool IsBlankText(const std::wstring& text) { return Trim(text).empty(); }

void RemoveAll(std::wstring& text, const std::wstring& part) {
    if (part.empty()) return;
    for (std::size_t p = text.find(part); p != std::wstring::npos; p = text.find(part, p))
        text.erase(p, part.size());
}

// The characters at [pos, pos + count), as far as the text goes.
std::wstring Mid(const std::wstring& text, std::size_t pos, std::size_t count) {
    if (pos >= text.size()) return {};
    return text.substr(pos, count);
}

// True when a switch of the table begins at `pos` and is followed by white
// space, "/" or the end.
bool IsSwitchAt(const std::wstring& text, std::size_t pos) {
    for (const wchar_t* s : kSwitches) {
        const std::wstring sw(s);
        if (text.compare(pos, sw.size(), sw) != 0) continue;
        const std::size_t after = pos + sw.size();
        if (after == text.size() || IsBlank(text[after]) || text[after] == L'/') return true;
    }
    return false;
}

// Where a free-text value that begins at `from` ends: at the next switch of
// the table, or at the end.
std::size_t EndOfFreeValue(const std::wstring& text, std::size_t from) {
    for (std::size_t p = text.find(L'/', from); p != std::wstring::npos; p = text.find(L'/', p + 1))
        if (IsSwitchAt(text, p)) return p;
    return text.size();
}

// Cuts "<sw><value>" out of `text` at `pos`, the value ending at the next
// switch of the table; returns the trimmed value.
std::wstring CutFreeValue(std::wstring& text, std::size_t pos, const std::wstring& sw) {
    const std::size_t end = EndOfFreeValue(text, pos + sw.size());
    const std::wstring value = Trim(text.substr(pos + sw.size(), end - pos - sw.size()));
    text.erase(pos, end - pos);
    return value;
}

// Cuts "<sw><value>" out of `text` at `pos`, the value ending at the next
// "/" (or the end); returns the trimmed value.
std::wstring CutValueToSlash(std::wstring& text, std::size_t pos, const std::wstring& sw) {
    std::size_t end = text.find(L'/', pos + sw.size());
    if (end == std::wstring::npos) end = text.size();
    const std::wstring value = Trim(text.substr(pos + sw.size(), end - pos - sw.size()));
    text.erase(pos, end - pos);
    return value;
}

// Hexadecimal text to a number, digit by digit: each character shifts the
// result by 4 bits and adds its value ('0'-'9', 'A'-'F'); any other
// character adds 0. The result wraps around at 32 bits.
int HexTextToInt(const std::wstring& text) {
    std::uint32_t value = 0;
    for (wchar_t c : text) {
        std::uint32_t digit = 0;
        if (c >= L'0' && c <= L'9')
            digit = static_cast<std::uint32_t>(c - L'0');
        else if (c >= L'A' && c <= L'F')
            digit = static_cast<std::uint32_t>(c - L'A' + 10);
        value = (value << 4) + digit;
    }
    return static_cast<int>(value);
}

void SetControlText(CMy262FWUpgradeToolDlg& dlg, int id, const std::wstring& text) {
    if (dlg.m_pRunView) dlg.m_pRunView->SetControlText(id, text);
}

ExitRequest Refusal(const CMy262FWUpgradeToolDlg& dlg, const std::wstring& message, bool usage) {
    ExitRequest request;
    if (usage) request = vShowUsage(dlg, kExitInvalidInput);
    request.code = kExitInvalidInput;
    request.messages.insert(request.messages.begin(), UserMessage{message, kMsgError, 0});
    return request;
}

}  // namespace

std::wstring CleanCommandText(const std::wstring& text) {
    std::wstring clean = hubaccess::ToUpperAscii(text);
    RemoveAll(clean, L"\"");
    return clean;
}

std::wstring BuildUsageText(const std::wstring& commandText) {
    std::wstring t;
    t += L"262FWUpgradeTool.exe";
    t += textfmt::Format(L" %s%s", L"2, 4, 1, 6", L"\r\n");
    t += L"Your Input: ";
    t += commandText + L"\r\n";
    t += L"Usage: ";
    t += L"262FWUpgradeTool.exe";
    t += L"  [/? | | /SILENT  | /MP | /A | /O | /VID | /U file | /C [version] |/P3 PID | /P2 PID | "
         L"/MSTR [M string]| /N | /UN |/DBG ] \r\n";
    t += L"OPTIONS\r\n";
    t += L" /?\tDisplay help message.\r\n";
    t += L" /SILENT\tSilent Install -- do not show any message and button operaions\r\n";
    t += L" /MP\tMP Version -- do not check firmware \r\n";
    t += L" /A\tAuto Mode--  do not Need to press confirm \"OK\" button \r\n";
    t += L" /O\tOutput version text file \r\n";
    t += L" /VID\t [VID]\tassign target VID Hubs \r\n";
    t += L" /F\t [Manufactory String ]\tassign target Manufactory String  Hubs \r\n";
    t += L" /C\t [FW version]Check Firmware Version\r\n";
    t += L" /E\t [Target Number]\tExport SPI-ROM in VTL262xFW.bin file\r\n";
    t += L" /U [file]\t update FW \r\n";
    t += L" /MSTR [M string]\tassign target Hub's Manufacturing string  \r\n";
    t += L" /P3 [U3 PID]\tassign target USB 3.0 PID Hubs  \r\n";
    t += L" /P2 [U2 PID]\tassign target USB 2.0 PID Hubs  \r\n";
    t += L" /N [No.]\tSet Hubs Humber \r\n";
    t += L" /UN\t Do not unstaill Filter Driver after program finished. \r\n";
    t += L" /DBG \tSet Message Level \r\n";
    t += L" /DOS \tEnable Console Windows \r\n";
    t += L" /forcerestart \tforce restart OS system after program ended \r\n";
    t += L" /hwid [hw id]\tassign target hw id\r\n";
    t += L" /fw [FW version]\tassign target FW version\r\n";
    return t;
}

ExitRequest vShowUsage(const CMy262FWUpgradeToolDlg& dlg, int code) {
    ExitRequest request;
    request.code = code;
    if (!dlg.m_bConsoleMode)
        request.messages.push_back(UserMessage{BuildUsageText(dlg.g_strInitCmd), kMsgQuestion, 0});
    return request;
}

void vOpenConsoleWindow(platform::Console& console) {
    console.AllocConsole();
    console.BindStdout();
}

void vEndProcess(CMy262FWUpgradeToolDlg& dlg, const ExitRequest& request) {
    for (const UserMessage& m : request.messages) dlg.nMessageOut(m.text, m.type, m.flags);
    dlg.m_iRet = request.code;
    vDEBUG_MSG_printf(L"%s:%d:  iExitcode[ %d]", kMethod, __LINE__, request.code);
    if (dlg.m_pfnRemoveBinFiles) dlg.m_pfnRemoveBinFiles();
    dlg.m_bExitRequested = true;
    if (dlg.m_pRunView) dlg.m_pRunView->RequestExit(request.code);
}

SwitchOutcome ParseSwitches(CMy262FWUpgradeToolDlg& dlg, hubaccess::CHubUtility& utility,
                            SwitchServices& services) {
    SwitchOutcome out;
    dlg.g_strInitCmd = CleanCommandText(dlg.g_strInitCmd);
    std::wstring& work = out.remaining;
    work = dlg.g_strInitCmd;

    // --- the cuts: /UN, then the /U value, then the /MSTR and /C values
    for (std::size_t p = work.find(L"/UN"); p != std::wstring::npos; p = work.find(L"/UN", p)) {
        const std::size_t after = p + 3;
        if (after == work.size() || IsBlank(work[after]) || work[after] == L'/') {
            work.erase(p, 3);
            dlg.m_bKeepFilterDriver = 1;
        } else {
            ++p;
        }
    }
    bool uGiven = false;
    std::wstring uValue;
    if (const std::size_t p = work.find(L"/U"); p != std::wstring::npos) {
        uGiven = true;
        std::size_t end = work.find(L".BIN", p + 2);
        if (end != std::wstring::npos) {
            end += 4;
        } else {
            end = work.size();
            for (std::size_t q = p + 2; q + 1 < work.size(); ++q) {
                if (IsBlank(work[q]) && work[q + 1] == L'/') {
                    end = q;
                    break;
                }
            }
        }
        uValue = Trim(work.substr(p + 2, end - p - 2));
        work.erase(p, end - p);
    }
    std::optional<std::wstring> mstrValue;
    if (const std::size_t p = work.find(L"/MSTR"); p != std::wstring::npos)
        mstrValue = CutFreeValue(work, p, L"/MSTR");
    std::optional<std::wstring> cValue;
    if (const std::size_t p = work.find(L"/C"); p != std::wstring::npos)
        cValue = CutFreeValue(work, p, L"/C");
    const bool anyCut = uGiven || mstrValue || cValue || dlg.m_bKeepFilterDriver;
    const auto nothingLeft = [&] { return !anyCut && IsBlankText(work); };

    // 1. /?
    if (work.find(L"/?") != std::wstring::npos) {
        dlg.m_bShowHelp = 1;
        out.exit = vShowUsage(dlg, 0);
        return out;
    }
    // 2. /DBG
    if (const std::size_t p = work.find(L"/DBG"); p != std::wstring::npos) {
        const std::wstring value = CutValueToSlash(work, p, L"/DBG");
        g_nMessageLevel = HexTextToInt(value) & 0xFF;
    }
    if (nothingLeft()) dlg.m_bUpdateFW = 1;
    // 3. /DOS
    if (work.find(L"/DOS") != std::wstring::npos) {
        dlg.m_bConsoleMode = 1;
        services.vOpenConsoleWindow();
        RemoveAll(work, L"/DOS");
        if (nothingLeft()) {
            out.exit = vShowUsage(dlg, 0);
            return out;
        }
    }
    // 4. /MP
    if (work.find(L"/MP") != std::wstring::npos) {
        dlg.m_bMPMode = 1;
        RemoveAll(work, L"/MP");
    }
    // 5. /SILENT
    if (work.find(L"/SILENT") != std::wstring::npos) {
        services.HideDialog();
        dlg.m_bSilentMode = 1;
        dlg.m_ucMsgThreshold = 0xFF;
        RemoveAll(work, L"/SILENT");
    }
    // 6. /A
    if (work.find(L"/A") != std::wstring::npos) {
        dlg.m_bAutoMode = 1;
        RemoveAll(work, L"/A");
    }
    // 7. /O
    if (work.find(L"/O") != std::wstring::npos) {
        dlg.m_bOutputVerFile = 1;
        SetControlText(dlg, kIdVersionCaption, L"Output Hub Version:");
        RemoveAll(work, L"/O");
    }
    // 8. /VID: the 5 characters behind the switch
    if (const std::size_t p = work.find(L"/VID"); p != std::wstring::npos) {
        const std::wstring raw = Mid(work, p + 4, 5);
        utility.m_strVID_Indetify = Trim(raw);
        vDEBUG_MSG_printf(L"%s:%d:  Assign Target VID Hubs!!, pUtility.m_strVID_Indetify=[%s]", kMethod,
                          __LINE__, utility.m_strVID_Indetify);
        work.erase(p, 4 + raw.size());
    }
    // 9. and 10. /P3, /P2: the 4 characters 1 behind the switch
    const std::size_t p3 = work.find(L"/P3");
    const std::size_t p2 = work.find(L"/P2");
    if (p3 != std::wstring::npos || p2 != std::wstring::npos) {
        if (p3 != std::wstring::npos && p2 != std::wstring::npos) {
            out.exit = Refusal(dlg, L"You can not check /P3 /P2 at the same time!!! ", false);
            return out;
        }
        if (p3 != std::wstring::npos) {
            utility.m_strPID30_Indetify = Trim(Mid(work, p3 + 4, 4));
            vDEBUG_MSG_printf(L"%s:%d:  Assign Target USB 3.0 PID Hubs!!, pUtility.m_strPID30_Indetify=[%s]",
                              kMethod, __LINE__, utility.m_strPID30_Indetify);
        } else {
            utility.m_strPID20_Indetify = Trim(Mid(work, p2 + 4, 4));
            vDEBUG_MSG_printf(L"%s:%d:  Assign Target USB 2.0 PID Hubs!!, pUtility.m_strPID20_Indetify=[%s]",
                              kMethod, __LINE__, utility.m_strPID20_Indetify);
        }
    }
    // 11. /MSTR (cut above)
    if (mstrValue) {
        utility.m_bCheckManuString = 1;
        utility.m_strManuString_Indetify = *mstrValue;
    }
    // 12. /N: read and otherwise ignored
    if (const std::size_t p = work.find(L"/N"); p != std::wstring::npos) {
        const int number = HexTextToInt(CutValueToSlash(work, p, L"/N"));
        vDEBUG_MSG_printf(L"%s:%d:  /N %d", kMethod, __LINE__, number);
    }
    // 13. /UN (cut above)
    // 14. /I
    if (work.find(L"/I") != std::wstring::npos) {
        dlg.m_bCompareSN = 1;
        SetControlText(dlg, kIdVersionCaption, L"Compare Serial Number:");
    }
    // 15. /E
    if (work.find(L"/E") != std::wstring::npos) {
        dlg.m_bExportFW = 1;
        RemoveAll(work, L"/E");
    }
    // 16. /C (cut above): 12 characters once the '_' are gone
    if (cValue) {
        dlg.m_bCheckFWVersion = 1;
        SetControlText(dlg, kIdVersionCaption, L"Check FW Version:");
        std::wstring version = *cValue;
        RemoveAll(version, L"_");
        if (version.size() != 12) {
            out.exit = Refusal(dlg, L"Please Input Correctly FW Version!!! ", true);
            return out;
        }
        dlg.m_strChkFWVer = version;
        SetControlText(dlg, kIdUpdateVersion, version);
    }

    // No mode named: an update with the embedded firmware image.
    if (!uGiven && !dlg.m_bCheckFWVersion && !dlg.m_bExportFW && !dlg.m_bOutputVerFile &&
        !dlg.m_bCompareSN)
        dlg.m_bUpdateFW = 1;

    // 17. the firmware file of an update
    if (!uGiven && !dlg.m_bUpdateFW) return out;
    services.vExtractBinFiles();
    if (dlg.m_bExportFW) {
        out.exit = Refusal(dlg, L"Export FW  and Update FW can not be enabled at the same time!!", false);
        return out;
    }
    dlg.m_bUpdateFW = 1;
    std::wstring candidate;
    if (!uValue.empty()) {
        // A named file must be a ".BIN" file (the cut ends after the first one).
        if (uValue.size() < 4 || uValue.compare(uValue.size() - 4, 4, L".BIN") != 0) {
            out.exit = Refusal(dlg, L"Input FW File is not exist!!! ", true);
            return out;
        }
        candidate = uValue;
    } else {
        candidate = Trim(dlg.m_strFWBinFile);
    }
    if (candidate.empty()) {
        out.exit = Refusal(dlg, L"Please Input FW File!!! ", true);
        return out;
    }
    if (hubaccess::StartsWith(candidate, L"./")) RemoveAll(candidate, L"./");
    if (candidate.find(L':') != std::wstring::npos) {
        utility.m_strFWBinFilePath = candidate;
        return out;
    }
    utility.m_strFWBinFilePath = utility.m_szModuleDirectory + L"\\" + candidate;
    // Unattended runs get no box from the check: nobody would click it away.
    const BYTE showMessage = (dlg.m_bSilentMode || dlg.m_bConsoleMode) ? 0 : 1;
    if (!utility.bCheckFilePathExists(utility.m_strFWBinFilePath, showMessage)) {
        out.exit = Refusal(dlg, L"Input FW File is not exist!!! ", true);
        return out;
    }
    std::wstring version = hubaccess::ToUpperAscii(candidate);
    RemoveAll(version, L"CONFIG_");
    RemoveAll(version, L"_");
    RemoveAll(version, L".BIN");
    dlg.m_strCurFileFWVer = version;
    return out;
}

}  // namespace app

#include "app/Switches.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cwchar>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "app/AppHelpers.h"
#include "app/TextHelpers.h"
#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"

namespace app {

namespace {

constexpr wchar_t kMethod[] = L"CMy262FWUpgradeToolDlg::OnInitDialog";

// How a switch takes its value.
enum class ValueRule {
    kNone,     // no value
    kShort,    // the blanks behind the name skipped, then up to the next blank or "/"
    kToSlash,  // up to the next "/", or the end
    kText,     // up to the next switch a value can hold, or the end
    kFile,     // /U: through the first ".BIN" that ends a word before a standing switch, else up to the next switch
};

// What a switch's value must be once read.
enum class ValueForm {
    kAny,       // no form of its own (none, or judged by its own step: /C's length, /U's file)
    kHex,       // empty or hexadecimal digits (/DBG, /N, /E)
    kFourHex,   // exactly four hexadecimal digits (/VID, /P3, /P2)
};

// The switches of the table, in table order (the order their effects are
// applied in).
enum SwitchId : std::size_t {
    kHelp, kDbg, kDos, kMp, kSilent, kAuto, kOutput, kVid, kP3, kP2, kMstr, kNumber, kKeep, kCompare,
    kExport, kCheck, kUpdate, kSwitchCount
};

struct SwitchSpec {
    const wchar_t* name;
    ValueRule rule;
    ValueForm form;
};

constexpr std::array<SwitchSpec, kSwitchCount> kSwitches = {{
    {L"/?", ValueRule::kNone, ValueForm::kAny},
    {L"/DBG", ValueRule::kToSlash, ValueForm::kHex},
    {L"/DOS", ValueRule::kNone, ValueForm::kAny},
    {L"/MP", ValueRule::kNone, ValueForm::kAny},
    {L"/SILENT", ValueRule::kNone, ValueForm::kAny},
    {L"/A", ValueRule::kNone, ValueForm::kAny},
    {L"/O", ValueRule::kNone, ValueForm::kAny},
    {L"/VID", ValueRule::kShort, ValueForm::kFourHex},
    {L"/P3", ValueRule::kShort, ValueForm::kFourHex},
    {L"/P2", ValueRule::kShort, ValueForm::kFourHex},
    {L"/MSTR", ValueRule::kText, ValueForm::kAny},
    {L"/N", ValueRule::kToSlash, ValueForm::kHex},
    {L"/UN", ValueRule::kNone, ValueForm::kAny},
    {L"/I", ValueRule::kNone, ValueForm::kAny},
    // The target number the usage offers: read and ignored, as /N's is.
    {L"/E", ValueRule::kToSlash, ValueForm::kHex},
    {L"/C", ValueRule::kToSlash, ValueForm::kAny},
    {L"/U", ValueRule::kFile, ValueForm::kAny},
}};


bool IsBlankText(const std::wstring& text) { return Trim(text).empty(); }

void RemoveAll(std::wstring& text, const std::wstring& part) {
    if (part.empty()) return;
    for (std::size_t p = text.find(part); p != std::wstring::npos; p = text.find(part, p))
        text.erase(p, part.size());
}

bool EndsWord(const std::wstring& text, std::size_t pos) {
    return pos >= text.size() || IsBlank(text[pos]) || text[pos] == L'/';
}

// Outside a value: the switch whose name begins at `pos`, longest name first
// (a value may follow the name at once: "/VID2109", "/UC:\X.BIN").
std::optional<SwitchId> SwitchNamedAt(const std::wstring& text, std::size_t pos) {
    std::optional<SwitchId> best;
    std::size_t bestLength = 0;
    for (std::size_t i = 0; i < kSwitches.size(); ++i) {
        const std::wstring name(kSwitches[i].name);
        if (name.size() > bestLength && text.compare(pos, name.size(), name) == 0) {
            best = static_cast<SwitchId>(i);
            bestLength = name.size();
        }
    }
    return best;
}

// Inside a text that may hold a "/" (a manufacturer text, a file name): a
// switch begins at `pos` when a name of the table stands there and either
// the "/" follows a blank ("ACME /C120621000000") or the name is followed by
// a blank, "/" or the end ("ACME/U C:\X.BIN"); "ACME/INC" stays whole.
bool SwitchBeginsAt(const std::wstring& text, std::size_t pos) {
    if (pos >= text.size() || text[pos] != L'/') return false;
    const bool afterBlank = pos > 0 && IsBlank(text[pos - 1]);
    for (const SwitchSpec& s : kSwitches) {
        const std::wstring name(s.name);
        if (text.compare(pos, name.size(), name) == 0 && (afterBlank || EndsWord(text, pos + name.size())))
            return true;
    }
    return false;
}

// Where such a text that begins at `from` ends: at the next switch, or at
// the end.
std::size_t NextSwitch(const std::wstring& text, std::size_t from) {
    for (std::size_t p = from; p < text.size(); ++p)
        if (SwitchBeginsAt(text, p)) return p;
    return text.size();
}

// A switch standing as scripts write one: a blank, "/", a name of the table,
// then a blank, "/" or the end ("C:\FW /SILENT /A"). A file name never ends
// past one; "C:\PROGRAM FILES\ACME /A\FW.BIN" holds none.
std::size_t NextStandingSwitch(const std::wstring& text, std::size_t from) {
    for (std::size_t p = from; p < text.size(); ++p) {
        if (text[p] != L'/' || p == 0 || !IsBlank(text[p - 1])) continue;
        for (const SwitchSpec& s : kSwitches) {
            const std::wstring name(s.name);
            if (text.compare(p, name.size(), name) == 0 && EndsWord(text, p + name.size())) return p;
        }
    }
    return text.size();
}

bool EndsWithBin(const std::wstring& word) {
    return word.size() >= 4 && word.compare(word.size() - 4, 4, L".BIN") == 0;
}

// A word of `text` (words end at blanks) ends in ".BIN".
bool HoldsBinWord(const std::wstring& text) {
    std::size_t p = 0;
    while (p < text.size()) {
        while (p < text.size() && IsBlank(text[p])) ++p;
        std::size_t e = p;
        while (e < text.size() && !IsBlank(text[e])) ++e;
        if (e > p && EndsWithBin(text.substr(p, e - p))) return true;
        p = e;
    }
    return false;
}

// A VID or PID: four hexadecimal digits.
constexpr std::size_t kIdLength = 4;

bool IsHexText(const std::wstring& text) { return text.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos; }

// True when `value` has the form its switch takes.
bool IsWellFormed(const SwitchSpec& spec, const std::wstring& value) {
    switch (spec.form) {
        case ValueForm::kAny:
            return true;
        case ValueForm::kHex:
            return IsHexText(value);
        case ValueForm::kFourHex:
            return value.size() == kIdLength && IsHexText(value);
    }
    return false;
}

// What one left-to-right reading of the command text found: each switch
// given (its first occurrence's value), and the text no switch took.
struct SwitchReading {
    std::array<bool, kSwitchCount> given{};
    std::array<std::wstring, kSwitchCount> value{};
    std::wstring rest;
    // Every switch with its value, in the order written.
    std::vector<std::pair<SwitchId, std::wstring>> found;
    // A word of `rest` ends in ".BIN".
    bool binWordLeft = false;

    // A word ending in ".BIN" outside /U's value: left over, or inside the
    // value of another switch ("/DBG 3 FW.BIN", "/MSTR ACME FW.BIN").
    bool BinWordOutsideFile() const {
        if (binWordLeft) return true;
        for (const auto& [id, v] : found)
            if (id != kUpdate && HoldsBinWord(v)) return true;
        return false;
    }

    // The first switch written whose value is not of the form it takes.
    const std::pair<SwitchId, std::wstring>* Malformed() const {
        for (const auto& f : found)
            if (!IsWellFormed(kSwitches[f.first], f.second)) return &f;
        return nullptr;
    }

    // The first switch written again with another value than its first
    // ("/U A.BIN /U B.BIN"): which one was meant is not known.
    const std::pair<SwitchId, std::wstring>* Repeated() const {
        for (const auto& f : found)
            if (f.second != value[f.first]) return &f;
        return nullptr;
    }

    // True when nothing but the switches in `allowed` was given.
    bool OnlyGiven(std::initializer_list<SwitchId> allowed) const {
        for (std::size_t i = 0; i < kSwitchCount; ++i) {
            if (!given[i]) continue;
            bool ok = false;
            for (SwitchId a : allowed) ok = ok || a == i;
            if (!ok) return false;
        }
        return IsBlankText(rest);
    }
};

// Reads the value of the switch `spec` that begins at `from`; returns where
// the reading goes on.
std::size_t ReadValue(const std::wstring& text, std::size_t from, const SwitchSpec& spec, std::wstring& value) {
    const std::size_t n = text.size();
    switch (spec.rule) {
        case ValueRule::kNone:
            return from;
        case ValueRule::kShort: {
            std::size_t begin = from;
            while (begin < n && IsBlank(text[begin])) ++begin;
            std::size_t end = begin;
            while (end < n && !EndsWord(text, end)) ++end;
            value = text.substr(begin, end - begin);
            return end;
        }
        case ValueRule::kToSlash: {
            const std::size_t end = std::min(text.find(L'/', from), n);
            value = Trim(text.substr(from, end - from));
            return end;
        }
        case ValueRule::kText: {
            const std::size_t end = NextSwitch(text, from);
            value = Trim(text.substr(from, end - from));
            return end;
        }
        case ValueRule::kFile: {
            std::size_t begin = from;
            while (begin < n && IsBlank(text[begin])) ++begin;
            if (SwitchBeginsAt(text, begin)) return begin;  // no file named: the embedded image
            // A ".BIN" behind a standing switch belongs to the text after it.
            const std::size_t limit = NextStandingSwitch(text, begin);
            std::size_t end = std::wstring::npos;
            for (std::size_t q = text.find(L".BIN", begin); q != std::wstring::npos && q + 4 <= limit;
                 q = text.find(L".BIN", q + 1)) {
                if (EndsWord(text, q + 4)) {
                    end = q + 4;
                    break;
                }
            }
            if (end == std::wstring::npos) end = NextSwitch(text, begin);
            value = Trim(text.substr(begin, end - begin));
            return end;
        }
    }
    return from;
}

SwitchReading ReadSwitches(const std::wstring& text) {
    SwitchReading r;
    // The word of the rest being read; a switch or a blank ends it.
    std::wstring word;
    const auto endWord = [&] {
        r.binWordLeft = r.binWordLeft || EndsWithBin(word);
        word.clear();
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::optional<SwitchId> id = text[pos] == L'/' ? SwitchNamedAt(text, pos) : std::nullopt;
        if (!id) {
            if (IsBlank(text[pos]))
                endWord();
            else
                word.push_back(text[pos]);
            r.rest.push_back(text[pos++]);
            continue;
        }
        endWord();
        const SwitchSpec& spec = kSwitches[*id];
        std::wstring value;
        pos = ReadValue(text, pos + std::wcslen(spec.name), spec, value);
        r.found.emplace_back(*id, value);
        if (!r.given[*id]) {
            r.given[*id] = true;
            r.value[*id] = value;
        }
    }
    endWord();
    return r;
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
    if (!request.consoleText.empty() && dlg.m_pRunView) dlg.m_pRunView->ConsolePrint(request.consoleText);
    for (const UserMessage& m : request.messages) dlg.nMessageOut(m.text, m.type, m.flags);
    dlg.m_iRet = request.code;
    vDEBUG_MSG_printf(L"%s:%d:  iExitcode[ %d]", kMethod, __LINE__, request.code);
    if (dlg.m_pfnRemoveBinFiles) dlg.m_pfnRemoveBinFiles();
    dlg.m_bExitRequested = true;
    if (dlg.m_pRunView) dlg.m_pRunView->RequestExit(request.code);
}

CommandReading ReadCommandText(const std::wstring& cleanText) {
    const SwitchReading read = ReadSwitches(cleanText);
    CommandReading out;
    for (const auto& [id, value] : read.found) out.switches.push_back(FoundSwitch{kSwitches[id].name, value});
    out.rest = read.rest;
    return out;
}

bool NamesUnattendedMode(const std::wstring& commandText) {
    const SwitchReading read = ReadSwitches(CleanCommandText(commandText));
    return read.given[kSilent] || read.given[kDos];
}

SwitchOutcome ParseSwitches(CMy262FWUpgradeToolDlg& dlg, hubaccess::CHubUtility& utility,
                            SwitchServices& services) {
    SwitchOutcome out;
    dlg.g_strInitCmd = CleanCommandText(dlg.g_strInitCmd);
    const SwitchReading read = ReadSwitches(dlg.g_strInitCmd);
    out.remaining = read.rest;
    const auto& given = read.given;
    const auto& value = read.value;

    // 1. /?: the usage; on the console when /DOS is anywhere on the line.
    if (given[kHelp]) {
        dlg.m_bShowHelp = 1;
        if (given[kDos]) {
            dlg.m_bConsoleMode = 1;
            services.vOpenConsoleWindow();
            out.exit = ExitRequest{0, {}, BuildUsageText(dlg.g_strInitCmd)};
        } else {
            out.exit = vShowUsage(dlg, 0);
        }
        return out;
    }
    // 2. /DBG
    if (given[kDbg]) g_nMessageLevel = nHexStrToInt(value[kDbg]) & 0xFF;
    if (read.OnlyGiven({kDbg})) dlg.m_bUpdateFW = 1;
    // 3. /DOS
    if (given[kDos]) {
        dlg.m_bConsoleMode = 1;
        services.vOpenConsoleWindow();
        if (read.OnlyGiven({kDbg, kDos})) {
            out.exit = vShowUsage(dlg, 0);
            return out;
        }
    }
    // 4. /MP
    if (given[kMp]) dlg.m_bMPMode = 1;
    // 5. /SILENT
    if (given[kSilent]) {
        services.HideDialog();
        dlg.m_bSilentMode = 1;
        dlg.m_ucMsgThreshold = 0xFF;
    }
    // 6. /A
    if (given[kAuto]) dlg.m_bAutoMode = 1;
    // 7. /O
    if (given[kOutput]) {
        dlg.m_bOutputVerFile = 1;
        SetControlText(dlg, kIdVersionCaption, L"Output Hub Version:");
    }
    // 8. /VID
    if (given[kVid]) {
        utility.m_strVID_Indetify = value[kVid];
        vDEBUG_MSG_printf(L"%s:%d:  Assign Target VID Hubs!!, pUtility.m_strVID_Indetify=[%s]", kMethod,
                          __LINE__, utility.m_strVID_Indetify);
    }
    // 9. and 10. /P3, /P2
    if (given[kP3] && given[kP2]) {
        out.exit = Refusal(dlg, L"You can not check /P3 /P2 at the same time!!! ", false);
        return out;
    }
    if (given[kP3]) {
        utility.m_strPID30_Indetify = value[kP3];
        vDEBUG_MSG_printf(L"%s:%d:  Assign Target USB 3.0 PID Hubs!!, pUtility.m_strPID30_Indetify=[%s]", kMethod,
                          __LINE__, utility.m_strPID30_Indetify);
    }
    if (given[kP2]) {
        utility.m_strPID20_Indetify = value[kP2];
        vDEBUG_MSG_printf(L"%s:%d:  Assign Target USB 2.0 PID Hubs!!, pUtility.m_strPID20_Indetify=[%s]", kMethod,
                          __LINE__, utility.m_strPID20_Indetify);
    }
    // 11. /MSTR
    if (given[kMstr]) {
        utility.m_bCheckManuString = 1;
        utility.m_strManuString_Indetify = value[kMstr];
    }
    // 12. /N: read and otherwise ignored
    if (given[kNumber]) vDEBUG_MSG_printf(L"%s:%d:  /N %d", kMethod, __LINE__, nHexStrToInt(value[kNumber]));
    // 13. /UN
    if (given[kKeep]) dlg.m_bKeepFilterDriver = 1;
    // 14. /I
    if (given[kCompare]) {
        dlg.m_bCompareSN = 1;
        SetControlText(dlg, kIdVersionCaption, L"Compare Serial Number:");
    }
    // 15. /E: its target number read and otherwise ignored
    if (given[kExport]) {
        dlg.m_bExportFW = 1;
        vDEBUG_MSG_printf(L"%s:%d:  /E %d", kMethod, __LINE__, nHexStrToInt(value[kExport]));
    }
    // 16. /C: 12 characters once the '_' are gone
    if (given[kCheck]) {
        dlg.m_bCheckFWVersion = 1;
        SetControlText(dlg, kIdVersionCaption, L"Check FW Version:");
        std::wstring version = value[kCheck];
        RemoveAll(version, L"_");
        if (version.size() != 12) {
            out.exit = Refusal(dlg, L"Please Input Correctly FW Version!!! ", true);
            return out;
        }
        dlg.m_strChkFWVer = version;
        SetControlText(dlg, kIdUpdateVersion, version);
    }

    // A line not wholly understood is refused before anything is extracted,
    // whatever mode it names: first a file name outside /U's value ("/SILENT
    // FW.BIN", "/DBG 3 FW.BIN"), then a value its switch does not take
    // ("/VID 21", "/DBG HIGH"), a switch given again with another value, then
    // any other text no switch took ("/HELP", "-?", "/F ACME").
    if (read.BinWordOutsideFile()) {
        vDEBUG_ERR_printf(L"%s:%d:  FW file named without /U: [%s]", kMethod, __LINE__, dlg.g_strInitCmd);
        out.exit = Refusal(dlg, L"Please Input FW File!!! ", true);
        return out;
    }
    if (const auto* bad = read.Malformed()) {
        vDEBUG_ERR_printf(L"%s:%d:  %s does not take [%s]", kMethod, __LINE__, kSwitches[bad->first].name,
                          bad->second);
        out.exit = vShowUsage(dlg, kExitInvalidInput);
        return out;
    }
    if (const auto* again = read.Repeated()) {
        vDEBUG_ERR_printf(L"%s:%d:  %s given as [%s] and as [%s]", kMethod, __LINE__, kSwitches[again->first].name,
                          value[again->first], again->second);
        out.exit = vShowUsage(dlg, kExitInvalidInput);
        return out;
    }
    if (!IsBlankText(read.rest)) {
        vDEBUG_ERR_printf(L"%s:%d:  Not a switch: [%s]", kMethod, __LINE__, Trim(read.rest));
        out.exit = vShowUsage(dlg, kExitInvalidInput);
        return out;
    }

    // No mode named: an update with the embedded firmware image.
    if (!given[kUpdate] && !dlg.m_bCheckFWVersion && !dlg.m_bExportFW && !dlg.m_bOutputVerFile &&
        !dlg.m_bCompareSN)
        dlg.m_bUpdateFW = 1;

    // 17. the firmware file of an update
    if (!given[kUpdate] && !dlg.m_bUpdateFW) return out;
    services.vExtractBinFiles();
    if (dlg.m_bExportFW) {
        out.exit = Refusal(dlg, L"Export FW  and Update FW can not be enabled at the same time!!", false);
        return out;
    }
    dlg.m_bUpdateFW = 1;
    const std::wstring& named = value[kUpdate];
    std::wstring candidate;
    if (!named.empty()) {
        // A named file must be a ".BIN" file.
        if (named.size() < 4 || named.compare(named.size() - 4, 4, L".BIN") != 0) {
            out.exit = Refusal(dlg, L"Input FW File is not exist!!! ", true);
            return out;
        }
        candidate = named;
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

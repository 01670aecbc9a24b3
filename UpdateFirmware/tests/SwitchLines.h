// Generated command lines for the reading of the switches: the switches of
// the table but /? (at most one of /P3 and /P2), in random order and letter
// case, each with a valid value written glued to its name or after blanks,
// separated by blanks or by nothing; with the switches and values the
// reading must give back. One line in three also holds faults as scripts
// write them: a bare word after a value (or after a switch), an unknown
// switch, a malformed value; the writer knows how such a line must end.
// Shared by the seeded test and the fuzz target.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HubUtilityMachine.h"
#include "app/Switches.h"

namespace switch_lines {

// How the parse of a written line must end.
enum class Verdict {
    kRead,          // every switch and value read back as written
    kFileRefused,   // -10, "Please Input FW File!!! " first: a ".BIN" word outside /U's value
    kUsageRefused,  // -10 with the usage and no error message
};

struct Line {
    std::wstring text;
    // As the reading must find them: names and values upper case.
    std::vector<app::FoundSwitch> switches;
    Verdict verdict = Verdict::kRead;
};

// `pick(n)` gives a number in [0, n).
template <class Pick>
class Writer {
public:
    explicit Writer(Pick& pick) : pick_(pick) {}

    Line Write() {
        std::vector<std::wstring> names = {L"DBG", L"DOS", L"MP", L"SILENT", L"A", L"O", L"VID",
                                           L"MSTR", L"N", L"UN", L"I", L"E", L"C", L"U"};
        if (const std::size_t pid = pick_(3)) names.push_back(pid == 1 ? L"P3" : L"P2");
        // A random subset (most of them), in random order.
        std::vector<std::wstring> chosen;
        for (const std::wstring& n : names)
            if (pick_(5) != 0) chosen.push_back(n);
        const std::size_t faults = pick_(3) == 0 ? 1 + pick_(2) : 0;
        // /DBG and /DOS alone end at /DOS with 0 before any value is judged.
        if (faults > 0) {
            bool other = false;
            for (const std::wstring& n : chosen) other = other || (n != L"DBG" && n != L"DOS");
            if (!other) chosen.push_back(L"MP");
        }
        for (std::size_t i = chosen.size(); i > 1; --i) std::swap(chosen[i - 1], chosen[pick_(i)]);

        // The faults: per switch a malformed value or a bare word behind it,
        // and unknown switches before a switch or at the end.
        std::vector<bool> malformed(chosen.size(), false);
        std::vector<std::wstring> bare(chosen.size());
        std::vector<std::wstring> unknown(chosen.size() + 1);
        bool written = false;
        for (std::size_t f = 0; f < faults; ++f) {
            const std::size_t kind = pick_(3);
            if (kind == 0) {
                // An unknown switch, never behind a text that would take it
                // in (/MSTR's) or a version whose length it would change.
                const std::size_t slot = pick_(chosen.size() + 1);
                if (slot == 0 || (chosen[slot - 1] != L"MSTR" && chosen[slot - 1] != L"C"))
                    unknown[slot] = UnknownSwitch();
                else
                    unknown[0] = UnknownSwitch();
                written = true;
                continue;
            }
            const std::size_t at = pick_(chosen.size());
            if (kind == 1 && IsNumber(chosen[at])) {
                malformed[at] = written = true;
                continue;
            }
            // A bare word: behind /MSTR only a file name is one (any other
            // word is more of its text); never behind a version.
            if (chosen[at] == L"C") continue;
            const bool file = chosen[at] == L"MSTR" || pick_(3) == 0;
            bare[at] = file ? FileWord() : BareWord();
            written = true;
        }
        bool binWord = false;
        for (const std::wstring& w : bare) binWord = binWord || (w.size() > 4 && w.substr(w.size() - 4) == L".BIN");

        Line line;
        if (pick_(3) == 0) line.text += Blanks();
        for (std::size_t i = 0; i <= chosen.size(); ++i) {
            if (!unknown[i].empty()) line.text += Blanks() + MixCase(unknown[i]) + Blanks();
            if (i == chosen.size()) break;
            const std::wstring& name = chosen[i];
            const std::wstring value = malformed[i] ? MalformedValueOf(name) : ValueOf(name);
            line.text += L"/" + MixCase(name);
            if (TakesValue(name)) {
                // A file name beginning with N glued to /U would read as /UN.
                const bool glued = pick_(3) == 0 && !(name == L"U" && !value.empty() && value[0] == L'N');
                if (!glued) line.text += Blanks();
                line.text += MixCase(value);
            }
            if (!bare[i].empty()) line.text += Blanks() + MixCase(bare[i]);
            line.switches.push_back(app::FoundSwitch{L"/" + name, value});
            // A manufacturer text is followed by a blank; the others by blanks or nothing.
            if (name == L"MSTR" || pick_(2) == 0) line.text += Blanks();
        }
        if (written) line.verdict = binWord ? Verdict::kFileRefused : Verdict::kUsageRefused;
        return line;
    }

private:
    static bool TakesValue(const std::wstring& name) {
        for (const wchar_t* n : {L"DBG", L"VID", L"P3", L"P2", L"MSTR", L"N", L"E", L"C", L"U"})
            if (name == n) return true;
        return false;
    }

    // A switch whose value is a number of a form of its own.
    static bool IsNumber(const std::wstring& name) {
        for (const wchar_t* n : {L"DBG", L"N", L"E", L"VID", L"P3", L"P2"})
            if (name == n) return true;
        return false;
    }

    static bool IsTableName(const std::wstring& word) {
        for (const wchar_t* n : {L"?", L"DBG", L"DOS", L"MP", L"SILENT", L"A", L"O", L"VID", L"P3", L"P2", L"MSTR",
                                 L"N", L"UN", L"I", L"E", L"C", L"U"})
            if (word == n) return true;
        return false;
    }

    std::wstring Blanks() {
        std::wstring b;
        for (std::size_t n = 1 + pick_(2); n > 0; --n) b += pick_(4) == 0 ? L'\t' : L' ';
        return b;
    }

    std::wstring MixCase(std::wstring s) {
        for (wchar_t& c : s)
            if (c >= L'A' && c <= L'Z' && pick_(2) == 0) c = static_cast<wchar_t>(c - L'A' + L'a');
        return s;
    }

    std::wstring From(const wchar_t* alphabet, std::size_t length) {
        const std::wstring a(alphabet);
        std::wstring s;
        while (s.size() < length) s += a[pick_(a.size())];
        return s;
    }

    std::wstring Hex(std::size_t length) { return From(L"0123456789ABCDEF", length); }

    // A word of a manufacturer text or a path, now and then beginning with a
    // switch's name ("UK", "INC", "DOSX").
    std::wstring Word() {
        static const wchar_t* const kNames[] = {L"A", L"U", L"UN", L"I", L"C", L"DOS", L"MP", L"N", L"VID", L"P3"};
        std::wstring w;
        if (pick_(3) == 0) w = kNames[pick_(sizeof kNames / sizeof kNames[0])];
        return w + From(L"ABCDEFKNSUXZ0123456789_&-.", (w.empty() ? 1 : 0) + pick_(5));
    }

    // A word no switch takes: it begins with a letter that is no hexadecimal
    // digit and holds no "/" and no ".BIN".
    std::wstring BareWord() { return From(L"GHJKLMNOPQRSTUVWXYZ-&", 1) + Word(); }

    // A file name without its /U; no "/" in it, so no switch inside either.
    std::wstring FileWord() {
        static const wchar_t* const kStarts[] = {L"", L".\\", L"C:\\FW\\", L"\\\\HOST\\SHARE\\"};
        return kStarts[pick_(4)] + Word() + L".BIN";
    }

    // Switches the tool does not have, dash forms and misspellings, as
    // scripts and the usage of other tools write them.
    std::wstring UnknownSwitch() {
        static const wchar_t* const kUnknown[] = {
            L"/F ACME",        L"/HELP",       L"/H",        L"-?",         L"-C 120621000000", L"/FORCERESTART",
            L"/FW 120621000000", L"/HWID USB\\VID_2109&PID_0817", L"/UNINSTALL", L"/SILENTLY", L"/X",
            L"-SILENT",        L"/ACME",       L"/IN",       L"/EXPORT",    L"/DBGX",           L"/OO"};
        return kUnknown[pick_(sizeof kUnknown / sizeof kUnknown[0])];
    }

    // A value its switch does not take: a number with a letter that is no
    // hexadecimal digit, or a VID or PID not of four hexadecimal digits.
    std::wstring MalformedValueOf(const std::wstring& name) {
        const std::wstring odd = From(L"GHKXZ-_.", 1);
        if (name == L"VID" || name == L"P3" || name == L"P2") {
            if (pick_(2) == 0) return Hex(pick_(4));  // 0 to 3 digits
            std::wstring v = Hex(3);
            v.insert(pick_(4), odd);
            return v;
        }
        std::wstring v = Hex(pick_(3));
        v.insert(pick_(v.size() + 1), odd);
        return v;
    }

    std::wstring ValueOf(const std::wstring& name) {
        if (name == L"DBG" || name == L"N") return Hex(1 + pick_(2));
        if (name == L"E") return Hex(pick_(3));
        if (name == L"VID" || name == L"P3" || name == L"P2") return Hex(4);
        if (name == L"C") {
            std::wstring v = Hex(12);
            if (pick_(3) == 0) v.insert(1 + pick_(11), 1, L'_');
            return v;
        }
        if (name == L"MSTR") {
            // Words joined by a blank or a "/"; never a "/" after a blank, nor
            // a "/" and a switch's name followed by a blank, "/" or the end.
            std::wstring v = Word();
            for (std::size_t n = pick_(4); n > 0; --n) {
                std::wstring w = Word();
                const bool slash = pick_(2) == 0;
                if (slash && IsTableName(w)) w += L'K';
                v += (slash ? L"/" : L" ") + w;
            }
            return v;
        }
        if (name == L"U") {
            // Folders joined by "\" or "/"; a folder may hold a blank, and a
            // ".BIN" inside that does not end a word.
            static const wchar_t* const kStarts[] = {L"", L"./", L"C:\\", L"C:/", L"\\\\HOST\\SHARE\\"};
            std::wstring v = kStarts[pick_(5)];
            for (std::size_t n = pick_(3); n > 0; --n) {
                std::wstring folder = Word();
                if (pick_(4) == 0) folder += L" " + Word();
                const bool backslash = pick_(2) == 0;
                if (backslash && pick_(3) == 0) folder += L".BIN";
                v += folder + (backslash ? L"\\" : L"/");
            }
            return v + (pick_(4) == 0 ? L"N" : L"") + Word() + L".BIN";
        }
        return L"";
    }

    Pick& pick_;
};

template <class Pick>
Line WriteLine(Pick& pick) {
    return Writer<Pick>(pick).Write();
}

// Parses command texts on one simulated machine, each with a fresh dialog
// and the filters as the INI leaves them.
class LineParser {
public:
    LineParser() {
        machine_.files.PutFile(L"C:\\Tool\\FW.BIN", {1});
        machine_.files.PutFile(L"C:\\Tool\\CONFIG_120621_000000.BIN", {1});
    }

    app::SwitchOutcome Parse(const std::wstring& text) {
        hubaccess::CHubUtility& u = *machine_.utility;
        u.m_strVID_Indetify = L"7A7D";
        u.m_strPID30_Indetify.clear();
        u.m_strPID20_Indetify.clear();
        u.m_strManuString_Indetify.clear();
        u.m_bCheckManuString = 0;
        u.m_strFWBinFilePath.clear();
        machine_.ui.Clear();
        dlg_ = std::make_unique<app::CMy262FWUpgradeToolDlg>();
        dlg_->g_strInitCmd = text;
        Services services(*dlg_, machine_.files);
        g_nMessageLevel = 0;
        app::SwitchOutcome out = app::ParseSwitches(*dlg_, u, services);
        g_nMessageLevel = 0;
        machine_.sink.Clear();
        return out;
    }

    const app::CMy262FWUpgradeToolDlg& Dialog() const { return *dlg_; }
    testing_machine::HubUtilityMachine& Machine() { return machine_; }

private:
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

    testing_machine::HubUtilityMachine machine_;
    std::unique_ptr<app::CMy262FWUpgradeToolDlg> dlg_;
};

// Empty when `line` ends as its writer knows it must: a line without faults
// read back switch by switch and value by value in the order written, with
// nothing but blanks left; a line with faults refused with -10, its first
// message "Please Input FW File!!! " where a file name stands outside /U's
// value and else no error message (the usage alone, none under /DOS). Else
// what was read or how the parse ended.
inline std::wstring Misreading(const Line& line, LineParser& parser) {
    const std::wstring clean = app::CleanCommandText(line.text);
    if (line.verdict == Verdict::kRead) {
        const app::CommandReading read = app::ReadCommandText(clean);
        if (read.switches == line.switches && read.rest.find_first_not_of(L" \t") == std::wstring::npos)
            return L"";
        std::wstring what = L"[" + line.text + L"] read as";
        for (const app::FoundSwitch& f : read.switches) what += L" " + f.name + L"=[" + f.value + L"]";
        return what + L" rest=[" + read.rest + L"]";
    }
    const app::SwitchOutcome out = parser.Parse(line.text);
    bool refused = out.exit && out.exit->code == app::kExitInvalidInput;
    if (refused && line.verdict == Verdict::kFileRefused)
        refused = !out.exit->messages.empty() && out.exit->messages[0].text == L"Please Input FW File!!! " &&
                  out.exit->messages[0].type == app::kMsgError;
    if (refused && line.verdict == Verdict::kUsageRefused)
        for (const app::UserMessage& m : out.exit->messages) refused = refused && m.type == app::kMsgQuestion;
    if (refused) return L"";
    std::wstring what = L"[" + line.text + L"] expected refused" +
                        (line.verdict == Verdict::kFileRefused ? L" for its file name" : L" with the usage") + L", ";
    if (!out.exit) return what + L"goes on";
    what += L"ended with " + std::to_wstring(out.exit->code);
    for (const app::UserMessage& m : out.exit->messages)
        what += L" +" + (m.type == app::kMsgQuestion ? std::wstring(L"usage") : m.text);
    return what;
}

}  // namespace switch_lines

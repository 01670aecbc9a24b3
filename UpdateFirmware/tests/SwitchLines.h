// Generated command lines for the reading of the switches: the switches of
// the table but /? and /E (at most one of /P3 and /P2), in random order and
// letter case, each with a valid value written glued to its name or after
// blanks, separated by blanks or by nothing; with the switches and values
// the reading must give back. Shared by the seeded test and the fuzz target.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "app/Switches.h"

namespace switch_lines {

struct Line {
    std::wstring text;
    // As the reading must find them: names and values upper case.
    std::vector<app::FoundSwitch> switches;
};

// `pick(n)` gives a number in [0, n).
template <class Pick>
class Writer {
public:
    explicit Writer(Pick& pick) : pick_(pick) {}

    Line Write() {
        std::vector<std::wstring> names = {L"DBG", L"DOS", L"MP", L"SILENT", L"A", L"O", L"VID",
                                           L"MSTR", L"N", L"UN", L"I", L"C", L"U"};
        if (const std::size_t pid = pick_(3)) names.push_back(pid == 1 ? L"P3" : L"P2");
        // A random subset (most of them), in random order.
        std::vector<std::wstring> chosen;
        for (const std::wstring& n : names)
            if (pick_(5) != 0) chosen.push_back(n);
        for (std::size_t i = chosen.size(); i > 1; --i) std::swap(chosen[i - 1], chosen[pick_(i)]);

        Line line;
        if (pick_(3) == 0) line.text += Blanks();
        for (const std::wstring& name : chosen) {
            const std::wstring value = ValueOf(name);
            line.text += L"/" + MixCase(name);
            if (TakesValue(name)) {
                // A file name beginning with N glued to /U would read as /UN.
                const bool glued = pick_(3) == 0 && !(name == L"U" && !value.empty() && value[0] == L'N');
                if (!glued) line.text += Blanks();
                line.text += MixCase(value);
            }
            line.switches.push_back(app::FoundSwitch{L"/" + name, value});
            // A manufacturer text is followed by a blank; the others by blanks or nothing.
            if (name == L"MSTR" || pick_(2) == 0) line.text += Blanks();
        }
        return line;
    }

private:
    static bool TakesValue(const std::wstring& name) {
        for (const wchar_t* n : {L"DBG", L"VID", L"P3", L"P2", L"MSTR", L"N", L"C", L"U"})
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

    std::wstring ValueOf(const std::wstring& name) {
        if (name == L"DBG" || name == L"N") return Hex(1 + pick_(2));
        if (name == L"VID" || name == L"P3" || name == L"P2") return Hex(pick_(4) == 0 ? pick_(4) : 4);
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

// Empty when the reading of `line` gives back every switch and value in the
// order written and leaves nothing but blanks; else what it read.
inline std::wstring Misreading(const Line& line) {
    const app::CommandReading read = app::ReadCommandText(app::CleanCommandText(line.text));
    if (read.switches == line.switches && !read.binWordLeft &&
        read.rest.find_first_not_of(L" \t") == std::wstring::npos)
        return L"";
    std::wstring what = L"[" + line.text + L"] read as";
    for (const app::FoundSwitch& f : read.switches) what += L" " + f.name + L"=[" + f.value + L"]";
    return what + L" rest=[" + read.rest + L"]";
}

}  // namespace switch_lines

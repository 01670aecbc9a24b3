#include "platform/ChildEnvironment.h"

#include <algorithm>

namespace platform {

namespace {

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

std::wstring UpperName(const std::wstring& name) {
    std::wstring upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), Upper);
    return upper;
}

bool Usable(const EnvironmentVariable& v) {
    return !v.name.empty() && v.name.find(L'\0') == std::wstring::npos && v.name.find(L'=', 1) == std::wstring::npos &&
           v.value.find(L'\0') == std::wstring::npos;
}

}  // namespace

std::vector<EnvironmentVariable> ParseEnvironmentBlock(const wchar_t* block) {
    std::vector<EnvironmentVariable> variables;
    if (block == nullptr) return variables;
    for (const wchar_t* entry = block; *entry != L'\0';) {
        const std::wstring text(entry);
        entry += text.size() + 1;
        const std::size_t equals = text.find(L'=', 1);
        if (equals == std::wstring::npos) continue;
        variables.push_back({text.substr(0, equals), text.substr(equals + 1)});
    }
    return variables;
}

std::vector<wchar_t> BuildEnvironmentBlock(const std::vector<EnvironmentVariable>& variables) {
    // By upper-cased name: the later of two names that differ in case only stays.
    std::vector<std::pair<std::wstring, const EnvironmentVariable*>> sorted;
    for (const EnvironmentVariable& v : variables) {
        if (!Usable(v)) continue;
        const std::wstring key = UpperName(v.name);
        const auto same = std::find_if(sorted.begin(), sorted.end(), [&](const auto& e) { return e.first == key; });
        if (same != sorted.end())
            same->second = &v;
        else
            sorted.emplace_back(key, &v);
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<wchar_t> block;
    for (const auto& entry : sorted) {
        const EnvironmentVariable& v = *entry.second;
        block.insert(block.end(), v.name.begin(), v.name.end());
        block.push_back(L'=');
        block.insert(block.end(), v.value.begin(), v.value.end());
        block.push_back(L'\0');
    }
    // An empty block is two NULs as well.
    if (block.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

std::vector<EnvironmentVariable> ChildEnvironment(const std::vector<EnvironmentVariable>& machine,
                                                  const std::wstring& windowsFolder,
                                                  const std::wstring& currentDirectory) {
    const std::wstring system = windowsFolder + L"\\System32";
    std::wstring machinePath;
    std::vector<EnvironmentVariable> variables;
    for (const EnvironmentVariable& v : machine) {
        const std::wstring name = UpperName(v.name);
        if (name == L"PATH") machinePath = v.value;
        if (name == L"PATH" || name == L"SYSTEMROOT" || name == L"WINDIR" || name == L"COMSPEC" || name == L"TEMP" ||
            name == L"TMP")
            continue;
        variables.push_back(v);
    }
    variables.push_back({L"SystemRoot", windowsFolder});
    variables.push_back({L"windir", windowsFolder});
    variables.push_back({L"ComSpec", system + L"\\cmd.exe"});
    variables.push_back({L"Path", machinePath.empty() ? system : system + L";" + machinePath});
    variables.push_back({L"TEMP", currentDirectory});
    variables.push_back({L"TMP", currentDirectory});
    return variables;
}

}  // namespace platform

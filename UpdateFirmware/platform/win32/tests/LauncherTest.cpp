// The launcher adapter under Wine: a child started by its full path runs in
// the folder it is given, with the machine's variables and the tool's set
// over them, and nothing of the starting process's own environment.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/Launcher.h"
#include "platform/win32/SystemLibraries.h"
#include "platform/win32/Win32Launcher.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::win32::Win32Launcher;

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return text;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::wstring Scratch(const wchar_t* tag) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"fwtool-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

// The variables a "set" wrote, by upper-cased name.
std::map<std::wstring, std::wstring> Variables(const std::string& text) {
    std::map<std::wstring, std::wstring> variables;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t equals = line.find('=', 1);
        if (equals != std::string::npos)
            variables[Upper(Widen(line.substr(0, equals)))] = Widen(line.substr(equals + 1));
        start = end + 1;
    }
    return variables;
}

// Variables of this process, put back as they were at the end of a scope.
class SavedVariables {
public:
    explicit SavedVariables(std::initializer_list<const wchar_t*> names) {
        for (const wchar_t* name : names) {
            std::vector<wchar_t> value(32768);
            const DWORD length = ::GetEnvironmentVariableW(name, value.data(), 32768);
            saved_[name] = length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND
                               ? std::pair<bool, std::wstring>{false, L""}
                               : std::pair<bool, std::wstring>{true, std::wstring(value.data(), length)};
        }
    }
    ~SavedVariables() {
        for (const auto& v : saved_)
            ::SetEnvironmentVariableW(v.first.c_str(), v.second.first ? v.second.second.c_str() : nullptr);
    }
    std::wstring Value(const std::wstring& name) const { return saved_.at(name).second; }

private:
    std::map<std::wstring, std::pair<bool, std::wstring>> saved_;
};

std::wstring Cmd() { return platform::win32::SystemWindowsDirectory() + L"\\System32\\cmd.exe"; }

TEST(Win32Launcher, ChildGetsTheMachineVariablesWithTheToolsSetOverThemAndNoneOfItsParents) {
    const std::wstring folder = Scratch(L"child");
    const std::wstring windows = platform::win32::SystemWindowsDirectory();
    ASSERT_FALSE(windows.empty());
    // What a user can put into an elevated process's environment.
    const SavedVariables saved({L"FWTOOL_USER_MARK", L"windir", L"SystemRoot", L"ComSpec", L"TMP", L"PATH"});
    ::SetEnvironmentVariableW(L"FWTOOL_USER_MARK", L"user");
    for (const wchar_t* name : {L"windir", L"SystemRoot"})
        ::SetEnvironmentVariableW(name, L"C:\\users\\public\\windows");
    ::SetEnvironmentVariableW(L"ComSpec", L"C:\\users\\public\\cmd.exe");
    ::SetEnvironmentVariableW(L"TMP", L"C:\\users\\public");
    ::SetEnvironmentVariableW(L"PATH", (L"C:\\users\\public;" + saved.Value(L"PATH")).c_str());

    platform::ChildProcess child;
    child.program = Cmd();
    child.commandLine = L"\"" + child.program + L"\" /d /c set>env.txt&cd>cwd.txt&exit 7";
    child.currentDirectory = folder;
    child.noWindow = true;
    child.hidden = true;
    const platform::ProcessRunResult run = Win32Launcher().StartAndWait(child, 60000);
    ASSERT_TRUE(run.started) << run.error;
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 7u);

    std::string cwd = ReadAll(folder + L"\\cwd.txt");
    while (!cwd.empty() && (cwd.back() == '\n' || cwd.back() == '\r')) cwd.pop_back();
    EXPECT_EQ(Upper(Widen(cwd)), Upper(folder));
    std::map<std::wstring, std::wstring> env = Variables(ReadAll(folder + L"\\env.txt"));
    EXPECT_EQ(env.count(L"FWTOOL_USER_MARK"), 0u);
    EXPECT_EQ(env[L"SYSTEMROOT"], windows);
    EXPECT_EQ(env[L"WINDIR"], windows);
    EXPECT_EQ(env[L"COMSPEC"], windows + L"\\System32\\cmd.exe");
    EXPECT_EQ(env[L"PATH"].rfind(windows + L"\\System32;", 0), 0u)
        << std::string(env[L"PATH"].begin(), env[L"PATH"].end());
    EXPECT_EQ(Upper(env[L"PATH"]).find(L"C:\\USERS\\PUBLIC"), std::wstring::npos);
    EXPECT_EQ(env[L"TEMP"], folder);
    EXPECT_EQ(env[L"TMP"], folder);
    // What a batch expects of a Windows machine.
    EXPECT_NE(Upper(env[L"PATHEXT"]).find(L".BAT"), std::wstring::npos);
    EXPECT_FALSE(env[L"PROCESSOR_ARCHITECTURE"].empty());

    ::DeleteFileW((folder + L"\\env.txt").c_str());
    ::DeleteFileW((folder + L"\\cwd.txt").c_str());
    ::RemoveDirectoryW(folder.c_str());
}

TEST(Win32Launcher, OnlyAFullPathInAGivenFolderStarts) {
    const std::wstring folder = Scratch(L"refused");
    struct Row {
        const char* name;
        std::wstring program, directory;
        DWORD error;  // 0: any error
    };
    const Row rows[] = {
        {"BareName", L"cmd.exe", folder, ERROR_INVALID_PARAMETER},
        {"RelativeToTheCurrentDirectory", L".\\cmd.exe", folder, ERROR_INVALID_PARAMETER},
        {"NoFolder", Cmd(), L"", ERROR_INVALID_PARAMETER},
        {"Missing", folder + L"\\devcon-not-here.exe", folder, 0},
    };
    for (const Row& row : rows) {
        platform::ChildProcess child;
        child.program = row.program;
        child.commandLine = L"\"" + row.program + L"\" /c exit 0";
        child.currentDirectory = row.directory;
        const platform::ProcessRunResult r = Win32Launcher().StartAndWait(child, 5000);
        EXPECT_FALSE(r.started) << row.name;
        EXPECT_FALSE(r.ended) << row.name;
        if (row.error != 0)
            EXPECT_EQ(r.error, row.error) << row.name;
        else
            EXPECT_NE(r.error, 0u) << row.name;
    }
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

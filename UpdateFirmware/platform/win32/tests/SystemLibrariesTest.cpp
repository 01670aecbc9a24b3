// The DLL search limited to the system folder, and system DLLs taken from
// there by their full path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/SystemLibraries.h"
#include "platform/win32/WindowsApi.h"

namespace {

std::wstring Lower(std::wstring text) {
    for (auto& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

// Before the DLL search is limited for the whole process (the next test), so
// only the load's own flags keep what it imports in the system folder.
TEST(SystemLibraries, WhatASystemLibraryImportsIsLookedForInTheSystemFolderOnly) {
    // Wine, as Windows 8 and later, has the search flags.
    EXPECT_EQ(platform::win32::SystemLibraryLoadFlags(), static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    const std::wstring system = platform::win32::OwnSystemDirectory();
    ASSERT_FALSE(system.empty());
    const std::wstring library = system + L"\\fwtool-probe-library.dll";
    ASSERT_TRUE(::CopyFileW(FW_PROBE_LIBRARY_WIDE, library.c_str(), FALSE)) << ::GetLastError();
    // What it imports: beside the program, in the current directory and on PATH.
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"fwtool-probe-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring self = ModulePath(nullptr);
    const std::wstring planted[] = {folder + L"\\fwtool-probe-dependency.dll",
                                    self.substr(0, self.rfind(L'\\') + 1) + L"fwtool-probe-dependency.dll"};
    for (const std::wstring& path : planted) ASSERT_TRUE(::CopyFileW(FW_PROBE_DEPENDENCY_WIDE, path.c_str(), FALSE));
    wchar_t oldDirectory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, oldDirectory);
    std::vector<wchar_t> oldPath(32768);
    ::GetEnvironmentVariableW(L"PATH", oldPath.data(), 32768);
    ::SetCurrentDirectoryW(folder.c_str());
    ::SetEnvironmentVariableW(L"PATH", (folder + L";" + oldPath.data()).c_str());

    const HMODULE module = platform::win32::LoadSystemLibrary(L"fwtool-probe-library.dll");
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"fwtool-probe-dependency.dll"), nullptr);
    if (module != nullptr) ::FreeLibrary(module);

    ::SetCurrentDirectoryW(oldDirectory);
    ::SetEnvironmentVariableW(L"PATH", oldPath.data());
    for (const std::wstring& path : planted) ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(folder.c_str());
    ::DeleteFileW(library.c_str());
}

TEST(SystemLibraries, SearchLeavesTheProgramFolderOutAndSystemDllsComeFromTheSystemFolder) {
    // A DLL beside the program, under a name no system folder holds.
    const std::wstring self = ModulePath(nullptr);
    const std::wstring beside = self.substr(0, self.rfind(L'\\') + 1) + L"fwtool-search-probe.dll";
    ASSERT_TRUE(::CopyFileW(FW_PLANTED_DLL_WIDE, beside.c_str(), FALSE)) << ::GetLastError();
    HMODULE before = ::LoadLibraryW(L"fwtool-search-probe.dll");
    ASSERT_NE(before, nullptr) << "the program's folder is searched by default";
    ::FreeLibrary(before);

    platform::win32::LimitDllSearch();
    EXPECT_EQ(::LoadLibraryW(L"fwtool-search-probe.dll"), nullptr);

    const std::wstring system = platform::win32::OwnSystemDirectory();
    ASSERT_FALSE(system.empty());
    for (const wchar_t* name : {L"version.dll", L"comctl32.dll"}) {
        const HMODULE module = platform::win32::LoadSystemLibrary(name);
        ASSERT_NE(module, nullptr) << name;
        EXPECT_EQ(Lower(ModulePath(module)), Lower(system + L"\\" + name));
    }
    EXPECT_TRUE(platform::win32::InitCommonControlsFromSystem(0xFF));
    ::DeleteFileW(beside.c_str());
}

}  // namespace

// The DLL search limited to the system folder, and system DLLs taken from
// there by their full path.
#include <gtest/gtest.h>

#include <string>

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

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/Win32Processes.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::ProcessListStatus;
using platform::win32::Win32Processes;

TEST(Win32Processes, ListHoldsThisTestWithItsModuleName) {
    Win32Processes processes;
    EXPECT_EQ(processes.CurrentProcessId(), ::GetCurrentProcessId());

    const auto list = processes.EnumProcesses();
    ASSERT_EQ(list.status, ProcessListStatus::Ok) << list.error;
    EXPECT_LE(list.ids.size(), 1024u);
    const std::uint32_t self = processes.CurrentProcessId();
    EXPECT_NE(std::find(list.ids.begin(), list.ids.end(), self), list.ids.end());

    std::wstring name;
    ASSERT_TRUE(processes.FirstModuleBaseName(self, &name));
    EXPECT_EQ(name, L"win32_tests.exe");

    // An ID no process has.
    std::uint32_t unused = 0x7FFFFFF0u;
    while (std::find(list.ids.begin(), list.ids.end(), unused) != list.ids.end()) unused -= 4;
    name = L"unchanged";
    EXPECT_FALSE(processes.FirstModuleBaseName(unused, &name));
    EXPECT_EQ(name, L"unchanged");
    const auto missing = processes.TerminateProcess(unused, 0);
    EXPECT_FALSE(missing.opened);
    EXPECT_FALSE(missing.terminated);
    EXPECT_NE(missing.error, 0u);
}

// The tool's main thread runs with file-system redirection off: the list must
// still come, and without loading a psapi.dll by path (on 64-bit Windows the
// system directory then names the DLL of the other bitness).
TEST(Win32Processes, ListWorksWithRedirectionOffAndLoadsNoLibrary) {
    if (::GetModuleHandleW(L"psapi.dll") != nullptr) GTEST_SKIP() << "psapi.dll already loaded";
    using DisableFn = BOOL(WINAPI*)(PVOID*);
    using RevertFn = BOOL(WINAPI*)(PVOID);
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const auto disable = reinterpret_cast<DisableFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "Wow64DisableWow64FsRedirection")));
    const auto revert = reinterpret_cast<RevertFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "Wow64RevertWow64FsRedirection")));
    PVOID old = nullptr;
    const bool off = disable && revert && disable(&old);  // only a 32-bit process on 64-bit Windows

    Win32Processes processes;
    const auto list = processes.EnumProcesses();
    std::wstring name;
    const bool named = processes.FirstModuleBaseName(processes.CurrentProcessId(), &name);
    EXPECT_EQ(::GetModuleHandleW(L"psapi.dll"), nullptr);
    if (off) revert(old);
    ASSERT_EQ(list.status, ProcessListStatus::Ok) << list.error;
    EXPECT_NE(std::find(list.ids.begin(), list.ids.end(), processes.CurrentProcessId()),
              list.ids.end());
    EXPECT_TRUE(named);
    EXPECT_EQ(name, L"win32_tests.exe");
}

TEST(Win32Processes, TerminateEndsProcessWithTheGivenCode) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring commandLine = L"win32_tests.exe --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    // Suspended: it never runs a test of its own.
    ASSERT_TRUE(::CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &child));

    Win32Processes processes;
    const auto result = processes.TerminateProcess(child.dwProcessId, 7);
    EXPECT_TRUE(result.opened);
    EXPECT_TRUE(result.terminated);
    EXPECT_EQ(result.error, 0u);

    EXPECT_EQ(::WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(::GetExitCodeProcess(child.hProcess, &code));
    EXPECT_EQ(code, 7u);
    if (!result.terminated) ::TerminateProcess(child.hProcess, 1);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
}

}  // namespace

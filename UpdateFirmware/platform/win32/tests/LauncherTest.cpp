// The launcher adapter under Wine: a missing program, a program that ends
// within the wait, and the COM apartment around the shell call.
#include <gtest/gtest.h>

#include <objbase.h>

#include <thread>

#include "platform/Launcher.h"
#include "platform/win32/Win32Launcher.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::win32::ComApartment;
using platform::win32::Win32Launcher;

// What CoInitializeEx(multithreaded) answers on this thread, undone again:
// S_OK when COM is off, S_FALSE when the thread is already multithreaded,
// RPC_E_CHANGED_MODE when it is single-threaded.
HRESULT ProbeApartment() {
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) ::CoUninitialize();
    return hr;
}

TEST(Win32Launcher, ComApartmentIsSingleThreadedForItsScopeOnly) {
    std::thread([] {
        {
            const ComApartment com;
            EXPECT_EQ(com.result(), S_OK);
            EXPECT_EQ(ProbeApartment(), RPC_E_CHANGED_MODE);
        }
        EXPECT_EQ(ProbeApartment(), S_OK);

        // A multithreaded thread keeps its apartment and its one initialisation.
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            const ComApartment com;
            EXPECT_EQ(com.result(), RPC_E_CHANGED_MODE);
        }
        EXPECT_EQ(ProbeApartment(), S_FALSE);
        ::CoUninitialize();
        EXPECT_EQ(ProbeApartment(), S_OK);
    }).join();
}

TEST(Win32Launcher, MissingProgramIsReportedNotStarted) {
    Win32Launcher launcher;
    const platform::LaunchResult r =
        launcher.ShellExecuteAndWait(L".\\devcon-not-here.exe", L"Restart USB\\VID_7A7D&PID_3262", platform::kSwHide, 5000);
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.ended);
    EXPECT_NE(r.error, 0u);
}

TEST(Win32Launcher, HiddenProgramRunsAndIsWaitedFor) {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring cmd = std::wstring(directory, length) + L"\\cmd.exe";
    Win32Launcher launcher;
    const platform::LaunchResult r = launcher.ShellExecuteAndWait(cmd, L"/c exit 0", platform::kSwHide, 60000);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.error, 0u);
    // The call leaves the thread's COM state as it found it.
    EXPECT_EQ(ProbeApartment(), S_OK);
}

}  // namespace

// The placeholder payload end to end on Windows (under Wine in CI): the
// executable's resources, extraction, installation through the system's
// rundll32 and setupapi (the package's marker key appears) and removal
// through the command interpreter and the uninstall batch (the marker key
// and every extracted file are gone). Also the port calls this needs.
#include <gtest/gtest.h>

#include <string>

#include "app/Ini.h"
#include "app/MainDialog.h"
#include "app/Payload.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "platform/Win32Errors.h"
#include "platform/win32/Win32Ports.h"
#include "platform/win32/WindowsApi.h"

namespace {

constexpr wchar_t kMarkerKey[] = L"SOFTWARE\\VTL262xFWUpgradeTool\\PlaceholderFilterDriver";

bool MarkerKeyPresent() {
    HKEY key = nullptr;
    const LONG status =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMarkerKey, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (status == ERROR_SUCCESS) ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Runs a command line as a second program and waits for it.
DWORD RunSecondProgram(std::wstring command, const std::wstring& directory) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          directory.c_str(), &startup, &process))
        return ::GetLastError() | 0x80000000u;
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return code;
}

std::wstring Scratch(platform::Files& files, const wchar_t* tag) {
    const std::wstring path = files.GetTempPath() + L"fwtool-" + tag + L"-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(::GetTickCount64());
    ::CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

TEST(Win32Payload, PortCallsForFoldersAttributesResourcesAndProcesses) {
    platform::win32::Win32Ports win32;
    platform::Files& files = win32.files;
    const std::wstring temp = files.GetTempPath();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), L'\\');
    const std::wstring dir = Scratch(files, L"ports");
    const std::wstring file = dir + L"\\a.txt";
    EXPECT_TRUE(files.FindFirstFile(dir).ok);
    EXPECT_FALSE(files.FindFirstFile(file).ok);
    EXPECT_EQ(files.FindFirstFile(dir + L"\\*").error, platform::kErrorInvalidName);
    const auto created = files.CreateFile(file, platform::kGenericWrite, 0, platform::FileDisposition::CreateNew, 0);
    ASSERT_TRUE(created.handle.IsValid());
    files.CloseHandle(created.handle);
    std::uint32_t attributes = 0;
    ASSERT_TRUE(files.SetFileAttributes(file, platform::kFileAttributeHidden).ok);
    ASSERT_TRUE(files.GetFileAttributes(file, &attributes).ok);
    EXPECT_TRUE(attributes & platform::kFileAttributeHidden);
    EXPECT_EQ(files.RemoveDirectory(dir).error, platform::kErrorDirNotEmpty);
    EXPECT_TRUE(files.DeleteFile(file).ok);
    EXPECT_TRUE(files.RemoveDirectory(dir).ok);
    EXPECT_FALSE(files.GetFileAttributes(dir, &attributes).ok);

    EXPECT_FALSE(win32.osInfo.GetWindowsDirectory().empty());
    const platform::ResourceData missing = win32.resources.Load(L"BIN", 999);
    EXPECT_FALSE(missing.found);
    EXPECT_NE(missing.error, 0u);
    const platform::ResourceData name = win32.resources.Load(L"INI", 167);
    ASSERT_TRUE(name.found);
    EXPECT_EQ(std::string(name.bytes.begin(), name.bytes.end()), "140415_03_E5_00.bin\r\n");

}

TEST(Win32Payload, PlaceholderPackageInstallsAndRemovesEndToEnd) {
    platform::win32::Win32Ports win32;
    const platform::Ports ports = win32.Ports();
    hubaccess::CHubUtility utility(ports);
    // Records reach the debugger channel (WINEDEBUG=+debugstr shows them).
    g_nMessageLevel = 3;
    app::CMy262FWUpgradeToolDlg dialog;
    app::CPayload payload(utility, dialog);

    // A blank in the temporary folder's name, as in "C:\\Users\\Jane Doe\\...".
    const std::wstring base = Scratch(win32.files, L"pay load") + L"\\";
    const std::wstring program = base + L"program";
    ASSERT_TRUE(::CreateDirectoryW(program.c_str(), nullptr));
    utility.m_szModuleDirectory = program;
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_WOW64_64KEY, 0);
    ASSERT_FALSE(MarkerKeyPresent());

    // The INI the executable carries.
    app::Ini ini;
    ASSERT_EQ(ini.nExtractINILib(ports, program), 0);
    ASSERT_EQ(ini.vLoadINIFile(ports, app::Ini::strIniFilePath(program), 0), 1);
    EXPECT_EQ(ini.m_strVID, L"103C");
    EXPECT_EQ(ini.m_ucCheckU3Only, 1);
    EXPECT_EQ(ini.nDeleteINIFile(ports, program), 1);

    // devcon, in the locked package folder: the placeholder does nothing and
    // ends with failure. It is held: it runs, but nobody can write it.
    const std::wstring package = app::CPayload::strPackageFolder(base);
    ASSERT_EQ(payload.nADD_Delete_DevconFile(base, 1), 0);
    const std::wstring devcon = package + (utility.IsWow64() ? L"\\devconAMD64.exe" : L"\\devcon.exe");
    EXPECT_EQ(utility.m_strDevconPath, devcon);
    platform::ChildProcess start;
    start.program = devcon;
    start.commandLine = L"\"" + devcon + L"\" Restart USB\\VID_103C&PID_3262";
    start.currentDirectory = package;
    start.noWindow = true;
    const platform::ProcessRunResult ran = win32.launcher.StartAndWait(start, 60000);
    EXPECT_TRUE(ran.ended);
    EXPECT_EQ(ran.exitCode, 1u);
    const HANDLE writer = ::CreateFileW(devcon.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
    for (const std::wstring& folder : {base + L"VTL262xFW", package}) {
        platform::PathFacts facts;
        ASSERT_TRUE(win32.files.InspectPath(folder, &facts).ok);
        EXPECT_TRUE(facts.exists && facts.directory && !facts.redirection);
    }
    // A second program can neither rename nor delete the held folders (a
    // folder above them it could rename under Wine, not on NTFS).
    const std::wstring system = win32.osInfo.GetSystemDirectory();
    for (const std::wstring& folder : {package, base + L"VTL262xFW"}) {
        RunSecondProgram(L"\"" + system + L"\\cmd.exe\" /c ren \"" + folder + L"\" theirs", program);
        RunSecondProgram(L"\"" + system + L"\\cmd.exe\" /c rd /s /q \"" + folder + L"\"", program);
        EXPECT_TRUE(Exists(folder));
        EXPECT_FALSE(Exists(folder.substr(0, folder.rfind(L'\\') + 1) + L"theirs"));
    }
    EXPECT_TRUE(Exists(devcon));

    // The firmware image: hidden, and recognised as the placeholder.
    ASSERT_EQ(payload.vExtractBinFiles(), 1);
    EXPECT_EQ(dialog.m_strFWBinFile, L"140415_03_E5_00.bin");
    const std::wstring image = program + L"\\140415_03_E5_00.bin";
    EXPECT_TRUE(::GetFileAttributesW(image.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(app::IsPlaceholderFirmwareImage(win32.resources.Load(L"BIN", 166).bytes));

    // Installation through rundll32 and setupapi, on the INF by its full
    // path with a blank in it.
    ASSERT_EQ(payload.InstallFilterDriver(base), 0);
    EXPECT_TRUE(MarkerKeyPresent());
    const platform::FileVersionResult version = win32.osInfo.GetFileVersion(package + L"\\amd64\\revodereriri.sys");
    ASSERT_TRUE(version.ok);
    EXPECT_EQ(version.fileVersionMS, 0x00010000u);
    EXPECT_EQ(version.fileVersionLS, 0x00070000u);

    // Removal through the command interpreter and the uninstall batch.
    EXPECT_EQ(payload.nADD_Delete_DevconFile(base, 0), 0);
    ASSERT_EQ(payload.Remove_FilterDriverAndFiles(base), 0);
    EXPECT_FALSE(MarkerKeyPresent());
    EXPECT_FALSE(Exists(package));
    EXPECT_FALSE(Exists(base + L"VTL262xFW"));  // made by this run, deleted again
    EXPECT_EQ(payload.vRemoveBinFiles(), 1);
    EXPECT_FALSE(Exists(devcon));
    EXPECT_FALSE(Exists(image));
    EXPECT_TRUE(payload.ExtractedFiles().empty());

    EXPECT_TRUE(::RemoveDirectoryW(program.c_str()));
    EXPECT_TRUE(::RemoveDirectoryW(base.c_str()));
    g_nMessageLevel = 0;
}

}  // namespace

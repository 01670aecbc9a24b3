// A program planted next to the tool under a system program's name
// (rundll32.exe): when it runs it leaves "planted-<its name>.txt" beside
// itself, so a test sees that it ran.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    const std::size_t slash = path.rfind(L'\\');
    const std::wstring name = path.substr(slash + 1);
    const std::wstring marker = path.substr(0, slash + 1) + L"planted-" + name + L".txt";
    const HANDLE h = ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return 0;
}

// A VERSION.dll planted next to the tool: loading it leaves
// "planted-VERSION.dll.txt" beside it. It exports what an executable that
// imports the system's version.dll asks for, so such a program would load it
// and start.
#include <windows.h>

#include <string>

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(instance, self, MAX_PATH);
    std::wstring path(self, length);
    const std::size_t slash = path.rfind(L'\\');
    const std::wstring marker = path.substr(0, slash + 1) + L"planted-" + path.substr(slash + 1) + L".txt";
    const HANDLE h = ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return TRUE;
}

DWORD WINAPI PlantedSize(LPCWSTR, LPDWORD) { return 0; }
BOOL WINAPI PlantedInfo(LPCWSTR, DWORD, DWORD, LPVOID) { return FALSE; }
BOOL WINAPI PlantedQuery(LPCVOID, LPCWSTR, LPVOID*, PUINT) { return FALSE; }
}

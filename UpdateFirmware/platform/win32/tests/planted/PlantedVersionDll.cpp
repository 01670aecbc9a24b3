// A VERSION.dll planted next to the tool. It exports what a program that
// imports the system's version.dll asks for, so such a program loads it and
// starts; each call of its functions made from the program's own image
// leaves "planted-version.dll.txt" beside it, so a test sees that the tool
// used it. (Its loading alone is no sign, nor are calls from system DLLs:
// Wine's own user32 imports and calls version.dll, and so loads a planted
// one into every windowed program when native-first is asked for.)
#include <windows.h>

#include <string>

namespace {

HINSTANCE g_self = nullptr;

void LeaveMarker(void* caller) {
    HMODULE from = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(caller), &from) ||
        from != ::GetModuleHandleW(nullptr))
        return;
    wchar_t self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(g_self, self, MAX_PATH);
    std::wstring path(self, length);
    const std::size_t slash = path.rfind(L'\\');
    const std::wstring marker = path.substr(0, slash + 1) + L"planted-version.dll.txt";
    const HANDLE h = ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_self = instance;
    return TRUE;
}

DWORD WINAPI PlantedSize(LPCWSTR, LPDWORD) {
    LeaveMarker(__builtin_return_address(0));
    return 0;
}
BOOL WINAPI PlantedInfo(LPCWSTR, DWORD, DWORD, LPVOID) {
    LeaveMarker(__builtin_return_address(0));
    return FALSE;
}
BOOL WINAPI PlantedQuery(LPCVOID, LPCWSTR, LPVOID*, PUINT) {
    LeaveMarker(__builtin_return_address(0));
    return FALSE;
}
}

// The USB topology walk: every host controller, every hub below it.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
BOOL CHubUtility::GetDeviceList() { return FALSE; }
DWORD CHubUtility::EnumerateHost(Handle, const std::wstring&, BYTE) { return 0; }
void CHubUtility::GetHubPort(Handle, ULONG, ULONG, const std::wstring&, const std::wstring&, BYTE,
                             const std::vector<BYTE>&) {}
std::wstring CHubUtility::strGetExternalHubName(Handle, ULONG) { return {}; }
std::wstring CHubUtility::strChangeDeviceNameForMCCI(const std::wstring& s) { return s; }
BOOL CHubUtility::bGet262xFWVersion(DRIVERINFO*) { return FALSE; }
int CHubUtility::GetPortStatus(const std::wstring&, BYTE) { return 0; }

}  // namespace hubaccess

// Queries of the Windows USB stack: root hub name, descriptors, text helpers.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
std::wstring CHubUtility::WideStrToMultiStr(const std::wstring& text) { return text; }
BOOL CHubUtility::GetRootHubName(Handle) { return FALSE; }
std::wstring CHubUtility::GetStringDescriptor(Handle, ULONG, USHORT*, BYTE) { return {}; }
void CHubUtility::GetDeviceDescriptor(Handle, ULONG, const BYTE*) {}
DWORD CHubUtility::vCharToHex(const std::wstring&) { return 0; }

}  // namespace hubaccess

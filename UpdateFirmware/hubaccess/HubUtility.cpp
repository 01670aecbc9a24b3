// Construction, destruction and the system services of the hub utility.
#include "hubaccess/HubUtility.h"

#include "hubaccess/DebugLog.h"

namespace hubaccess {

CHubUtility* pUtility = nullptr;

// PLACEHOLDER: being written.
CHubUtility::CHubUtility(const platform::Ports& ports) : m_ports(ports) {
    m_ulOldPositionIndex.fill(0xFFFFFFFFu);
    m_ucRegTable = kDefaultRegTable;
}
CHubUtility::~CHubUtility() = default;
void CHubUtility::vResetMembers() {}
BOOL CHubUtility::bCheckFilePathExists(const std::wstring&, BYTE) { return FALSE; }
int CHubUtility::DetectProcess() { return 0; }
DWORD CHubUtility::GetProcessID() { return 0; }
BOOL CHubUtility::KillProcess(DWORD) { return FALSE; }
std::wstring CHubUtility::vGetFileVersionInfo(const std::wstring&) { return {}; }
BOOL CHubUtility::bIsInstallVntlFilterDriverFromRegistry() { return FALSE; }
BOOL CHubUtility::IsWow64() { return FALSE; }
BYTE CHubUtility::ucGetOSVersion() { return kOsUnknown; }
void CHubUtility::vShowMessage(const std::wstring&) {}
BOOL CHubUtility::bRegistryReadWrite(const std::wstring&, const std::wstring&, RegistryData*, BYTE, BYTE) {
    return FALSE;
}

}  // namespace hubaccess

// The chip operations of the hub device object and the erase-status wait.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"

namespace hubaccess {

// PLACEHOLDER: being written.
int CVntlHubDev::VTL262xAccessRegister(BYTE, BYTE*, WORD, BYTE) { return -1; }
int CVntlHubDev::VTL262xFirmwareWrite(BYTE, const std::wstring&, BYTE, BYTE) { return -1; }
int CVntlHubDev::VTL262xConfigWrite(BYTE, const BYTE*, BYTE, BYTE) { return -1; }
int CVntlHubDev::VTL262xBlockErase(BYTE, BYTE) { return -1; }
int CVntlHubDev::VTL262xConfigRead(BYTE, BYTE*, BYTE) { return -1; }
int CVntlHubDev::VTL262xFirmwareRead(BYTE, BYTE*, std::size_t) { return -1; }
int CVntlHubDev::VTL262xReset(BYTE, BYTE) { return -1; }
std::wstring CVntlHubDev::ObjectNameOf(BYTE) const { return {}; }
platform::DeviceOpenResult CVntlHubDev::OpenFilterObject(const std::wstring&) { return {}; }
void CVntlHubDev::CloseFilterObject(Handle) {}
BOOL CHubUtility::PollingRegStatus(Handle, const BYTE*) { return FALSE; }

}  // namespace hubaccess

// The update services the hub workers call: locks, configuration and
// firmware writes, ROM read-back, re-identification after a reset.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
BOOL CHubUtility::vInitializeCriticalSection() { return FALSE; }
void CHubUtility::vDeleteCriticalSection() {}
BYTE CHubUtility::vWrRdConfiguration(BYTE, BYTE, BYTE*, BYTE) { return FALSE; }
BOOL CHubUtility::vUpdateFirmware(BYTE, BYTE) { return FALSE; }
BOOL CHubUtility::bReadSPIROM(BYTE, BYTE*, std::size_t) { return FALSE; }
BOOL CHubUtility::ReEnumrationTargetHub(BYTE) { return FALSE; }

}  // namespace hubaccess

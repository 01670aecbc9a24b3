// Hub selective suspend in the registry: turned off while the tool works.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
BOOL CHubUtility::bSetHubPowerManagementByRegistry(HUBREC, DWORD) { return TRUE; }
BOOL CHubUtility::bRestorePowerManagement() { return TRUE; }

}  // namespace hubaccess

// The filter device object name of a hub.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
int CHubUtility::GetObjecNameFromDriverName(DRIVERINFO*, BYTE) { return -1; }

}  // namespace hubaccess

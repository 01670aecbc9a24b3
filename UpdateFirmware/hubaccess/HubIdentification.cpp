// The scan: hub interfaces found by the walk become rows of the hub table.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"

namespace hubaccess {

// PLACEHOLDER: being written.
int CVntlUSBLib::OpenDev(DEV_LIST*, int) { return -4; }
int CVntlHubDev::OpenDevice(DEV_LIST*) { return -4; }
int CVntlHubDev::ScanEntries() { return -4; }

}  // namespace hubaccess

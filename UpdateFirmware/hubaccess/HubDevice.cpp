// The hub device object's construction and the record presets; the facade.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"

namespace hubaccess {

// PLACEHOLDER: being written.
CVntlHubDev::CVntlHubDev(CHubUtility& utility)
    : m_utility(utility), m_filter(*utility.Ports().deviceIo, *utility.Ports().clock) {}
CVntlHubDev::~CVntlHubDev() = default;
void CVntlHubDev::vInitialPrivateData() {}
void CVntlHubDev::vClearPrivateData() {}
void CVntlHubDev::vInitHubStatusFlags() {}
CVntlUSBLib::~CVntlUSBLib() = default;

}  // namespace hubaccess

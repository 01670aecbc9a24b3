// The configuration table: the built-in register values, the default table
// and the register-table text file.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
const std::array<BYTE, kRegTableSize> kDefaultRegTable = {};
void CHubUtility::vSetMConfigInfo(BYTE) {}
void CHubUtility::BuildDefaultConfigTable(std::array<BYTE, kConfigTableSize>&) const {}
BOOL CHubUtility::vLoadRegTableFromFile(const std::wstring&) { return FALSE; }

}  // namespace hubaccess

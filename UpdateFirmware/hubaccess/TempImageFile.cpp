// The temporary firmware image file and its CRC-32.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
BOOL CHubUtility::vCreateTempBinDataFile(const std::wstring&, BOOL, BOOL, BOOL) { return FALSE; }
void CHubUtility::vInitCRC32Table() {}
DWORD CHubUtility::CRC32(const BYTE*, std::size_t) const { return 0; }

}  // namespace hubaccess

// The identification signature in chip registers 0x7FB and 0x7FC.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
BYTE CHubUtility::bIsSignatureMarked(Handle) { return 255; }
BYTE CHubUtility::ucGetSignatureMarked(Handle, BYTE*) { return 255; }
int CHubUtility::WriteSignatureWORD(Handle, WORD) { return -1; }
int CHubUtility::MarkSignatureforIdentify(Handle, BYTE) { return -1; }

}  // namespace hubaccess

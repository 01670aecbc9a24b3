// Results, messages and exit codes: the message routine, the status line,
// the hub rows, the bars, the overall bar's animation and the exit code.
#include "app/MainDialog.h"

namespace app {

void CMy262FWUpgradeToolDlg::SetRunMessage(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(m_RunMessageLock);
    m_strRunMessage = text;
}

std::wstring CMy262FWUpgradeToolDlg::GetRunMessage() const {
    std::lock_guard<std::mutex> guard(m_RunMessageLock);
    return m_strRunMessage;
}

}  // namespace app

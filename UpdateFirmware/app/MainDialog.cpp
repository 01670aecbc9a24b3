#include "app/MainDialog.h"

namespace app {

CMy262FWUpgradeToolDlg* pFWUpdateDlg = nullptr;

void CMy262FWUpgradeToolDlg::vResetRunState() {
    for (CHILD_THREAD_INFO& child : m_ChildThreadInfo) child.Clear();
}

}  // namespace app

#include "app/MainDialog.h"

namespace app {

CMy262FWUpgradeToolDlg* pFWUpdateDlg = nullptr;

}  // namespace app

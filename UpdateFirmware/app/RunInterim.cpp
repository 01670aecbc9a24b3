// Interim stand-ins for the firmware files and the side modes, enough for
// the run to be built and exercised.
#include <algorithm>

#include "app/MainDialog.h"
#include "app/RunView.h"
#include "hubaccess/HubUtility.h"

namespace app {

BOOL CMy262FWUpgradeToolDlg::bConfig_File2TempBinFile(const std::wstring& path) { return hubaccess::FALSE; }
BOOL CMy262FWUpgradeToolDlg::bReadFirmwareTrailer(const std::wstring& path) { return hubaccess::FALSE; }

std::wstring CMy262FWUpgradeToolDlg::VersionTextFromFileName(const std::wstring& path) {
    std::wstring text;
    for (wchar_t c : path)
        if (c != L'_') text += c;
    const std::size_t dot = text.rfind(L'.');
    if (dot == std::wstring::npos) return L"";
    text = text.substr(0, dot);
    const std::size_t slash = text.rfind(L'\\');
    if (slash != std::wstring::npos) text = text.substr(slash + 1);
    return text.size() > 12 ? text.substr(text.size() - 12) : text;
}

int CMy262FWUpgradeToolDlg::outputFWVersionTask() { return -1; }
int CMy262FWUpgradeToolDlg::nCmpHubSNTask() { return -3; }

}  // namespace app

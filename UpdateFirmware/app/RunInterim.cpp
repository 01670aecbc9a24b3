// Interim stand-ins for the result display, the firmware files and the side
// modes, enough for the run to be built and exercised.
#include <algorithm>

#include "app/MainDialog.h"
#include "app/RunView.h"
#include "hubaccess/HubUtility.h"

namespace app {

void CMy262FWUpgradeToolDlg::SetRunMessage(const std::wstring& text) { m_strRunMessage = text; }
std::wstring CMy262FWUpgradeToolDlg::GetRunMessage() const { return m_strRunMessage; }

int CMy262FWUpgradeToolDlg::nMessageOut(const std::wstring& text, BYTE type, std::uint32_t flags) {
    if (m_bConsoleMode || type < m_ucMsgThreshold || m_pRunView == nullptr) return -1;
    return m_pRunView->MessageBox(text, L"", flags);
}

void CMy262FWUpgradeToolDlg::vShowUpddateResult(const std::wstring& text, BYTE colourIndex, BYTE fontHeight) {
    static const COLORREF kColours[] = {kColourRed, kColourGreen, kColourOrange, kColourBlue, kColourOrange};
    if (m_pRunView != nullptr)
        m_pRunView->SetStatusText(text, colourIndex < 5 ? kColours[colourIndex] : kColourWhite, fontHeight);
}

void CMy262FWUpgradeToolDlg::vShowHubInfo(BYTE n) {}

void CMy262FWUpgradeToolDlg::vSetAllProgressColor(std::uint32_t colour) {
    for (int i = 0; i < m_devList.nCount && i < kRunViewRows; ++i) {
        if (m_pRunView == nullptr) break;
        m_pRunView->SetBarColour(RowControlId(i, RowPart::Bar), colour);
        m_pRunView->SetBarPos(RowControlId(i, RowPart::Bar), 100);
    }
}

void CMy262FWUpgradeToolDlg::SetExitcode(int iExitcode) {
    m_iRet = iExitcode;
    if ((m_bSilentMode || m_bAutoMode || m_bShowHelp || m_bConsoleMode) && m_pRunView != nullptr)
        m_pRunView->RequestExit(iExitcode);
}

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

// Results, messages and exit codes: the message routine, the status line,
// the hub rows, the bars, the overall bar's animation and the exit code.
#include "app/RunResults.h"

#include "app/MainDialog.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "platform/Processes.h"

namespace app {

namespace {

struct ExitCodeRow {
    int code;
    const wchar_t* meaning;
};

constexpr ExitCodeRow kExitCodeTable[] = {
    {kExitPass, L"the run passed"},
    {kExitLatest, L"every hub already has the file's version"},
    {kExitVersionFile, L"the version text file could not be written"},
    {kExitContentMismatch, L"a hub's version differs from the one to check, or its ROM differs from the image"},
    {kExitLengthMismatch, L"not exactly 2 hubs or serial numbers differ, or the ROM's firmware length differs"},
    {kExitNoHub, L"no hub found"},
    {kExitExtraFiles, L"extra necessary files could not be written"},
    {kExitReadBack, L"a hub's ROM could not be read back or exported"},
    {kExitReset, L"a hub's reset failed, it did not come back, or its version stayed wrong"},
    {kExitImageUnreadable, L"the image file could not be read for verification"},
    {kExitTimeOut, L"the run timed out"},
    {kExitInvalidInput, L"command-line error, or the firmware file is not valid"},
    {kExitWriteFailed, L"a hub's table or firmware could not be written"},
    {kExitDowngradeRefused, L"an older firmware than a hub's was refused"},
    {kExitTooManyHubs, L"more hubs than the tool can update at once"},
    {kExitDriver, L"the filter driver could not be installed"},
    {kExitQuitCode, L"the dialog was closed"},
};

const wchar_t kDlg[] = L"CMy262FWUpgradeToolDlg";

std::wstring Method(const wchar_t* name) { return std::wstring(kDlg) + L"::" + name; }

}  // namespace

std::wstring ExitCodeMeaning(int code) {
    for (const ExitCodeRow& row : kExitCodeTable)
        if (row.code == code) return row.meaning;
    return std::wstring();
}

COLORREF ResultColour(BYTE index) {
    switch (index) {
        case 0: return kColourRed;
        case 1: return kColourGreen;
        case 2: return kColourOrange;
        case 3: return kColourBlue;
        case 4: return kColourOrange;
        default: return kColourWhite;
    }
}

MessageStyle MessageStyleOf(BYTE type) {
    switch (type) {
        case 1: return {L"Error", kMbIconError};
        case 2: return {L"TimeOut", kMbIconError};
        case 3: return {L"Warning", kMbIconWarning};
        case 4: return {L"Information", kMbIconInformation};
        case 5: return {L"Question", kMbIconQuestion};
        default: return {L"", 0};
    }
}

bool MessageShown(BYTE type, BYTE threshold, bool consoleMode) { return !consoleMode && type >= threshold; }

ResultLine FinalResultLine(int hubCount, bool timedOut, int exitCode, bool allPass) {
    const std::wstring suffix = textfmt::Format(L"(%d)", exitCode);
    if (hubCount == 0) return {L"Failed!!" + suffix, 0, 30};
    if (timedOut) return {L"TimeOut!!" + suffix, 0, 40};
    if (exitCode == kExitDowngradeRefused) return {L"The lastest Version!!" + suffix, 1, 30};
    if (!allPass) return {L"Failed!!" + suffix, 0, 40};
    return {L"Pass!!", 1, 40};
}

MainBarStep CMainBarAnimator::Tick(BYTE mainStatus, BYTE allPass, int currentPos, bool consoleMode) {
    MainBarStep step;
    switch (mainStatus) {
        case MAIN_THREAD_FINISH:
            step.finished = true;
            step.colour = allPass ? kColourGreen : kColourRed;
            step.stopTimer = true;
            step.pos = 100;
            return step;
        case MAIN_THREAD_PROMPT:
            step.sleepMs = 200;
            step.pos = 0;
            return step;
        case MAIN_THREAD_SCANNING:
            if (consoleMode) {
                if (m_strSearchTicker.size() > 30) {
                    step.console = L"\r" + std::wstring(56, L' ') + L"\r";
                    m_strSearchTicker = L"Search Hub";
                }
                m_strSearchTicker += L".";
                step.console += textfmt::Format(L"%S\r", m_strSearchTicker);
                step.sleepMs = 50;
            }
            break;
        default:
            break;
    }
    step.pos = currentPos < 100 ? currentPos + 1 : 0;
    return step;
}

// ---------------------------------------------------------------------------
// The dialog's result methods

void CMy262FWUpgradeToolDlg::SetRunMessage(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(m_RunMessageLock);
    m_strRunMessage = text;
}

std::wstring CMy262FWUpgradeToolDlg::GetRunMessage() const {
    std::lock_guard<std::mutex> guard(m_RunMessageLock);
    return m_strRunMessage;
}

int CMy262FWUpgradeToolDlg::nMessageOut(const std::wstring& text, BYTE type, DWORD flags) {
    const MessageStyle style = MessageStyleOf(type);
    flags |= style.iconFlag;
    if (!MessageShown(type, m_ucMsgThreshold, m_bConsoleMode != 0) || !m_pRunView) return -1;
    return m_pRunView->MessageBox(text, style.caption.substr(0, 255), flags);
}

void CMy262FWUpgradeToolDlg::vShowUpddateResult(const std::wstring& text, BYTE colour, BYTE fontHeight) {
    try {
        if (m_pRunView) m_pRunView->SetStatusText(text, ResultColour(colour), fontHeight);
    } catch (...) {
        vDEBUG_ERR_printf(L"%s:%d: dwErrorCode %d", Method(L"vShowUpddateResult"), __LINE__,
                          hubaccess::GetLastSystemError());
    }
}

void CMy262FWUpgradeToolDlg::vShowHubInfo(BYTE n) {
    const std::wstring method = Method(L"vShowHubInfo");
    vDEBUG_MSG_printf(L"%s:%d:  ucHubNum %d", method, __LINE__, n);
    if (m_pRunView) {
        for (int r = 0; r < kRunViewRows; ++r)
            for (RowPart part : {RowPart::Label, RowPart::Speed, RowPart::Version, RowPart::Bar})
                m_pRunView->ShowControl(RowControlId(r, part), false);
    }
    if (n == 0 || n > kRunViewRows) {
        vDEBUG_ERR_printf(L"%s:%d:  ucHubNum Invalid %d", method, __LINE__, n);
        return;
    }
    // A re-identification rewrites a row's texts under the enumeration lock:
    // copy them under it.
    std::wstring speed[kRunViewRows], version[kRunViewRows];
    {
        platform::Mutex* enumLock =
            hubaccess::pUtility ? hubaccess::pUtility->m_EnumCriticalSection.get() : nullptr;
        if (enumLock) enumLock->Lock();
        for (int r = 0; r < n; ++r) {
            speed[r] = m_devList.rows[r].m_strUSBType;
            version[r] = m_devList.rows[r].m_strFWVersion;
        }
        if (enumLock) enumLock->Unlock();
    }
    for (int r = 0; r < n; ++r) {
        vDEBUG_MSG_printf(L"%s:%d:  Show Hub%d Info , ucHubNum %d", method, __LINE__, r + 1, n);
        if (!m_pRunView) continue;
        m_pRunView->ShowControl(RowControlId(r, RowPart::Label), true);
        m_pRunView->ShowControl(RowControlId(r, RowPart::Speed), true);
        m_pRunView->ShowControl(RowControlId(r, RowPart::Version), true);
        m_pRunView->ShowControl(RowControlId(r, RowPart::Bar), true);
        m_pRunView->SetControlText(RowControlId(r, RowPart::Speed), speed[r]);
        m_pRunView->SetControlText(RowControlId(r, RowPart::Version), version[r]);
        m_pRunView->SetBarPos(RowControlId(r, RowPart::Bar), 0);
    }
}

void CMy262FWUpgradeToolDlg::vSetAllProgressColor(COLORREF colour) {
    const int n = m_devList.nCount;
    for (int i = 0; i < n && i < kRunViewRows; ++i) {
        vSetHubBarColor(i, colour);
        vSetHubBarPos(i, 100);
    }
}

void CMy262FWUpgradeToolDlg::vSetHubBarPos(int row, int pos) {
    const int id = RowControlId(row, RowPart::Bar);
    if (id && m_pRunView) m_pRunView->SetBarPos(id, pos);
}

void CMy262FWUpgradeToolDlg::vSetHubBarColor(int row, COLORREF colour) {
    const int id = RowControlId(row, RowPart::Bar);
    if (id && m_pRunView) m_pRunView->SetBarColour(id, colour);
}

void CMy262FWUpgradeToolDlg::vSetHubVersionText(int row, const std::wstring& text) {
    const int id = RowControlId(row, RowPart::Version);
    if (id && m_pRunView) m_pRunView->SetControlText(id, text);
}

void CMy262FWUpgradeToolDlg::vConsolePrint(const std::wstring& text) {
    if (m_bConsoleMode && m_pRunView) m_pRunView->ConsolePrint(text);
}

bool CMy262FWUpgradeToolDlg::OnTimer(std::uintptr_t id) {
    if (id != kMainBarTimerId || !m_pRunView) return false;
    const CHILD_THREAD_INFO& main = m_pMainThreadInfo ? *m_pMainThreadInfo : m_MainThreadInfo;
    const MainBarStep step = m_mainBarAnimator.Tick(main.ucMainStatus.load(), main.bAllPass.load(),
                                                    m_pRunView->GetBarPos(kIdProgressMain), m_bConsoleMode != 0);
    if (step.finished) vDEBUG_MSG_printf(L"%s:%d: main  Finish!!!  ", Method(L"OnTimer"), __LINE__);
    if (!step.console.empty()) m_pRunView->ConsolePrint(step.console);
    if (step.sleepMs && hubaccess::pUtility) hubaccess::pUtility->Ports().clock->Sleep(step.sleepMs);
    if (step.colour) m_pRunView->SetBarColour(kIdProgressMain, *step.colour);
    m_pRunView->SetBarPos(kIdProgressMain, step.pos);
    return step.stopTimer;
}

void CMy262FWUpgradeToolDlg::SetExitcode(int iExitcode) {
    m_iRet = iExitcode;
    vDEBUG_MSG_printf(L"%s:%d:  iExitcode[ %d]", Method(L"SetExitcode"), __LINE__, iExitcode);
    if (m_pfnRemoveBinFiles) m_pfnRemoveBinFiles();
    if (m_bSilentMode || m_bAutoMode || m_bShowHelp) {
        m_bExitRequested = true;
        if (m_pRunView) m_pRunView->RequestExit(iExitcode);
    } else if (m_bConsoleMode) {
        m_bExitRequested = true;
        if (m_pRunView) {
            m_pRunView->ConsolePrint(L"\n");
            m_pRunView->ConsoleFocus();
            m_pRunView->RequestExit(iExitcode);
        }
    }
}

bool CMy262FWUpgradeToolDlg::bTerminateIfRunThreadsLeft(platform::Processes& processes, int exitCode) {
    const bool runGoing = m_bRunGoing.load();
    if (!runGoing && !m_bWorkerLeftRunning.load()) return false;
    vDEBUG_ERR_printf(L"%s:%d: %s still running: the process ends itself with [%d]", Method(L"EndProcess"), __LINE__,
                      runGoing ? L"the run is" : L"a worker is", exitCode);
    // The records being written end first; nothing is logged after them.
    vDEBUG_Shutdown_printf();
    processes.TerminateProcess(processes.CurrentProcessId(), static_cast<std::uint32_t>(exitCode));
    return true;
}

}  // namespace app

#include "platform/win32/dialog/MainDialogWindow.h"

#include <commctrl.h>

#include <utility>

#include "app/DialogFrame.h"
#include "hubaccess/DebugLog.h"
#include "platform/win32/dialog/AboutDialog.h"
#include "res/resource.h"

namespace platform::win32::dialog {

namespace {

constexpr UINT kMsgPosted = WM_APP + 0x10;    // run the posted updates
constexpr UINT kMsgExit = WM_APP + 0x11;      // wParam: exit code
constexpr UINT kMsgRunEnded = WM_APP + 0x12;  // a waiting close or OK may go on
constexpr UINT kMsgGetBarPos = WM_APP + 0x13; // wParam: control id; result: PBM_GETPOS

// While a close or OK waits for the run: how often the dialog looks whether
// the run has ended.
constexpr UINT_PTR kRunEndTimerId = 2;
constexpr UINT kRunEndTimerMs = 100;

constexpr int kHubLabelIds[app::kDialogHubRows] = {IDC_STATIC_HUB1, IDC_STATIC_HUB2, IDC_STATIC_HUB3,
                                                   IDC_STATIC_HUB4, IDC_STATIC_HUB5};
constexpr int kHubSpeedIds[app::kDialogHubRows] = {IDC_STATIC_HUB1_SPEED, IDC_STATIC_HUB2_SPEED,
                                                   IDC_STATIC_HUB3_SPEED, IDC_STATIC_HUB4_SPEED,
                                                   IDC_STATIC_HUB5_SPEED};
constexpr int kHubVersionIds[app::kDialogHubRows] = {IDC_STATIC_HUB1_VERSION, IDC_STATIC_HUB2_VERSION,
                                                     IDC_STATIC_HUB3_VERSION, IDC_STATIC_HUB4_VERSION,
                                                     IDC_STATIC_HUB5_VERSION};
constexpr int kHubBarIds[app::kDialogHubRows] = {IDC_PROGRESS_HUB1, IDC_PROGRESS_HUB2, IDC_PROGRESS_HUB3,
                                                 IDC_PROGRESS_HUB4, IDC_PROGRESS_HUB5};

}  // namespace

int MainDialogWindow::HubLabelId(int row) { return kHubLabelIds[row]; }
int MainDialogWindow::HubSpeedId(int row) { return kHubSpeedIds[row]; }
int MainDialogWindow::HubVersionId(int row) { return kHubVersionIds[row]; }
int MainDialogWindow::HubBarId(int row) { return kHubBarIds[row]; }

MainDialogWindow::MainDialogWindow(HINSTANCE instance, app::CMy262FWUpgradeToolDlg& model,
                                   MainDialogHooks hooks)
    : DialogBase(instance, IDD_MY262FWUPGRADETOOL_DIALOG),
      model_(model),
      hooks_(std::move(hooks)),
      m_hIcon(::LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

MainDialogWindow::~MainDialogWindow() {
    if (m_fontResult) ::DeleteObject(m_fontResult);
}

BOOL MainDialogWindow::OnInitDialog() {
    {
        std::lock_guard<std::mutex> lock(postedLock_);
        uiWindow_ = hwnd();
        uiThreadId_ = ::GetCurrentThreadId();
    }
    // The bars are bound first, as data exchange binds them; the version
    // text 1004 shows the (empty) current-version string.
    m_progressMain.Attach(hwnd(), IDC_PROGRESS_MAIN);
    for (int row = 0; row < app::kDialogHubRows; ++row) m_progressHub[row].Attach(hwnd(), kHubBarIds[row]);
    ::SetDlgItemTextW(hwnd(), IDC_STATIC_CUR_VERSION, model_.m_strCurVersionText.c_str());

    // The About item of the system menu, and the icons.
    if (HMENU menu = ::GetSystemMenu(hwnd(), FALSE)) {
        wchar_t text[256] = {};
        if (::LoadStringW(instance(), IDS_ABOUTBOX, text, 256) > 0) {
            ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text);
        }
    }
    ::SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    if (hooks_.initDialog) return hooks_.initDialog();
    vSetupDialogControls();
    return TRUE;
}

void MainDialogWindow::vSetupDialogControls() {
    const std::wstring title = app::WindowTitle();
    ::SetWindowTextW(hwnd(), title.c_str());
    vDEBUG_MSG_printf(L"%s:%d: FWUpgToolVersion [%s], pFWUpdateDlg->g_strInitCmd=[%s]",
                      L"CMy262FWUpgradeToolDlg::OnInitDialog",
                      __LINE__, title, model_.g_strInitCmd);

    m_staticDeviceNumber.Attach(hwnd(), IDC_STATIC_DEVICE_NUMBER);
    m_staticDeviceNumber.SetTextColor(RGB(0, 0, 0));
    ::ShowWindow(::GetDlgItem(hwnd(), IDC_STATIC_WARNING), SW_HIDE);
    BindStatusStatic();
    m_staticStatus.StopTextBlink();
    ::SendMessageW(m_staticStatus.hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(m_fontResult), TRUE);

    auto setUpBar = [](HWND bar, bool text) {
        ::SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        ::SendMessageW(bar, PBM_SETSTEP, 1, 0);
        if (!text) ::SendMessageW(bar, widgets::PBM_SETSHOWTEXT, 0, 0);
        ::SendMessageW(bar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(app::kProgressBarColor));
    };
    setUpBar(m_progressMain.hwnd(), false);
    for (TextProgressWindow& bar : m_progressHub) setUpBar(bar.hwnd(), true);

    ::SetTimer(hwnd(), app::kUiTimerId, app::kUiTimerMs, nullptr);
}

ColorStaticWindow& MainDialogWindow::BindStatusStatic() {
    if (!m_staticStatus.hwnd()) m_staticStatus.Attach(hwnd(), IDC_STATIC_STATUS);
    return m_staticStatus;
}

void MainDialogWindow::SetResultFont(HFONT font) {
    const HFONT old = m_fontResult;
    m_fontResult = font;
    if (m_staticStatus.hwnd())
        ::SendMessageW(m_staticStatus.hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (old) ::DeleteObject(old);
}

bool MainDialogWindow::OnCommand(int id, int code, HWND control) {
    if (code != BN_CLICKED) return false;
    if (id == IDC_BUTTON_START) {
        if (hooks_.start) hooks_.start();
        return true;
    }
    if (id == IDC_BUTTON_OK) {
        OnBnClickedButtonOk();
        return true;
    }
    return false;
}

bool MainDialogWindow::OnSysCommand(UINT id, LPARAM lParam) {
    if (!app::IsAboutCommand(id)) return false;
    AboutDialog about(instance());
    about.DoModal(hwnd());
    return true;
}

bool MainDialogWindow::OnPaint() {
    if (!::IsIconic(hwnd())) return false;
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(hwnd(), &ps);
    ::SendMessageW(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT rc;
    ::GetClientRect(hwnd(), &rc);
    const int x = (rc.right - rc.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (rc.bottom - rc.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(hwnd(), &ps);
    return true;
}

void MainDialogWindow::OnWindowPosChanging(WINDOWPOS* pos) {
    if (pos && (model_.m_bSilentMode || model_.m_bConsoleMode))
        pos->flags = app::HiddenWindowPosFlags(pos->flags);
}

void MainDialogWindow::OnTimer(UINT_PTR id) {
    if (id == kRunEndTimerId) {
        if (!RunGoing()) GoOnAfterRun();
        return;
    }
    if (model_.OnTimer(id)) ::KillTimer(hwnd(), id);
}

void MainDialogWindow::WaitForRunEnd() {
    ::SetTimer(hwnd(), kRunEndTimerId, kRunEndTimerMs, nullptr);
}

void MainDialogWindow::GoOnAfterRun() {
    ::KillTimer(hwnd(), kRunEndTimerId);
    if (closePending_) {
        OnClose();
    } else if (okPending_) {
        okPending_ = false;
        OnBnClickedButtonOk();
    }
}

void MainDialogWindow::OnClose() {
    if (RunGoing()) {
        // The run first finishes its hubs and its clean-up; then the close goes on.
        closePending_ = true;
        WaitForRunEnd();
        vDEBUG_MSG_printf(L"%s:%d: OnClose: deferred until the run has ended", L"CMy262FWUpgradeToolDlg::OnClose",
                          __LINE__);
        return;
    }
    CloseNow();
}

void MainDialogWindow::CloseNow() {
    try {
        if (model_.m_pfnRemoveBinFiles) model_.m_pfnRemoveBinFiles();
    } catch (...) {
        vDEBUG_ERR_printf(L"%s:%d: OnClose: dwErrorCode %d", L"CMy262FWUpgradeToolDlg::OnClose", __LINE__,
                          static_cast<int>(::GetLastError()));
    }
    Finish(app::kCloseExitCode);
}

void MainDialogWindow::OnBnClickedButtonOk() {
    if (!::IsWindowEnabled(::GetDlgItem(hwnd(), IDC_BUTTON_OK))) return;
    if (RunGoing()) {
        okPending_ = true;
        WaitForRunEnd();
        return;
    }
    if (model_.m_pfnRemoveBinFiles) model_.m_pfnRemoveBinFiles();
    const int code = model_.m_iRet.load();
    vDEBUG_MSG_printf(L"%s:%d:  m_iRet[ %d]", L"CMy262FWUpgradeToolDlg::OnBnClickedButtonOk", __LINE__, code);
    Finish(code);
}

void MainDialogWindow::Finish(int exitCode) {
    ::KillTimer(hwnd(), app::kUiTimerId);
    ::KillTimer(hwnd(), kRunEndTimerId);
    exitCode_ = exitCode;
    EndDialog(IDOK);
}

void MainDialogWindow::SetRunGoing(bool going) {
    model_.m_bRunGoing = going;
    if (going) return;
    std::lock_guard<std::mutex> lock(postedLock_);
    if (HWND ui = uiWindow_.load()) ::PostMessageW(ui, kMsgRunEnded, 0, 0);
}

void MainDialogWindow::RequestExit(int code) {
    std::lock_guard<std::mutex> lock(postedLock_);
    if (HWND ui = uiWindow_.load()) ::PostMessageW(ui, kMsgExit, static_cast<WPARAM>(code), 0);
}

void MainDialogWindow::PostToUi(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(postedLock_);
        HWND ui = uiWindow_.load();
        if (!ui) return;
        if (::GetCurrentThreadId() != uiThreadId_) {
            const bool wake = posted_.empty();
            posted_.push_back(std::move(fn));
            if (wake) ::PostMessageW(ui, kMsgPosted, 0, 0);
            return;
        }
    }
    RunPosted();
    fn();
}

int MainDialogWindow::BarPos(int controlId) {
    HWND ui = uiWindow_.load();
    return ui ? static_cast<int>(::SendMessageW(ui, kMsgGetBarPos, static_cast<WPARAM>(controlId), 0)) : 0;
}

void MainDialogWindow::RunPosted() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(postedLock_);
        batch.swap(posted_);
    }
    for (auto& fn : batch) {
        if (!hwnd()) break;
        fn();
    }
}

bool MainDialogWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (msg) {
    case kMsgPosted:
        RunPosted();
        return true;
    case kMsgGetBarPos: {
        RunPosted();
        HWND bar = ::GetDlgItem(hwnd(), static_cast<int>(wParam));
        result = bar ? ::SendMessageW(bar, PBM_GETPOS, 0, 0) : 0;
        return true;
    }
    case kMsgExit:
        // The run has ended and asks the process to end; a close that
        // waited for it ends with its own code.
        if (closePending_) CloseNow();
        else Finish(static_cast<int>(static_cast<INT_PTR>(wParam)));
        return true;
    case kMsgRunEnded:
        if (!RunGoing()) GoOnAfterRun();
        return true;
    default:
        return false;
    }
}

void MainDialogWindow::OnDestroy() {
    std::lock_guard<std::mutex> lock(postedLock_);
    uiWindow_ = nullptr;
    posted_.clear();
}

}  // namespace platform::win32::dialog

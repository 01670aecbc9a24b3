// The main dialog on Win32 (template 102): shows the portable dialog state
// app::CMy262FWUpgradeToolDlg, owns the controls, the icon, the result font
// and timer 1, and carries control updates from any thread to the UI thread.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

#include "app/MainDialog.h"
#include "platform/win32/dialog/ColorStaticWindow.h"
#include "platform/win32/dialog/DialogBase.h"
#include "platform/win32/dialog/TextProgressWindow.h"

namespace platform::win32::dialog {

// What the rest of the application plugs into the dialog.
struct MainDialogHooks {
    // The initialisation of a run, inside WM_INITDIALOG after the controls
    // are bound, the About item added and the icons set. Without it the
    // dialog only runs its own set-up (vSetupDialogControls).
    std::function<BOOL()> initDialog;
    // BN_CLICKED of Start (1001).
    std::function<void()> start;
};

class MainDialogWindow : public DialogBase {
public:
    MainDialogWindow(HINSTANCE instance, app::CMy262FWUpgradeToolDlg& model, MainDialogHooks hooks);
    ~MainDialogWindow() override;

    // The process's exit code once the dialog has ended: m_iRet after OK,
    // 18 after a close, the run's code after an exit request.
    int exitCode() const { return exitCode_; }

    // The dialog's own set-up steps of the initialisation: the title, the
    // status controls and their colours, the bars and timer 1.
    void vSetupDialogControls();

    // Any thread: a run is going (Start until the run's clean-up has ended).
    // While it goes, closing (and OK) waits; when it ends, a waiting close
    // ends the dialog with 18.
    // (The flag is the model's m_bRunGoing, which the run may also set.)
    void SetRunGoing(bool going);
    bool RunGoing() const { return model_.m_bRunGoing.load(); }
    // Any thread: end the dialog with this exit code (unattended ends of a
    // run); a close that waited for the run wins with 18.
    void RequestExit(int code);
    // Any thread: run `fn` on the UI thread, after the updates posted before
    // it (on the UI thread itself: at once, after those). Dropped when the
    // dialog has ended.
    void PostToUi(std::function<void()> fn);
    // Any thread: the position of a bar, after the updates posted before.
    int BarPos(int controlId);
    // Any thread: the dialog's window while it exists, else null.
    HWND uiWindow() const { return uiWindow_.load(); }

    app::CMy262FWUpgradeToolDlg& model() { return model_; }
    TextProgressWindow& mainBar() { return m_progressMain; }
    TextProgressWindow& hubBar(int row) { return m_progressHub[row]; }
    ColorStaticWindow& statusStatic() { return m_staticStatus; }
    // UI thread: control 1003 bound to its colour static (done by the set-up,
    // or here when a result is shown before it).
    ColorStaticWindow& BindStatusStatic();
    ColorStaticWindow& deviceNumberStatic() { return m_staticDeviceNumber; }
    // The result font of the status text; the old one is deleted only after
    // the new one is in place.
    void SetResultFont(HFONT font);
    HICON icon() const { return m_hIcon; }

    // Control ids of hub row `row` (0..4).
    static int HubLabelId(int row);
    static int HubSpeedId(int row);
    static int HubVersionId(int row);
    static int HubBarId(int row);

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code, HWND control) override;
    void OnOK() override {}  // Enter never ends the dialog
    void OnCancel() override { OnClose(); }
    bool OnSysCommand(UINT id, LPARAM lParam) override;
    bool OnPaint() override;
    HICON OnQueryDragIcon() override { return m_hIcon; }
    void OnWindowPosChanging(WINDOWPOS* pos) override;
    void OnTimer(UINT_PTR id) override;
    void OnClose() override;
    void OnDestroy() override;
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnBnClickedButtonOk();
    // The close itself: the extracted firmware file goes, the dialog ends with 18.
    void CloseNow();
    void Finish(int exitCode);
    void RunPosted();
    void WaitForRunEnd();
    void GoOnAfterRun();

    app::CMy262FWUpgradeToolDlg& model_;
    MainDialogHooks hooks_;
    HICON m_hIcon;
    HFONT m_fontResult = nullptr;
    TextProgressWindow m_progressMain;
    TextProgressWindow m_progressHub[app::kDialogHubRows];
    ColorStaticWindow m_staticDeviceNumber;
    ColorStaticWindow m_staticStatus;

    int exitCode_ = 0;
    std::atomic<bool> closePending_{false};
    std::atomic<bool> okPending_{false};
    std::atomic<HWND> uiWindow_{nullptr};
    DWORD uiThreadId_ = 0;
    std::mutex postedLock_;
    std::deque<std::function<void()>> posted_;
};

}  // namespace platform::win32::dialog

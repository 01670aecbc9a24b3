// Runs the main dialog on a UI thread of its own so a test can drive it from
// outside, as the run's threads do, and look at it on the screen.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "app/MainDialog.h"
#include "platform/win32/dialog/MainDialogWindow.h"
#include "platform/win32/dialog/Win32RunView.h"

namespace dialogtest {

using platform::win32::dialog::MainDialogHooks;
using platform::win32::dialog::MainDialogWindow;
using platform::win32::dialog::Win32RunView;

// Polls `done` every 20 ms for up to `ms` milliseconds.
bool WaitFor(const std::function<bool()>& done, int ms = 10000);

class DialogRun {
public:
    // `prepare` runs on the UI thread before the dialog is created.
    explicit DialogRun(std::function<void(app::CMy262FWUpgradeToolDlg&)> prepare = {},
                       MainDialogHooks hooks = {});
    ~DialogRun();

    // The dialog's window once WM_INITDIALOG has run (null until then).
    HWND hwnd() const { return hwnd_.load(); }
    MainDialogWindow& window() { return *window_; }
    // The run's view on this dialog (the model's m_pRunView).
    Win32RunView& view() { return *view_; }
    app::CMy262FWUpgradeToolDlg& model() { return model_; }
    // Waits until the dialog has ended; its exit code, or -999 on time-out.
    int WaitForExit(int ms = 10000);
    bool Ended() const { return ended_.load(); }
    // Runs `fn` on the UI thread and waits for it.
    void OnUi(const std::function<void()>& fn);

private:
    app::CMy262FWUpgradeToolDlg model_;
    std::unique_ptr<MainDialogWindow> window_;
    std::unique_ptr<Win32RunView> view_;
    std::atomic<HWND> hwnd_{nullptr};
    std::atomic<bool> ended_{false};
    std::atomic<int> exitCode_{-999};
    std::thread ui_;
};

// A copy of the screen's pixels of a window (in screen coordinates).
class Screenshot {
public:
    explicit Screenshot(HWND window);
    ~Screenshot();
    // The colour at a point of `control`'s client area; CLR_INVALID outside.
    COLORREF At(HWND control, int x, int y) const;
    // How many pixels of `control`'s client area have exactly this colour.
    int Count(HWND control, COLORREF color) const;
    // Writes the picture as a 24-bit BMP file (for looking at a failure).
    bool SaveBmp(const char* path) const;

private:
    RECT rect_{};
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
};

}  // namespace dialogtest

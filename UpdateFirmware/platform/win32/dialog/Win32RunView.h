// The run's view on the Win32 main dialog. Control changes are carried to
// the UI thread with owned copies of their texts (a caller never waits for
// the UI thread); message boxes are modal on the calling thread; the /DOS
// console output goes straight to standard output.
#pragma once

#include <mutex>

#include "app/RunView.h"
#include "platform/win32/dialog/MainDialogWindow.h"

namespace platform::win32::dialog {

class Win32RunView final : public app::RunView {
public:
    explicit Win32RunView(MainDialogWindow& dialog) : dialog_(dialog) {}

    int MessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t flags) override;
    void SetStatusText(const std::wstring& text, app::COLORREF colour, int fontHeight) override;
    void SetControlText(int controlId, const std::wstring& text) override;
    void ShowControl(int controlId, bool show) override;
    void EnableControl(int controlId, bool enable) override;
    void SetBarPos(int controlId, int pos) override;
    int GetBarPos(int controlId) override;
    void SetBarRange(int controlId, int lo, int hi) override;
    void SetBarColour(int controlId, app::COLORREF colour) override;
    void PrepareForPrompt() override;
    void ConsolePrint(const std::wstring& text) override;
    void ConsoleFocus() override;
    void RequestExit(int exitCode) override;

private:
    // A control update on the UI thread; id 0 (a row the dialog does not
    // have) is ignored.
    void SendToControl(int controlId, UINT msg, WPARAM wParam, LPARAM lParam);

    MainDialogWindow& dialog_;
    std::mutex consoleLock_;
};

}  // namespace platform::win32::dialog

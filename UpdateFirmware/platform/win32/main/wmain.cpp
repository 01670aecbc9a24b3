// Entry point of 262FWUpgradeTool.exe (console subsystem, -municode).
//
// The process-wide objects are built here, explicitly and in a fixed order,
// on the main thread, and torn down in the reverse order when wmain returns:
// first the ports, then the hub utility (its constructor creates the debug
// log's lock, makes the program's directory current and, on 64-bit Windows,
// turns file-system redirection off for this thread), then the application:
// the common controls, the dialog's state with its command text, and the
// modal dialog, whose end gives the exit code.
#include "app/DialogFrame.h"
#include "app/MainDialog.h"
#include "hubaccess/HubUtility.h"
#include "platform/win32/Win32Ports.h"
#include "platform/win32/dialog/MainDialogWindow.h"
#include "platform/win32/dialog/Win32RunView.h"

#include <commctrl.h>

namespace {

// How long the end of the process waits for a run to let go of its state.
constexpr int kRunWindDownMs = 5000;

int InitInstance() {
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = 0xFF;
    ::InitCommonControlsEx(&icc);

    app::CMy262FWUpgradeToolDlg dialogState;
    app::pFWUpdateDlg = &dialogState;
    dialogState.g_strInitCmd += app::BuildCommandText(::GetCommandLineW());

    platform::win32::dialog::MainDialogWindow dialog(::GetModuleHandleW(nullptr), dialogState, {});
    platform::win32::dialog::Win32RunView view(dialog);
    dialogState.m_pRunView = &view;
    dialog.DoModal();
    const int exitCode = dialog.exitCode();
    // A run that asked for the end winds down at once; its state and the hub
    // utility are destroyed only after it has let go of them.
    for (int waited = 0; dialogState.m_bRunGoing && waited < kRunWindDownMs; waited += 50) ::Sleep(50);
    dialogState.m_pRunView = nullptr;
    app::pFWUpdateDlg = nullptr;
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    (void)argc;
    (void)argv;
    platform::win32::Win32Ports win32;
    const platform::Ports ports = win32.Ports();

    hubaccess::CHubUtility utility(ports);
    hubaccess::pUtility = &utility;

    const int exitCode = InitInstance();

    hubaccess::pUtility = nullptr;
    return exitCode;
}

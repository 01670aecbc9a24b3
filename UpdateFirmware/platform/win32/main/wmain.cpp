// Entry point of 262FWUpgradeTool.exe (console subsystem, -municode).
//
// The DLL search is limited to the system folder first of all. The
// process-wide objects are built here, explicitly and in a fixed order,
// on the main thread, and torn down in the reverse order when wmain returns:
// first the ports, then the hub utility (its constructor creates the debug
// log's lock, makes the program's directory current and, on 64-bit Windows,
// turns file-system redirection off for this thread), then the application:
// the common controls, the dialog's state with its command text, the
// payload and the run's clean-up, and the modal dialog, whose
// initialisation prepares and starts the run and whose end gives the exit
// code. Whatever way the process leaves, what it extracted is removed last.
// While a thread of the run may still be running when the dialog has ended,
// nothing is torn down: the process terminates itself instead.
#include "app/DialogFrame.h"
#include "app/Ini.h"
#include "app/MainDialog.h"
#include "app/Payload.h"
#include "app/RunCleanup.h"
#include "app/RunInit.h"
#include "app/RunResults.h"
#include "app/Switches.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "platform/win32/SystemLibraries.h"
#include "platform/win32/Win32Ports.h"
#include "platform/win32/dialog/MainDialogWindow.h"
#include "platform/win32/dialog/Win32RunView.h"

#include <commctrl.h>

#include <cstdlib>

namespace {

// How long the end of the process waits for a run to let go of its state.
constexpr int kRunWindDownMs = 5000;

// What the initialisation asks of the Win32 dialog.
class DialogInitServices : public app::RunInitServices {
public:
    DialogInitServices(platform::win32::dialog::MainDialogWindow& dialog, app::CPayload& payload,
                       platform::Console& console)
        : dialog_(dialog), payload_(payload), console_(console) {}

    hubaccess::BOOL vExtractBinFiles() override { return payload_.vExtractBinFiles(); }
    void HideDialog() override { ::ShowWindow(dialog_.hwnd(), SW_HIDE); }
    void vOpenConsoleWindow() override { app::vOpenConsoleWindow(console_); }
    void vSetupDialogControls() override { dialog_.vSetupDialogControls(); }
    void SendStart() override {
        ::SendMessageW(dialog_.hwnd(), WM_COMMAND, MAKEWPARAM(app::kIdButtonStart, BN_CLICKED), 0);
    }

private:
    platform::win32::dialog::MainDialogWindow& dialog_;
    app::CPayload& payload_;
    platform::Console& console_;
};

int InitInstance(hubaccess::CHubUtility& utility) {
    platform::win32::InitCommonControlsFromSystem(0xFF);

    app::CMy262FWUpgradeToolDlg dialogState;
    app::pFWUpdateDlg = &dialogState;
    dialogState.g_strInitCmd += app::BuildCommandText(::GetCommandLineW());

    app::CPayload payload(utility, dialogState);
    app::pPayload = &payload;
    dialogState.m_pfnRemoveBinFiles = [&payload] { payload.vRemoveBinFiles(); };
    app::PayloadRunCleanup cleanup(utility, payload);
    dialogState.m_pRunCleanup = &cleanup;

    // The hooks reach the services, which need the dialog: bound once both exist.
    DialogInitServices* services = nullptr;
    platform::win32::dialog::MainDialogHooks hooks;
    hooks.initDialog = [&]() -> BOOL {
        return app::OnInitDialogRun(dialogState, utility, payload, app::g_Ini, *services);
    };
    hooks.start = [&dialogState] { dialogState.OnBnClickedButtonStart(); };
    platform::win32::dialog::MainDialogWindow dialog(::GetModuleHandleW(nullptr), dialogState, std::move(hooks));
    DialogInitServices initServices(dialog, payload, *utility.Ports().console);
    services = &initServices;
    platform::win32::dialog::Win32RunView view(dialog);
    dialogState.m_pRunView = &view;
    // A dialog that cannot be created (no window station or display, a
    // missing template) runs nothing: that is a failed start-up, never 0.
    const INT_PTR modal = dialog.DoModal();
    int exitCode = dialog.exitCode();
    if (modal == -1) {
        vDEBUG_ERR_printf(L"%s:%d: DialogBoxParamW failed, dwErrorCode %d", L"CMy262FWUpgradeToolApp::InitInstance",
                          __LINE__, static_cast<unsigned long>(::GetLastError()));
        exitCode = app::kExitExtraFiles;
    }
    // A run that asked for the end winds down at once; its state and the hub
    // utility are destroyed only after it has let go of them.
    for (int waited = 0; dialogState.m_bRunGoing && waited < kRunWindDownMs; waited += 50) ::Sleep(50);
    app::vRemoveProcessFiles(utility, payload, app::g_Ini,
                             dialogState.m_bRunGoing.load() || dialogState.m_bWorkerLeftRunning.load());
    // A thread of the run still running (a worker left behind, or the run
    // itself) may use anything here: nothing is destroyed, the process ends
    // itself where it stands.
    if (dialogState.bTerminateIfRunThreadsLeft(*utility.Ports().processes, exitCode)) {
        ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitCode));
        std::_Exit(exitCode);
    }
    dialogState.m_pRunView = nullptr;
    dialogState.m_pRunCleanup = nullptr;
    dialogState.m_pfnRemoveBinFiles = nullptr;
    app::pPayload = nullptr;
    app::pFWUpdateDlg = nullptr;
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    (void)argc;
    (void)argv;
    // Before anything can load a DLL: only the system folder is searched.
    platform::win32::LimitDllSearch();
    platform::win32::Win32Ports win32;
    const platform::Ports ports = win32.Ports();

    hubaccess::CHubUtility utility(ports);
    hubaccess::pUtility = &utility;

    const int exitCode = InitInstance(utility);

    hubaccess::pUtility = nullptr;
    return exitCode;
}

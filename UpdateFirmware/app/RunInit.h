// The initialisation of a run, done by the main dialog's OnInitDialog on the
// UI thread: the embedded INI's values into the hub utility's filters, the
// switches, the dialog's controls, the single-instance rule, the console of
// /DOS, devcon, the default register table, the filter driver's check and
// installation, and the Start that begins every run on its own.
//
// Every way out of the initialisation removes what this process extracted
// (INI, firmware image, devcon, driver package files). An exit with -20
// after this process installed the filter driver also uninstalls it again,
// unless /UN keeps it.
#pragma once

#include <string>

#include "app/Ini.h"
#include "app/MainDialog.h"
#include "app/Payload.h"
#include "app/Switches.h"
#include "hubaccess/HubUtility.h"

namespace app {

// What the initialisation needs of the dialog window besides the run view.
class RunInitServices : public SwitchServices {
public:
    // The dialog's own set-up: the window title (logged with the command
    // text), the status controls, the progress bars and timer 1.
    virtual void vSetupDialogControls() = 0;
    // Sends the dialog WM_COMMAND 1001 / BN_CLICKED: the run starts.
    virtual void SendStart() = 0;
};

// The filter driver's file version the run needs.
constexpr wchar_t kRequiredDriverVersion[] = L"1.0.7.0";
// The exit code of another copy of the tool that the single-instance rule
// ends.
constexpr int kKilledInstanceExitCode = -9;

// "<system directory>\drivers\revodereriri.sys".
std::wstring FilterDriverFilePath(const std::wstring& systemDirectory);
// The console banner of /DOS.
std::wstring ConsoleBanner();

// OnInitDialog's run initialisation. TRUE after a complete initialisation
// (the run has been started); -5 when the INI could not be loaded (the
// process is asked to end with -5). Other fatal failures ask the view to end
// the process and return TRUE.
int OnInitDialogRun(CMy262FWUpgradeToolDlg& dlg, hubaccess::CHubUtility& utility, CPayload& payload, Ini& ini,
                    RunInitServices& services);

// The last clean-up of the process: what this process extracted (firmware
// image, devcon, driver package files) and the INI file. With
// bRunThreadsLeft (a thread of the run is still running) the INI file only.
void vRemoveProcessFiles(hubaccess::CHubUtility& utility, CPayload& payload, Ini& ini,
                         bool bRunThreadsLeft = false);

}  // namespace app

@echo off
rem Uninstall batch of the placeholder driver package of 262FWUpgradeTool
rem test builds: runs the INF's DefaultUninstall, which deletes only the
rem marker key of the package. On 64-bit Windows the 64-bit rundll32 runs it;
rem the batch waits for it, so its caller sees the package uninstalled. The
rem installer takes the rest of its line as the INF path, blanks included,
rem and no quotes.
setlocal
set batfiledirectory=%~dp0
set rundll=%windir%\System32\rundll32.exe
if exist "%windir%\Sysnative\rundll32.exe" set rundll=%windir%\Sysnative\rundll32.exe
start "" /wait "%rundll%" SETUPAPI.DLL,InstallHinfSection DefaultUninstall 132 %batfiledirectory%revodereriri.inf
endlocal

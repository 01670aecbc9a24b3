/* A library put into the system folder that imports a DLL found only outside
 * it (fwtool-probe-dependency.dll): it loads only when the search for what it
 * imports goes on to the current directory or PATH. */
__declspec(dllimport) int FwSearchProbeDependency(void);

__declspec(dllexport) int FwSearchProbe(void) { return FwSearchProbeDependency(); }

/* A DLL that only a search outside the system folder finds: the system
 * library probe imports it. */
__declspec(dllexport) int FwSearchProbeDependency(void) { return 7; }

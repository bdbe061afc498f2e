/* lmxabsent.dll: a library that is never installed anywhere. The
   missing-import monitor variant imports LmxAbsentProbe from it, so the
   loader cannot resolve that monitor (ERROR_MOD_NOT_FOUND) and AddMonitorW
   fails with 126, as with a real monitor whose runtime DLL is missing. */
#include <windows.h>

__declspec(dllexport) int __cdecl LmxAbsentProbe(void) { return 1; }

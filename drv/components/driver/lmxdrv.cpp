// lmxdrv64.dll: the printer driver file of "Loomscribe printer", also named
// as the driver's data file. The spooler stages it with the driver and keeps
// it in the driver directory; the product's rendering happens elsewhere, so
// the file carries its version resource and an entry point.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

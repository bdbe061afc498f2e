#include "files/files.h"
#include "session/session.h"
const wchar_t kEnvironmentX64[] = L"Windows x64";
const wchar_t kMonitorFile64[] = L"lmxmon64.dll";
const wchar_t kDriverFile64[] = L"lmxdrv64.dll";
const wchar_t kUiFile64[] = L"lmxui64.dll";
const wchar_t kHelpFile[] = L"lmxhelp.chm";
const wchar_t kMonitorFile32[] = L"lmxmon32.dll";
const wchar_t kDriverFile32[] = L"lmxdrv32.dll";
const wchar_t kUiFile32[] = L"lmxui32.dll";
void SetPlatformFiles(InstallSession&) {}  // TODO(stub)

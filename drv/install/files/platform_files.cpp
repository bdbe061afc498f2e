#include <cwchar>

#include "files/files.h"
#include "platform/platform.h"
#include "session/session.h"

const wchar_t kEnvironmentX64[] = L"Windows x64";
const wchar_t kMonitorFile32[] = L"lmxmon32.dll";
const wchar_t kDriverFile32[] = L"lmxdrv32.dll";
const wchar_t kUiFile32[] = L"lmxui32.dll";

namespace {

// The spooler's driver directory for "Windows x64", ending in a backslash.
// Returns false, with the failing call's last error, when it cannot be had.
bool FetchDriverDirectory(WideBuffer& directory) {
  LPWSTR environment = const_cast<LPWSTR>(kEnvironmentX64);
  DWORD needed = 0;
  if (!Os().GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed) &&
      Os().GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;

  // Two bytes more than reported, zero-filled: the text is terminated even
  // when the spooler fills the whole reported size without a terminator.
  const SIZE_T bytes = static_cast<SIZE_T>(needed) + 2;
  auto* text = static_cast<wchar_t*>(Os().HeapAlloc(Os().GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
  if (!text) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  bool ok = Os().GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<LPBYTE>(text),
                                           needed, &needed) != FALSE;
  DWORD error = Os().GetLastError();
  if (ok) {
    size_t length = wcsnlen(text, bytes / sizeof(wchar_t));
    if (!Assign(directory, text) ||
        (length > 0 && text[length - 1] != L'\\' && !Append(directory, L"\\"))) {
      Release(directory);
      error = ERROR_NOT_ENOUGH_MEMORY;
      ok = false;
    }
  }
  Os().HeapFree(Os().GetProcessHeap(), 0, text);
  Os().SetLastError(error);
  return ok;
}

}  // namespace

void SetPlatformFiles(InstallSession& session) {
  session.Environment = kEnvironmentX64;
  session.MonitorFile = kMonitorFile64;
  session.DriverFile = kDriverFile64;
  session.UiFile = kUiFile64;
  Release(session.DriverDirectory);
  if (!FetchDriverDirectory(session.DriverDirectory)) {
    Release(session.DriverDirectory);
    LogDriverDirectoryUnknown(session);
  }
  session.HelpFile = kHelpFile;
}

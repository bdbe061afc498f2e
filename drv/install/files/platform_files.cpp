#include <cwchar>

#include "files/files.h"
#include "platform/platform.h"
#include "platform/sized_call.h"
#include "session/session.h"

const wchar_t kEnvironmentX64[] = L"Windows x64";

namespace {

// The spooler's driver directory for "Windows x64", ending in a backslash.
// Returns false, with the failing call's last error, when it cannot be had.
bool FetchDriverDirectory(WideBuffer& directory) {
  LPWSTR environment = const_cast<LPWSTR>(kEnvironmentX64);
  // A size query that answers without a buffer is read into one all the same.
  auto query = [environment](LPBYTE buffer, DWORD bytes, DWORD* needed) -> BOOL {
    BOOL ok = Os().GetPrinterDriverDirectoryW(nullptr, environment, 1, buffer, bytes, needed);
    if (buffer || !ok) return ok;
    Os().SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  };
  // Two bytes more than reported, zero-filled: the text is terminated even
  // when the spooler fills the whole reported size without a terminator.
  UniqueHeap<wchar_t> text;
  auto allocate = [&text](DWORD reported) -> LPBYTE {
    text.reset(static_cast<wchar_t*>(Os().HeapAlloc(Os().GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                    static_cast<SIZE_T>(reported) + 2)));
    if (!text) Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return reinterpret_cast<LPBYTE>(text.get());
  };
  DWORD size = 0;
  DWORD needed = 0;
  SizedCall step = CallWithNeededSize(query, allocate, size, needed);
  if (step != SizedCall::kFilled && step != SizedCall::kFailed) return false;

  bool ok = step == SizedCall::kFilled;
  DWORD error = Os().GetLastError();
  if (ok) {
    const SIZE_T bytes = static_cast<SIZE_T>(size) + 2;
    size_t length = wcsnlen(text.get(), bytes / sizeof(wchar_t));
    if (!Assign(directory, text.get()) ||
        (length > 0 && text.get()[length - 1] != L'\\' && !Append(directory, L"\\"))) {
      Release(directory);
      error = ERROR_NOT_ENOUGH_MEMORY;
      ok = false;
    }
  }
  text.reset();
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

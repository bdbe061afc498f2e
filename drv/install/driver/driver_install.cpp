#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "driver/driver.h"
#include "files/files.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

constexpr size_t kStagedPathChars = 264;
constexpr DWORD kCompareBytes = 8192;

bool Staged(InstallSession& session, const wchar_t* fileName, wchar_t* path) {
  path[0] = L'\0';
  return CopyComponentFile(session, Text(session.DriverDirectory), fileName ? fileName : L"", path,
                           kStagedPathChars, true) == S_OK;
}

const wchar_t* FileName(const wchar_t* path) {
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

// Whether the two files hold the same bytes. The installed copy may be
// loaded by the spooler already, so it is read with every sharing allowed.
bool SameBytes(const wchar_t* staged, const wchar_t* installed) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  UniqueFile a(Os().CreateFileW(staged, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!a) return false;
  UniqueFile b(Os().CreateFileW(installed, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!b) return false;
  BY_HANDLE_FILE_INFORMATION infoA = {}, infoB = {};
  if (!Os().GetFileInformationByHandle(a.get(), &infoA) ||
      !Os().GetFileInformationByHandle(b.get(), &infoB))
    return false;
  if (infoA.nFileSizeLow != infoB.nFileSizeLow || infoA.nFileSizeHigh != infoB.nFileSizeHigh) {
    Os().SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  BYTE blockA[kCompareBytes], blockB[kCompareBytes];
  for (;;) {
    DWORD readA = 0, readB = 0;
    if (!Os().ReadFile(a.get(), blockA, kCompareBytes, &readA, nullptr) ||
        !Os().ReadFile(b.get(), blockB, kCompareBytes, &readB, nullptr))
      return false;
    if (readA != readB || memcmp(blockA, blockB, readA) != 0) {
      Os().SetLastError(ERROR_FILE_CORRUPT);
      return false;
    }
    if (readA == 0) return true;
  }
}

// Whether `path`, a file the registered record names, lies directly in the
// version folder and holds the bytes of the staged copy of the same name.
bool InPlace(const WideBuffer& folder, const wchar_t* path, const wchar_t* const* staged,
             int stagedCount) {
  const size_t length = static_cast<size_t>(Length(folder));
  if (wcslen(path) <= length || !PathBeginsWith(path, Text(folder), length) ||
      wcschr(path + length, L'\\') != nullptr) {
    Os().SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  for (int i = 0; i < stagedCount; ++i)
    if (*staged[i] && SamePathText(FileName(staged[i]), path + length))
      return SameBytes(staged[i], path);
  Os().SetLastError(ERROR_FILE_NOT_FOUND);
  return false;
}

}  // namespace

// Wine's AddPrinterDriverExW reports success even when a copy into its store
// failed (a full or read-only disk), whatever the flags. The driver is only
// in place when every file its registered record names lies in its version
// folder, whole: the same size and bytes as the staged copy. A file that is
// not logs its path.
bool DriverFilesInPlace(InstallSession& session, const wchar_t* const* staged, int stagedCount) {
  DriverList drivers;
  ListDrivers(drivers, session.Environment);
  int32_t index = FindProductDriver(drivers);
  bool ok = index >= 0;
  if (!ok) Os().SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
  if (ok) {
    const DRIVER_INFO_6W& record = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.buffer)[index];
    wchar_t version[16];
    _snwprintf_s(version, 16, _TRUNCATE, L"%u\\", static_cast<unsigned>(record.cVersion));
    WideBuffer folder = CopyBuffer(session.DriverDirectory);
    ok = Length(folder) > 0 && Append(folder, version);
    auto check = [&](const wchar_t* path) {
      if (!ok || !path || !*path || InPlace(folder, path, staged, stagedCount)) return;
      DWORD error = Os().GetLastError();
      LogLine(session, L"Driver file not in place: %s", path);
      Os().SetLastError(error);
      ok = false;
    };
    for (const wchar_t* path : {record.pDriverPath, record.pDataFile, record.pConfigFile,
                                record.pHelpFile})
      check(path);
    for (const wchar_t* path = record.pDependentFiles; path && *path; path += wcslen(path) + 1)
      check(path);
  }
  FreeDriverList(drivers);
  return ok;
}

bool AddDriverRecord(DRIVER_INFO_6W* record) {
  return Os().AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(record),
                                  APD_COPY_ALL_FILES) != FALSE;
}

void InstallPrinterDriver(InstallSession& session) {
  LogSection section(session, L">Add Printer Driver");

  wchar_t driverPath[kStagedPathChars];
  wchar_t uiPath[kStagedPathChars];
  wchar_t helpPath[kStagedPathChars];
  // The driver and its configuration file are required; the help file is not.
  if (!Staged(session, session.DriverFile, driverPath) ||
      !Staged(session, session.UiFile, uiPath))
    return;
  if (!Staged(session, session.HelpFile, helpPath)) helpPath[0] = L'\0';

  DRIVER_INFO_6W record = {};
  record.cVersion = 3;
  record.pName = const_cast<LPWSTR>(kProductDriver);
  record.pEnvironment = const_cast<LPWSTR>(session.Environment);
  record.pDriverPath = driverPath;
  record.pDataFile = driverPath;  // the driver is its own data file
  record.pConfigFile = uiPath;
  record.pHelpFile = helpPath;
  record.pszMfgName = const_cast<LPWSTR>(kDriverMaker);
  record.pszOEMUrl = const_cast<LPWSTR>(kMakerUrl);
  record.pszProvider = const_cast<LPWSTR>(kDriverMaker);

  const wchar_t* const staged[] = {driverPath, uiPath, helpPath};
  if (AddDriverRecord(&record) && DriverFilesInPlace(session, staged, 3)) {
    session.DriverReady = 1;
    LogLine(session, L"OK :)");
  } else {
    LogDriverInstallFailed(session);
  }

  // The spooler has copied the files into its own store (APD_COPY_ALL_FILES):
  // the staged copies are not needed any more.
  for (const wchar_t* path : staged)
    if (*path && !Os().DeleteFileW(path)) AddPendingDelete(session.PendingDeletes, path);
}

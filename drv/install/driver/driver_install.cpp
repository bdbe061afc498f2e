#include "driver/driver.h"
#include "files/files.h"
#include "platform/platform.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

constexpr size_t kStagedPathChars = 264;

wchar_t kMakerUrl[] = L"https://www.tamarel.example/";

bool Staged(InstallSession& session, const wchar_t* fileName, wchar_t* path) {
  path[0] = L'\0';
  return CopyComponentFile(session, Text(session.DriverDirectory), fileName ? fileName : L"", path,
                           kStagedPathChars, true) == S_OK;
}

}  // namespace

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
  record.pszOEMUrl = kMakerUrl;
  record.pszProvider = const_cast<LPWSTR>(kDriverMaker);

  if (AddDriverRecord(&record)) {
    LogLine(session, L"OK :)");
    session.DriverReady = 1;
  } else
    LogDriverInstallFailed(session);

  // The spooler has copied the files into its own store (APD_COPY_ALL_FILES):
  // the staged copies are not needed any more.
  const wchar_t* const staged[] = {driverPath, uiPath, helpPath};
  for (const wchar_t* path : staged)
    if (*path && !Os().DeleteFileW(path)) AddPendingDelete(&session.PendingDeletes, path);
}

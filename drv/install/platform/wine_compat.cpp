// Wine compatibility of the real seam (see platform.h). Everything here runs
// only when ntdll exports wine_get_version; on Windows the entries in the real
// table are winspool.drv's own.
#include "platform/platform.h"

#include <cwchar>
#include <string>
#include <vector>

bool RunningOnWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

WineCompat& CurrentWineCompat() {
  static WineCompat compat{};
  return compat;
}

HANDLE WINAPI CompatAddPrinterW(LPWSTR server, DWORD level, LPBYTE printer) {
  const WineCompat& compat = CurrentWineCompat();
  if (compat.active && level == 2 && printer) {
    // Wine keeps no "Datatype" for a printer added without one and then fails
    // every OpenPrinter on it with 1801. Give it WinPrint's default instead;
    // the caller's record stays as it was.
    PRINTER_INFO_2W info = *reinterpret_cast<PRINTER_INFO_2W*>(printer);
    if (!info.pDatatype) {
      static wchar_t raw[] = L"RAW";
      info.pDatatype = raw;
      return compat.addPrinter(server, level, reinterpret_cast<LPBYTE>(&info));
    }
  }
  return compat.addPrinter(server, level, printer);
}

namespace {

// The files a driver record names: driver, data, configuration and help file
// and the dependent files.
std::vector<std::wstring> FilesOf(const DRIVER_INFO_3W& r) {
  std::vector<std::wstring> files;
  for (LPWSTR path : {r.pDriverPath, r.pDataFile, r.pConfigFile, r.pHelpFile})
    if (path && *path) files.emplace_back(path);
  for (LPWSTR dep = r.pDependentFiles; dep && *dep; dep += std::wcslen(dep) + 1)
    files.emplace_back(dep);
  return files;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The files of `driver`, each with whether another driver of the
// environment names it too; read before the driver goes.
struct DriverFileUse {
  std::wstring path;
  bool shared = false;
};

std::vector<DriverFileUse> DriverFiles(const WineCompat& compat, LPWSTR server,
                                       LPWSTR environment, LPCWSTR driver) {
  std::vector<DriverFileUse> files;
  DWORD needed = 0, count = 0;
  if (compat.enumPrinterDrivers(server, environment, 3, nullptr, 0, &needed, &count) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
    return files;
  std::vector<BYTE> block(needed);
  if (!compat.enumPrinterDrivers(server, environment, 3, block.data(), needed, &needed, &count))
    return files;
  auto* records = reinterpret_cast<DRIVER_INFO_3W*>(block.data());
  std::vector<std::wstring> others;
  for (DWORD i = 0; i < count; ++i) {
    const DRIVER_INFO_3W& r = records[i];
    bool ours = r.pName && std::wcscmp(r.pName, driver) == 0;
    for (std::wstring& file : FilesOf(r)) {
      if (ours) files.push_back({file, false});
      else others.push_back(file);
    }
  }
  for (DriverFileUse& file : files)
    for (const std::wstring& other : others) file.shared = file.shared || SameFile(file.path, other);
  return files;
}

}  // namespace

BOOL WINAPI CompatDeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driver,
                                         DWORD deleteFlags, DWORD versionFlags) {
  const WineCompat& compat = CurrentWineCompat();
  if (!compat.active || deleteFlags == 0 || !driver)
    return compat.deletePrinterDriverEx(server, environment, driver, deleteFlags, versionFlags);

  // Wine answers any delete flag with ERROR_INVALID_PARAMETER, and with 0 it
  // removes the record but not the files: do the file part here, as Windows
  // does it. Windows refuses DPD_DELETE_ALL_FILES, deleting nothing, while
  // another driver names one of the files; DPD_DELETE_UNUSED_FILES leaves
  // those files and deletes the others.
  std::vector<DriverFileUse> files = DriverFiles(compat, server, environment, driver);
  if (deleteFlags & DPD_DELETE_ALL_FILES) {
    for (const DriverFileUse& file : files) {
      if (!file.shared) continue;
      ::SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
      return FALSE;
    }
  }
  if (!compat.deletePrinterDriverEx(server, environment, driver, 0, versionFlags)) return FALSE;
  if (deleteFlags & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES))
    for (const DriverFileUse& file : files)
      if (!file.shared) compat.deleteFile(file.path.c_str());
  ::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

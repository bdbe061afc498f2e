#include "support/wine_spooler.h"

#include <winspool.h>

#include <algorithm>

#include "platform/platform.h"
#include "support/test_util.h"

namespace winespool {

const wchar_t kPort[] = L"Loomscribe:";
const wchar_t kDriver[] = L"Loomscribe printer";
const wchar_t kEnvironment[] = L"Windows x64";

namespace {

const wchar_t* const kDriverFiles[] = {L"lmxdrv64.dll", L"lmxui64.dll", L"lmxhelp.chm"};

std::wstring WithSlash(std::wstring path) {
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring Text(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

// The files the spooler keeps for the driver (paths as it reports them).
std::vector<std::wstring> DriverFilePaths() {
  std::vector<std::wstring> files;
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return ::EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(kEnvironment), 3, data, size,
                                     needed, returned);
      },
      &count);
  auto* drivers = reinterpret_cast<DRIVER_INFO_3W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    if (Text(drivers[i].pName) != kDriver) continue;
    for (const wchar_t* path : {drivers[i].pDriverPath, drivers[i].pDataFile,
                                drivers[i].pConfigFile, drivers[i].pHelpFile})
      if (path && *path) files.push_back(path);
  }
  return files;
}

}  // namespace

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::wstring SystemDirectoryPath() {
  wchar_t path[MAX_PATH] = {};
  UINT n = ::GetSystemDirectoryW(path, MAX_PATH);
  return n && n < MAX_PATH ? WithSlash(path) : std::wstring();
}

std::wstring DriverDirectory() {
  wchar_t path[MAX_PATH] = {};
  DWORD needed = 0;
  if (!::GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(kEnvironment), 1,
                                    reinterpret_cast<BYTE*>(path), sizeof(path), &needed))
    return {};
  return WithSlash(path);
}

bool InstallProductMonitor() {
  std::wstring source = testutil::ProductX64Directory() + L"\\lmxmon64.dll";
  std::wstring target = SystemDirectoryPath() + L"lmxmon64.dll";
  if (!::CopyFileW(source.c_str(), target.c_str(), FALSE)) return false;
  MONITOR_INFO_2W info = {};
  info.pName = const_cast<LPWSTR>(kPort);
  info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
  info.pDLLName = const_cast<LPWSTR>(L"lmxmon64.dll");
  return ::AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info)) != FALSE;
}

DRIVER_INFO_6W DriverRecord(const wchar_t* name, std::wstring& driverPath, std::wstring& uiPath,
                            std::wstring& helpPath) {
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = const_cast<LPWSTR>(name);
  info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
  info.pDriverPath = &driverPath[0];
  info.pDataFile = &driverPath[0];
  info.pConfigFile = &uiPath[0];
  info.pHelpFile = helpPath.empty() ? nullptr : &helpPath[0];
  return info;
}

bool AddDriverFrom(const std::wstring& name, const StagedFile& driver, const StagedFile& ui,
                   const StagedFile& help) {
  std::wstring directory = DriverDirectory();
  if (directory.empty()) return false;
  std::vector<std::wstring> staged;
  bool copied = true;
  for (const StagedFile* file : {&driver, &ui, &help}) {
    if (file->source.empty()) {
      staged.emplace_back();
      continue;
    }
    staged.push_back(directory + file->name);
    copied = copied && ::CopyFileW(file->source.c_str(), staged.back().c_str(), FALSE);
  }
  BOOL ok = FALSE;
  if (copied) {
    DRIVER_INFO_6W info = DriverRecord(name.c_str(), staged[0], staged[1], staged[2]);
    ok = ::AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES);
  }
  DWORD error = ::GetLastError();
  // The spooler has its own copies now; the staged ones are not needed.
  for (const std::wstring& path : staged)
    if (!path.empty()) ::DeleteFileW(path.c_str());
  ::SetLastError(error);
  return ok != FALSE;
}

bool InstallProductDriver() {
  std::wstring x64 = testutil::ProductX64Directory() + L"\\";
  return AddDriverFrom(kDriver, {x64 + kDriverFiles[0], kDriverFiles[0]},
                       {x64 + kDriverFiles[1], kDriverFiles[1]},
                       {x64 + kDriverFiles[2], kDriverFiles[2]});
}

void RemoveDriverNamed(const std::wstring& name, const std::vector<std::wstring>& files) {
  if (Contains(DriverNames(), name))
    ::DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                             const_cast<LPWSTR>(name.c_str()), 0, 0);
  std::wstring directory = DriverDirectory();
  if (directory.empty()) return;
  for (const std::wstring& file : files) {
    ::DeleteFileW((directory + file).c_str());
    ::DeleteFileW((directory + L"3\\" + file).c_str());
  }
}

void DeletePrinterNamed(const std::wstring& name) {
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, &access)) return;
  ::DeletePrinter(printer);
  ::ClosePrinter(printer);
}

bool AddPrinterOn(const std::wstring& name, const std::wstring& driver, const std::wstring& port) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<LPWSTR>(name.c_str());
  info.pPortName = const_cast<LPWSTR>(port.c_str());
  info.pDriverName = const_cast<LPWSTR>(driver.c_str());
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  // Wine cannot open a printer stored without a datatype.
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  HANDLE printer = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (!printer) return false;
  ::ClosePrinter(printer);
  return true;
}

void RemoveAllProductState() {
  for (const PrinterRow& row : ProductPrinters()) DeletePrinterNamed(row.name);

  std::vector<std::wstring> files = DriverFilePaths();
  if (Contains(DriverNames(), kDriver)) {
    // Wine rejects every non-zero delete flag (87) and leaves the files with 0.
    DWORD flags = RunningOnWine() ? 0 : DPD_DELETE_ALL_FILES;
    ::DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                             const_cast<LPWSTR>(kDriver), flags, 0);
  }
  for (const std::wstring& file : files) ::DeleteFileW(file.c_str());
  std::wstring directory = DriverDirectory();
  if (!directory.empty()) {
    for (const wchar_t* file : kDriverFiles) {
      ::DeleteFileW((directory + file).c_str());
      ::DeleteFileW((directory + L"3\\" + file).c_str());
    }
  }

  if (Contains(MonitorNames(), kPort)) {
    ::DeleteMonitorW(nullptr, const_cast<LPWSTR>(kEnvironment), const_cast<LPWSTR>(kPort));
    if (Contains(MonitorNames(), kPort)) ::DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kPort));
  }
  ::DeleteFileW((SystemDirectoryPath() + L"lmxmon64.dll").c_str());
}

std::vector<PrinterRow> Printers() {
  std::vector<PrinterRow> rows;
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return ::EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, data,
                               size, needed, returned);
      },
      &count);
  auto* printers = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i)
    rows.push_back({Text(printers[i].pPrinterName), Text(printers[i].pPortName),
                    Text(printers[i].pDriverName), Text(printers[i].pComment),
                    Text(printers[i].pLocation)});
  return rows;
}

std::vector<PrinterRow> ProductPrinters() {
  std::vector<PrinterRow> rows;
  for (const PrinterRow& row : Printers())
    if (row.driver == kDriver || row.port == kPort) rows.push_back(row);
  return rows;
}

const PrinterRow* FindRow(const std::vector<PrinterRow>& rows, const std::wstring& name) {
  for (const PrinterRow& row : rows)
    if (row.name == name) return &row;
  return nullptr;
}

std::wstring DefaultPrinter() {
  wchar_t name[512] = {};
  DWORD size = 512;
  return ::GetDefaultPrinterW(name, &size) ? std::wstring(name) : std::wstring();
}

bool AddDriverOfProductFiles(const wchar_t* name) {
  std::wstring x64 = testutil::ProductX64Directory() + L"\\";
  return AddDriverFrom(name, {x64 + kDriverFiles[0], kDriverFiles[0]},
                       {x64 + kDriverFiles[1], kDriverFiles[1]});
}

std::vector<std::wstring> MonitorNames() {
  std::vector<std::wstring> names;
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return ::EnumMonitorsW(nullptr, 1, data, size, needed, returned);
      },
      &count);
  auto* monitors = reinterpret_cast<MONITOR_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) names.push_back(Text(monitors[i].pName));
  return names;
}

std::vector<std::wstring> DriverNames() {
  std::vector<std::wstring> names;
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return ::EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(kEnvironment), 1, data, size,
                                     needed, returned);
      },
      &count);
  auto* drivers = reinterpret_cast<DRIVER_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) names.push_back(Text(drivers[i].pName));
  return names;
}

}  // namespace winespool

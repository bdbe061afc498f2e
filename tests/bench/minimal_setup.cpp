// minimal_setup: the spooler work of an install, a re-install and an
// uninstall of the product and nothing else: no log, no spooler restarts, no
// tray program, no retries, no sleeps. spooler_bench times it beside
// install.exe doing the same work, so the difference is what install.exe adds.
//
//   minimal_setup install   SOURCE   monitor, driver, printer "Loomscribe"
//   minimal_setup reinstall SOURCE   product printers saved and deleted, driver
//                                    replaced (a registered monitor is kept, as
//                                    install.exe keeps one of a compatible build),
//                                    printers re-created with "SubKey", comment,
//                                    location and default mark
//   minimal_setup uninstall          printers, driver and monitor removed
//   minimal_setup none               starts and ends (the process start alone)
// SOURCE is the folder holding lmxmon64.dll, lmxdrv64.dll, lmxui64.dll and
// lmxhelp.chm. Prints one line with the number of spooler calls it made; the
// exit code is 0 when every call succeeded, else the number of failed calls.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "support/wine_spooler.h"

namespace {

using winespool::kDriver;
using winespool::kEnvironment;
using winespool::kPort;
const wchar_t* const kDriverFiles[] = {L"lmxdrv64.dll", L"lmxui64.dll", L"lmxhelp.chm"};

int g_calls = 0;
int g_failures = 0;

// Counts one spooler call and its outcome.
template <class T>
T Count(T result, bool ok) {
  ++g_calls;
  if (!ok) {
    ++g_failures;
    std::fprintf(stderr, "minimal_setup: spooler call %d failed, error %lu\n", g_calls,
                 ::GetLastError());
  }
  return result;
}

std::wstring WithSlash(std::wstring path) {
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring SystemDirectoryPath() {
  wchar_t path[MAX_PATH] = {};
  ::GetSystemDirectoryW(path, MAX_PATH);
  return WithSlash(path);
}

std::wstring DriverDirectory() {
  wchar_t path[MAX_PATH] = {};
  DWORD needed = 0;
  BOOL ok = ::GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(kEnvironment), 1,
                                         reinterpret_cast<BYTE*>(path), sizeof(path), &needed);
  Count(ok, ok != FALSE);
  return WithSlash(path);
}

void AddMonitor(const std::wstring& source) {
  ::CopyFileW((source + L"\\lmxmon64.dll").c_str(), (SystemDirectoryPath() + L"lmxmon64.dll").c_str(),
              FALSE);
  MONITOR_INFO_2W info = {};
  info.pName = const_cast<LPWSTR>(kPort);
  info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
  info.pDLLName = const_cast<LPWSTR>(L"lmxmon64.dll");
  BOOL ok = ::AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  Count(ok, ok != FALSE);
}

void AddDriver(const std::wstring& source) {
  std::wstring directory = DriverDirectory();
  for (const wchar_t* file : kDriverFiles)
    ::CopyFileW((source + L"\\" + file).c_str(), (directory + file).c_str(), FALSE);
  std::wstring driver = directory + kDriverFiles[0];
  std::wstring ui = directory + kDriverFiles[1];
  std::wstring help = directory + kDriverFiles[2];
  DRIVER_INFO_6W info = winespool::DriverRecord(kDriver, driver, ui, help);
  BOOL ok = ::AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES);
  Count(ok, ok != FALSE);
  for (const wchar_t* file : kDriverFiles) ::DeleteFileW((directory + file).c_str());
}

// Wine deletes the driver record only (flags 0); its files go here.
void DeleteDriver() {
  std::wstring directory = DriverDirectory();
  BOOL ok = ::DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                     const_cast<LPWSTR>(kDriver), 0, 0);
  Count(ok, ok != FALSE);
  for (const wchar_t* file : kDriverFiles) ::DeleteFileW((directory + L"3\\" + file).c_str());
}

void DeleteMonitor() {
  BOOL ok = ::DeleteMonitorW(nullptr, const_cast<LPWSTR>(kEnvironment), const_cast<LPWSTR>(kPort));
  Count(ok, ok != FALSE);
  ::DeleteFileW((SystemDirectoryPath() + L"lmxmon64.dll").c_str());
}

struct Saved {
  std::wstring name, comment, location;
  std::string subKey;
  bool isDefault = false;
};

// The product's printers (EnumPrintersW level 2, one two-call pair).
std::vector<Saved> ProductPrinters() {
  std::vector<Saved> found;
  wchar_t defaultName[512] = {};
  DWORD defaultSize = 512;
  BOOL hasDefault = ::GetDefaultPrinterW(defaultName, &defaultSize);
  ++g_calls;
  DWORD needed = 0, count = 0;
  BOOL ok = ::EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
  Count(ok, ok || ::GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  if (needed == 0) return found;
  std::vector<BYTE> block(needed);
  ok = ::EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block.data(), needed, &needed, &count);
  Count(ok, ok != FALSE);
  if (!ok) return found;
  auto* printers = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
  for (DWORD i = 0; i < count; ++i) {
    const PRINTER_INFO_2W& p = printers[i];
    if (!p.pDriverName || std::wcscmp(p.pDriverName, kDriver) != 0) continue;
    Saved s;
    s.name = p.pPrinterName;
    s.comment = p.pComment ? p.pComment : L"";
    s.location = p.pLocation ? p.pLocation : L"";
    s.isDefault = hasDefault && s.name == defaultName;
    found.push_back(s);
  }
  return found;
}

// Deletes every product printer; with `save`, reads its "SubKey" first and
// returns the ones that carry one.
std::vector<Saved> DeleteProductPrinters(bool save) {
  std::vector<Saved> saved;
  for (Saved& s : ProductPrinters()) {
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    BOOL ok = ::OpenPrinterW(&s.name[0], &printer, &access);
    Count(ok, ok != FALSE);
    if (!ok) continue;
    if (save) {
      char value[64] = {};
      DWORD type = 0, size = 0;
      DWORD rc = ::GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                                   reinterpret_cast<BYTE*>(value), sizeof(value), &size);
      ++g_calls;
      if (rc != ERROR_SUCCESS || type != REG_SZ) {
        rc = ::GetPrinterDataExA(printer, "DsUser", "SubKey", &type,
                                 reinterpret_cast<BYTE*>(value), sizeof(value), &size);
        ++g_calls;
      }
      if (rc == ERROR_SUCCESS && type == REG_SZ && value[0]) {
        value[sizeof(value) - 1] = '\0';
        s.subKey = value;
        saved.push_back(s);
      }
    }
    ok = ::DeletePrinter(printer);
    Count(ok, ok != FALSE);
    ::ClosePrinter(printer);
    ++g_calls;
  }
  return saved;
}

// One product printer; comment and location go into the same AddPrinterW.
void AddProductPrinter(const Saved& s) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<LPWSTR>(s.name.c_str());
  info.pPortName = const_cast<LPWSTR>(kPort);
  info.pDriverName = const_cast<LPWSTR>(kDriver);
  info.pComment = const_cast<LPWSTR>(s.comment.c_str());
  info.pLocation = s.location.empty() ? nullptr : const_cast<LPWSTR>(s.location.c_str());
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");  // Wine cannot open a printer without one
  HANDLE printer = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  Count(printer, printer != nullptr);
  if (!printer) return;
  if (!s.subKey.empty()) {
    DWORD size = static_cast<DWORD>(s.subKey.size() + 1);
    BYTE* data = reinterpret_cast<BYTE*>(const_cast<char*>(s.subKey.c_str()));
    DWORD rc = ::SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, size);
    Count(rc, rc == ERROR_SUCCESS);
    rc = ::SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, size);
    Count(rc, rc == ERROR_SUCCESS);
  }
  ::ClosePrinter(printer);
  ++g_calls;
  if (s.isDefault) {
    BOOL ok = ::SetDefaultPrinterW(s.name.c_str());
    Count(ok, ok != FALSE);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring mode = argc > 1 ? argv[1] : L"";
  std::wstring source = argc > 2 ? argv[2] : L"";
  if (mode == L"none") return 0;
  if (mode == L"install") {
    AddMonitor(source);
    AddDriver(source);
    Saved first;
    first.name = L"Loomscribe";
    AddProductPrinter(first);
  } else if (mode == L"reinstall") {
    std::vector<Saved> saved = DeleteProductPrinters(true);
    DeleteDriver();
    AddDriver(source);
    if (saved.empty()) {
      Saved first;
      first.name = L"Loomscribe";
      saved.push_back(first);
    }
    for (const Saved& s : saved) AddProductPrinter(s);
  } else if (mode == L"uninstall") {
    DeleteProductPrinters(false);
    DeleteDriver();
    DeleteMonitor();
  } else {
    std::fprintf(stderr, "usage: minimal_setup install|reinstall|uninstall|none [SOURCE]\n");
    return 255;
  }
  std::printf("minimal_setup %ls: %d spooler calls, %d failed\n", mode.c_str(), g_calls, g_failures);
  return g_failures;
}

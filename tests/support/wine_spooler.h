// Spooler set-up for system tests, straight through winspool: puts the
// product's own monitor, driver and printers into the (Wine) spooler and
// takes every trace of them out again. System tests share one prefix, so
// each calls RemoveAllProductState() at its start and end.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace winespool {

extern const wchar_t kPort[];         // "Loomscribe:"
extern const wchar_t kDriver[];       // "Loomscribe printer"
extern const wchar_t kEnvironment[];  // "Windows x64"

// Copies the product folder's x64\lmxmon64.dll into the system directory and
// registers the monitor "Loomscribe:" for "Windows x64" (AddMonitorW level 2).
bool InstallProductMonitor();

// Stages lmxdrv64.dll, lmxui64.dll and lmxhelp.chm from the product folder in
// the x64 driver directory and adds the version-3 driver "Loomscribe printer"
// (AddPrinterDriverExW level 6, APD_COPY_ALL_FILES).
bool InstallProductDriver();

// Adds a printer with the print processor "WinPrint" and datatype "RAW".
bool AddPrinterOn(const std::wstring& name, const std::wstring& driver, const std::wstring& port);

// Deletes every printer that uses the driver "Loomscribe printer" or the
// port "Loomscribe:", the driver and its files, the monitor and its file.
void RemoveAllProductState();

struct PrinterRow {
  std::wstring name;
  std::wstring port;
  std::wstring driver;
  std::wstring comment;
  std::wstring location;
};

// Local and connected printers (EnumPrintersW level 2).
std::vector<PrinterRow> Printers();
// The default printer's name, or empty.
std::wstring DefaultPrinter();
std::vector<std::wstring> MonitorNames();
// Drivers for "Windows x64".
std::vector<std::wstring> DriverNames();
// The x64 driver directory with a trailing backslash, or empty.
std::wstring DriverDirectory();
// Adds a version-3 driver of another name made of the product's driver and
// configuration files (copied in and handed to the spooler); they go with
// RemoveAllProductState.
bool AddDriverOfProductFiles(const wchar_t* name);
// The system directory with a trailing backslash.
std::wstring SystemDirectoryPath();

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name);

}  // namespace winespool

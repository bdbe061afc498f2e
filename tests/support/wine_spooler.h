// Spooler set-up for system tests, straight through winspool: puts the
// product's own monitor, driver and printers into the (Wine) spooler and
// takes every trace of them out again. System tests share one prefix, so
// each calls RemoveAllProductState() at its start and end.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace winespool {

// One spooler enumeration, the two-call protocol: the size query, then the
// call with a block of that size. `call(block, size, needed, returned)`;
// the block is empty (and *count 0) when either call fails.
template <class Call>
std::vector<BYTE> Enumerate(Call call, DWORD* count) {
  DWORD needed = 0;
  *count = 0;
  std::vector<BYTE> block;
  if (call(nullptr, 0, &needed, count)) return block;
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return block;
  block.resize(needed);
  if (!call(block.data(), needed, &needed, count)) {
    *count = 0;
    block.clear();
  }
  return block;
}

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

// A file handed to the spooler with a driver: where it comes from, and the
// name it is staged under in the driver directory.
struct StagedFile {
  std::wstring source;
  std::wstring name;
};
// A version-3 driver record for "Windows x64" over the given full paths (the
// driver file is the data file too; an empty help path gives none). The
// record points into the strings.
DRIVER_INFO_6W DriverRecord(const wchar_t* name, std::wstring& driverPath, std::wstring& uiPath,
                            std::wstring& helpPath);
// Adds the driver `name` (AddPrinterDriverExW level 6, APD_COPY_ALL_FILES)
// from files staged in the x64 driver directory, which are deleted again;
// the spooler's last error stays. A help file without a source gives none.
bool AddDriverFrom(const std::wstring& name, const StagedFile& driver, const StagedFile& ui,
                   const StagedFile& help = {});
// Deletes a driver that is not the product's (delete flag 0, the one Wine
// takes) and the files staged under `files`, in the driver directory and in
// its version-3 folder.
void RemoveDriverNamed(const std::wstring& name, const std::vector<std::wstring>& files = {});
void DeletePrinterNamed(const std::wstring& name);

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
// The printers of the product's driver or port.
std::vector<PrinterRow> ProductPrinters();
// The row of the printer `name`, or null.
const PrinterRow* FindRow(const std::vector<PrinterRow>& rows, const std::wstring& name);
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

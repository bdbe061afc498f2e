// The status commands: "onChkDrv", "onInit" and "def.set". They use no
// session, log nothing and turn every failure into an answer.
#include <cwchar>

#include "driver/driver.h"
#include "files/files.h"
#include "files/version_resource.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "printers/printers.h"
#include "sequences/sequences.h"
#include "service/spooler.h"
#include "session/session.h"

namespace {

// Driver files of this build or later are current.
constexpr int32_t kUpToDateBuild = 2044;
constexpr DWORD kDefaultNameChars = 260;
constexpr int kPendingPasses = 2;

bool IsProductPrinter(const PRINTER_INFO_2W& printer) {
  return IsProductDriverName(printer.pDriverName);
}

// The first product printer in enumeration order, or null. A record without
// a name cannot be opened or made the default, so it is not taken.
const PRINTER_INFO_2W* FirstProductPrinter(const PrinterList& list) {
  if (!list.buffer) return nullptr;
  for (uint32_t i = 0; i < list.count; ++i) {
    const PRINTER_INFO_2W& printer = list.buffer[i];
    if (!IsProductPrinter(printer)) continue;
    return printer.pPrinterName && *printer.pPrinterName ? &printer : nullptr;
  }
  return nullptr;
}

void ReleaseList(PrinterList& list) {
  if (list.buffer) Os().GlobalFree(list.buffer);
  list.buffer = nullptr;
  list.count = 0;
}

wchar_t LowerAscii(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
    if (*a == L'\0') return true;
  }
}

// The text after the last backslash, slash or colon.
const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = SkipNtPrefix(path);
  for (const wchar_t* p = name; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
  return name;
}

bool TableQueuesFile(const PendingRenameTable& table, const wchar_t* fileName) {
  if (!table.entries || !table.isFile) return false;
  for (int32_t pair = 0; pair < table.pairCount; ++pair) {
    const wchar_t* source = table.entries[2 * pair];
    if (table.isFile[2 * pair] == 1 && source &&
        EqualsIgnoringAsciiCase(FileNamePart(source), fileName))
      return true;
  }
  return false;
}

bool TableQueuesComponent(const PendingRenameTable& table) {
  const wchar_t* const names[] = {kMonitorFile64, kDriverFile64, kUiFile64};
  for (const wchar_t* name : names)
    if (TableQueuesFile(table, name)) return true;
  return false;
}

// One pass: carry out the queued deletions that can be done now, then look
// for a 64-bit component file that still waits for a boot-time operation.
bool ComponentFileStillQueued() {
  PendingRenameTable table = ReadPendingRenames();
  ApplyPendingDeletes(table);
  bool queued = TableQueuesComponent(table);
  ReleasePendingRenames(table);
  return queued;
}

}  // namespace

bool IsDriverUpToDate() {
  PrinterList list;
  ListPrinters(list);
  const PRINTER_INFO_2W* printer = FirstProductPrinter(list);
  bool upToDate = false;
  HANDLE handle = nullptr;
  if (printer && Os().OpenPrinterW(printer->pPrinterName, &handle, nullptr) && handle) {
    DRIVER_INFO_2W* driver = QueryPrinterDriver(handle);
    if (driver && driver->pDriverPath && *driver->pDriverPath)
      upToDate = FileBuildNumber(driver->pDriverPath) >= kUpToDateBuild;
    ClosePrinterHandle(handle);
    if (driver) Os().GlobalFree(driver);
  }
  ReleaseList(list);
  return upToDate;
}

bool ComponentFileQueued() {
  PendingRenameTable table = ReadPendingRenames();
  bool queued = TableQueuesComponent(table);
  ReleasePendingRenames(table);
  return queued;
}

bool HasPendingComponentFiles() {
  for (int pass = 0; pass < kPendingPasses; ++pass) {
    if (!ComponentFileStillQueued()) return false;
    // A spooler that held the file may let go of it when it restarts.
    RestartSpooler(nullptr);
  }
  return true;
}

bool IsDefaultPrinterForeign() {
  wchar_t name[kDefaultNameChars] = {};
  DWORD chars = kDefaultNameChars;
  Os().GetDefaultPrinterW(name, &chars);
  name[kDefaultNameChars - 1] = L'\0';
  if (name[0] == L'\0') return true;
  HANDLE handle = nullptr;
  if (!Os().OpenPrinterW(name, &handle, nullptr) || !handle) return true;
  PrinterInfoBuffer info = QueryPrinterInfo(handle);
  bool foreign = !(info.buffer && IsProductPrinter(*info.buffer));
  ClosePrinterHandle(handle);
  if (info.buffer) Os().GlobalFree(info.buffer);
  return foreign;
}

void SetOurPrinterAsDefault() {
  PrinterList list;
  ListPrinters(list);
  if (const PRINTER_INFO_2W* printer = FirstProductPrinter(list))
    Os().SetDefaultPrinterW(printer->pPrinterName);
  ReleaseList(list);
}

#include <cwchar>

#include "platform/platform.h"
#include "printers/printers.h"

namespace {

constexpr DWORD kOutOfMemory = 0x8007000E;  // E_OUTOFMEMORY
constexpr DWORD kEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
constexpr DWORD kSpareBytes = 32;
constexpr DWORD kDefaultNameChars = 255;

}  // namespace

void ListPrinters(PrinterList& list) {
  FreePrinterList(list);
  DWORD needed = 0;
  DWORD count = 0;
  if (Os().EnumPrintersW(kEnumFlags, nullptr, 2, nullptr, 0, &needed, &count)) return;
  if (Os().GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;

  auto* block = static_cast<PRINTER_INFO_2W*>(
      Os().GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, static_cast<SIZE_T>(needed) + kSpareBytes));
  if (!block) {
    Os().SetLastError(kOutOfMemory);
    return;
  }
  // The spooler is told the size it asked for, not the larger block.
  const DWORD size = needed;
  count = 0;
  if (!Os().EnumPrintersW(kEnumFlags, nullptr, 2, reinterpret_cast<LPBYTE>(block), size, &needed,
                          &count)) {
    Os().GlobalFree(block);
    return;
  }
  list.buffer = block;
  // Never more records than the block can hold.
  const DWORD fits = size / sizeof(PRINTER_INFO_2W);
  list.count = count < fits ? count : fits;
}

void FreePrinterList(PrinterList& list) {
  if (list.buffer) Os().GlobalFree(list.buffer);
  list.buffer = nullptr;
  list.count = 0;
}

PrinterInfoBuffer QueryPrinterInfo(HANDLE printer) {
  PrinterInfoBuffer info;
  DWORD size = 0;
  // Only the last error decides; clear it so that an earlier call's
  // ERROR_INSUFFICIENT_BUFFER is not taken for this one's.
  Os().SetLastError(0);
  Os().GetPrinterW(printer, 2, nullptr, 0, &size);
  info.size = size;
  if (Os().GetLastError() != ERROR_INSUFFICIENT_BUFFER) return info;

  auto* block = static_cast<PRINTER_INFO_2W*>(Os().GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
  if (!block) {
    Os().SetLastError(kOutOfMemory);
    return info;
  }
  if (!Os().GetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(block), size, &size)) {
    Os().GlobalFree(block);
    info.size = size;
    return info;
  }
  info.buffer = block;
  info.size = size;
  return info;
}

bool ClosePrinterHandle(HANDLE printer) { return Os().ClosePrinter(printer) != FALSE; }

void MarkDefaultPrinter(InstallSession& session) {
  ListPrinters(session.Printers);
  wchar_t name[kDefaultNameChars] = {};
  DWORD size = kDefaultNameChars;
  if (!Os().GetDefaultPrinterW(name, &size)) return;
  name[kDefaultNameChars - 1] = L'\0';
  for (uint32_t i = 0; i < session.Printers.count; ++i) {
    PRINTER_INFO_2W& record = session.Printers.buffer[i];
    if (record.pPrinterName && wcscmp(record.pPrinterName, name) == 0)
      record.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  }
}

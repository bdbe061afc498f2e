#include <cassert>
#include <cwchar>

#include "platform/platform.h"
#include "platform/sized_call.h"
#include "printers/printers.h"

namespace {

constexpr DWORD kEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
constexpr DWORD kSpareBytes = 32;
constexpr DWORD kDefaultNameChars = 255;

}  // namespace

void ListPrinters(PrinterList& list) {
  list = PrinterList();
  UniqueGlobal<BYTE> block;
  DWORD size = 0;
  DWORD needed = 0;
  DWORD count = 0;
  auto enumerate = [&count](LPBYTE buffer, DWORD bytes, DWORD* reported) {
    if (buffer) count = 0;
    return Os().EnumPrintersW(kEnumFlags, nullptr, 2, buffer, bytes, reported, &count);
  };
  // The block has spare bytes; the spooler is told the size it asked for.
  if (CallWithNeededSize(enumerate, block, size, needed, kSpareBytes) != SizedCall::kFilled) return;
  list.buffer.reset(reinterpret_cast<PRINTER_INFO_2W*>(block.release()));
  // Never more records than the block can hold.
  const DWORD fits = size / sizeof(PRINTER_INFO_2W);
  list.count = count < fits ? count : fits;
}

PrinterInfoBuffer QueryPrinterInfo(HANDLE printer) {
  PrinterInfoBuffer info;
  DWORD size = 0;
  // Only the last error decides; clear it so that an earlier call's
  // ERROR_INSUFFICIENT_BUFFER is not taken for this one's.
  Os().SetLastError(0);
  auto query = [printer](LPBYTE block, DWORD bytes, DWORD* reported) -> BOOL {
    BOOL read = Os().GetPrinterW(printer, 2, block, bytes, reported);
    return block ? read : FALSE;
  };
  UniqueGlobal<BYTE> block;
  DWORD needed = 0;
  SizedCall step = CallWithNeededSize(query, block, size, needed);
  info.size = needed;  // as the last call reported it
  if (step == SizedCall::kFilled)
    info.buffer.reset(reinterpret_cast<PRINTER_INFO_2W*>(block.release()));
  return info;
}

void MarkDefaultPrinter(InstallSession& session) {
  // A second snapshot would free the records the saved and the redirected
  // printers point to.
  assert(!session.SavedPrinters && !session.RedirectedPorts);
  ListPrinters(session.Printers);
  wchar_t name[kDefaultNameChars] = {};
  DWORD size = kDefaultNameChars;
  if (!Os().GetDefaultPrinterW(name, &size)) return;
  name[kDefaultNameChars - 1] = L'\0';
  for (uint32_t i = 0; i < session.Printers.count; ++i) {
    PRINTER_INFO_2W& record = session.Printers.buffer.get()[i];
    if (record.pPrinterName && wcscmp(record.pPrinterName, name) == 0)
      record.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  }
}

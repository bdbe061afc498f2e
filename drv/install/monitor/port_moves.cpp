// Other printers on "Loomscribe:": moved to "file:" while the monitor is
// removed, and back once it is registered again, in this run or, from the
// journal, in a later one.
#include <cwchar>
#include <utility>

#include "journal/journal.h"
#include "monitor/port_text.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "platform/sized_call.h"
#include "session/session.h"

void StorePrinterPort(InstallSession& session, PRINTER_INFO_2W* record) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE handle = nullptr;
  const wchar_t* name = record->pPrinterName ? record->pPrinterName : L"";
  if (Os().OpenPrinterW(record->pPrinterName, &handle, &defaults) && handle) {
    UniquePrinter printer(handle);
    if (Os().SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(record), 0))
      LogLine(session, L"SetPrinter(%s) - ok", name);
    else
      LogLine(session, L"SetPrinter(%s) - failed", name);
  } else {
    LogLine(session, L"Can't open printer %s", name);
  }
}

void RedirectPrinters(InstallSession& session) {
  session.RedirectedPorts.reset();
  session.RedirectedRewrites.reset();
  if (!session.Printers.buffer || session.Printers.count == 0) return;

  size_t capacity = static_cast<size_t>(session.Printers.count) + 1;
  // Held so that the list goes first when neither is handed on.
  UniqueGlobal<PortRewrite> rewrites;
  UniqueGlobal<PRINTER_INFO_2W*> list(static_cast<PRINTER_INFO_2W**>(
      Os().GlobalAlloc(GPTR, capacity * sizeof(PRINTER_INFO_2W*))));
  rewrites.reset(static_cast<PortRewrite*>(Os().GlobalAlloc(GPTR, capacity * sizeof(PortRewrite))));
  // Without the list (or the record of where each text was rewritten) no
  // printer could be put back: then none is moved at all.
  if (!list || !rewrites) return;

  // The printers to move, recorded in the journal before any of them is: a
  // run cut off now must not leave them on "file:" for good. Without that
  // record none is moved.
  size_t listed = 0;
  for (uint32_t i = 0; i < session.Printers.count; ++i) {
    PRINTER_INFO_2W* record = session.Printers.buffer.get() + i;
    if (record->pPortName && std::wcsstr(record->pPortName, kProductPort))
      list.get()[listed++] = record;
  }
  if (listed > 0 && !JournalPortMoves(session, list.get(), listed)) return;
  PRINTER_INFO_2W** moved = list.get();
  PortRewrite* where = rewrites.get();
  session.RedirectedPorts = std::move(list);
  session.RedirectedRewrites = std::move(rewrites);

  for (size_t i = 0; i < listed; ++i) {
    RedirectPortText(moved[i]->pPortName, &where[i]);
    StorePrinterPort(session, moved[i]);
  }
}

void PutBackRedirectedPrinters(InstallSession& session) {
  RestoreRedirectedPrinters(session);
  session.RedirectedPorts.reset();
  session.RedirectedRewrites.reset();
}

// Each text is given back exactly where it was rewritten and only while it
// still fits the storage the spooler gave it; a record whose text no longer
// holds that "file:" is left alone. Whatever this leaves on "file:" stays in
// the journal.
void RestoreRedirectedPrinters(InstallSession& session) {
  PRINTER_INFO_2W** list = session.RedirectedPorts.get();
  PortRewrite* rewrites = session.RedirectedRewrites.get();
  if (!list || !list[0] || !rewrites) return;
  for (size_t i = 0; list[i]; ++i) {
    PRINTER_INFO_2W* record = list[i];
    PortRewrite& rewrite = rewrites[i];
    // Given back once only, and only into the text that was rewritten.
    bool ours = rewrite.text && rewrite.text == record->pPortName;
    rewrite.text = nullptr;
    if (!ours || !RestorePortText(record->pPortName, rewrite)) continue;
    StorePrinterPort(session, record);
  }
}

PortMove ReplayPortMove(InstallSession& session, const wchar_t* name, const wchar_t* movedPort) {
  (void)session;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE handle = nullptr;
  if (!Os().OpenPrinterW(const_cast<wchar_t*>(name), &handle, &defaults) || !handle)
    return Os().GetLastError() == ERROR_INVALID_PRINTER_NAME ? PortMove::kGone
                                                             : PortMove::kNoAnswer;
  UniquePrinter printer(handle);
  UniqueGlobal<BYTE> block;
  DWORD size = 0, needed = 0;
  HANDLE opened = printer.get();
  auto query = [opened](LPBYTE buffer, DWORD bytes, DWORD* reported) {
    return Os().GetPrinterW(opened, 2, buffer, bytes, reported);
  };
  if (CallWithNeededSize(query, block, size, needed) != SizedCall::kFilled)
    return PortMove::kNoAnswer;
  UniqueGlobal<PRINTER_INFO_2W> record(reinterpret_cast<PRINTER_INFO_2W*>(block.release()));
  const wchar_t* now = record.get()->pPortName;
  if (!now || IsProductDriverName(record.get()->pDriverName)) return PortMove::kChanged;
  if (std::wcscmp(now, movedPort) == 0) return PortMove::kBack;
  // The text as the move left it.
  size_t chars = std::wcslen(movedPort);
  UniqueGlobal<wchar_t> moved(
      static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (chars + 1) * sizeof(wchar_t))));
  if (!moved) return PortMove::kFailed;
  std::wmemcpy(moved.get(), movedPort, chars);
  if (!RedirectPortText(moved.get(), nullptr) || std::wcscmp(moved.get(), now) != 0)
    return PortMove::kChanged;
  record.get()->pPortName = const_cast<wchar_t*>(movedPort);
  return Os().SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(record.get()), 0)
             ? PortMove::kPutBack
             : PortMove::kFailed;
}

#include "monitor/port_text.h"

#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "printers/journal.h"
#include "session/session.h"


namespace {

constexpr size_t kProductPortChars = sizeof kProductPort / sizeof *kProductPort - 1;
constexpr wchar_t kFilePortText[] = L"file:";
constexpr size_t kFilePortChars = 5;
constexpr size_t kGrowth = kProductPortChars - kFilePortChars;  // 6

// Offset of the first `what` (of `whatChars` characters) within the first
// `length` characters of `text`, or `length` when there is none.
size_t FindWithin(const wchar_t* text, size_t length, const wchar_t* what, size_t whatChars) {
  if (length < whatChars) return length;
  for (size_t at = 0; at + whatChars <= length; ++at)
    if (std::wmemcmp(text + at, what, whatChars) == 0) return at;
  return length;
}

}  // namespace

size_t BoundedLength(const wchar_t* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != L'\0') ++n;
  return n;
}

bool RedirectPortText(wchar_t* text, PortRewrite* rewrite) {
  if (!text) return false;
  size_t length = std::wcslen(text);
  size_t at = FindWithin(text, length, kProductPort, kProductPortChars);
  if (at == length) return false;
  // "file:" and its terminator over the start of the occurrence, then the
  // rest (terminator included) right behind "file:". The text only shrinks.
  std::wmemcpy(text + at, kFilePortText, kFilePortChars);
  size_t rest = at + kProductPortChars;
  std::memmove(text + at + kFilePortChars, text + rest, (length - rest + 1) * sizeof(wchar_t));
  if (rewrite) {
    rewrite->offset = at;
    rewrite->capacity = length + 1;
    rewrite->text = text;
  }
  return true;
}

bool RestorePortText(wchar_t* text, const PortRewrite& rewrite) {
  if (!text || rewrite.capacity == 0) return false;
  // The present length, looked for only within the storage the text had.
  size_t length = BoundedLength(text, rewrite.capacity);
  if (length == rewrite.capacity) return false;              // no terminator within it
  if (length + kGrowth + 1 > rewrite.capacity) return false;  // would not fit
  if (rewrite.offset + kFilePortChars > length) return false;
  if (std::wmemcmp(text + rewrite.offset, kFilePortText, kFilePortChars) != 0) return false;
  size_t rest = rewrite.offset + kFilePortChars;
  std::memmove(text + rest + kGrowth, text + rest, (length - rest + 1) * sizeof(wchar_t));
  std::wmemcpy(text + rewrite.offset, kProductPort, kProductPortChars);
  return true;
}

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

// Each text is given back exactly where it was rewritten and only while it
// still fits the storage the spooler gave it; a record whose text no longer
// holds that "file:" is left alone.
void RestoreRedirectedPrinters(InstallSession& session) {
  PRINTER_INFO_2W** list = session.RedirectedPorts;
  PortRewrite* rewrites = session.RedirectedRewrites;
  if (list && list[0] && rewrites) {
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
  JournalPortMovesDone(session);
}

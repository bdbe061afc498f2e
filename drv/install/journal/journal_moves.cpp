// Journaling the ports of other vendors' printers before the monitor removal
// moves them off "Loomscribe:".
#include <cstring>
#include <cwchar>

#include "journal/journal.h"
#include "platform/platform.h"
#include "session/session.h"

namespace {

bool JournaledMove(const journal::Store& store, uint32_t first, const wchar_t* name) {
  for (uint32_t i = first; i < store.count; ++i) {
    const journal::Entry& e = store.entries[i];
    if (!e.gone && e.kind == journal::kMoved && e.name && std::wcscmp(e.name, name) == 0)
      return true;
  }
  return false;
}

}  // namespace

bool JournalPortMoves(InstallSession& session, PRINTER_INFO_2W* const* records, size_t count) {
  CarriedJournal* run = session.Journal;
  // A run without a journal of its own (a test of the removal alone) moves
  // nothing it could not put back itself.
  if (!run) return true;
  journal::Store& store = run->store;
  size_t missing = 0;
  for (size_t i = 0; i < count; ++i) {
    const PRINTER_INFO_2W* r = records[i];
    // A product printer needs no entry of its own: it is carried.
    if (r && r->pPrinterName && !IsProductDriverName(r->pDriverName) &&
        !(store.opened && JournaledMove(store, run->firstOfRun, r->pPrinterName)))
      ++missing;
  }
  if (missing == 0) return true;
  if (!journal::Open(store, true, static_cast<uint32_t>(missing))) {
    LogJournalWriteFailed(session);
    return false;
  }
  const uint32_t first = store.count;
  bool written = true;
  for (size_t i = 0; i < count && written; ++i) {
    const PRINTER_INFO_2W* r = records[i];
    if (!r || !r->pPrinterName || IsProductDriverName(r->pDriverName) ||
        JournaledMove(store, run->firstOfRun, r->pPrinterName))
      continue;
    journal::Entry* entry = journal::NewEntry(store, journal::kMoved, r->pPrinterName);
    if (entry && r->pPortName) {
      size_t chars = std::wcslen(r->pPortName);
      entry->movedPort = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (chars + 1) * sizeof(wchar_t)));
      if (entry->movedPort) std::wmemcpy(entry->movedPort, r->pPortName, chars);
      std::memcpy(entry->sid, run->account, run->accountBytes);
      entry->sidBytes = run->accountBytes;
    }
    if (!entry || !entry->movedPort) {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      written = false;
    } else {
      written = journal::Write(store, *entry);
    }
  }
  if (written && journal::Flush(store)) return true;
  journal::TakeBack(store, first);
  LogJournalWriteFailed(session);
  return false;
}

void ClearJournal(InstallSession& session) {
  (void)session;
  journal::Clear();
}

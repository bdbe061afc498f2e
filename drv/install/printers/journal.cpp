// The run's entries and the decision on every entry (see journal.h).
#include "printers/journal.h"

#include <cstring>
#include <cwchar>

#include "journal/journal.h"
#include "monitor/monitor.h"
#include "monitor/port_text.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "previous/previous.h"
#include "printers/printers.h"
#include "session/session.h"

namespace {

using journal::Entry;
using journal::Store;

constexpr uint32_t kFlagDefault = 1;
constexpr uint32_t kTriesBeforeSkip = 3;

bool SameName(const wchar_t* a, const wchar_t* b) { return a && b && std::wcscmp(a, b) == 0; }

bool Standing(const Entry& e) { return !e.gone && !e.dropping; }

wchar_t* CopyText(const wchar_t* text) {
  size_t chars = text ? std::wcslen(text) : 0;
  auto* copy = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (chars + 1) * sizeof(wchar_t)));
  if (copy && chars) std::wmemcpy(copy, text, chars);
  return copy;
}

bool TooLong(const wchar_t* text) {
  return text && std::wcslen(text) > journal::kMaxTextChars;
}

// The "Recover" section's title is written before its first line only: a
// run whose entries all went their normal way logs nothing of the journal.
class LazySection {
 public:
  explicit LazySection(InstallSession& session) : session_(session) {}
  ~LazySection() {
    if (open_) --session_.IndentDepth;
  }
  InstallSession& Open() {
    if (!open_) {
      LogLine(session_, L">Recover printers of an unfinished run");
      ++session_.IndentDepth;
      open_ = true;
    }
    return session_;
  }

 private:
  InstallSession& session_;
  bool open_ = false;
};

void Kept(LazySection& section, const Entry& entry) {
  LogLine(section.Open(), L"Journal entry kept: %s", journal::Shown(entry));
}

void Skipped(LazySection& section, Entry& entry) {
  LogLine(section.Open(), L"Journal entry skipped: %s", journal::Shown(entry));
  entry.dropping = 1;
}

// A replay that could have worked and did not: counted, and after the third
// such run the entry is given up so that it does not fail every install.
// Per-user parts of another account: they wait for that account's install.
void KeptForAnotherAccount(LazySection& section, const Entry& entry) {
  wchar_t account[192];
  journal::AccountText(entry, account, 192);
  LogLine(section.Open(), L"Journal entry for another account kept: %s (%s)",
          journal::Shown(entry), account);
}

void FailedTry(LazySection& section, Store& store, Entry& entry) {
  if (++entry.tries >= kTriesBeforeSkip) {
    Skipped(section, entry);
    return;
  }
  journal::Write(store, entry);
  Kept(section, entry);
}

enum class Carry { kRecovered, kTaken, kNoAnswer, kFailed };

Carry Replayed(InstallSession& session, const Entry& entry, bool userParts, bool makeDefault);

Carry ReplayCarried(InstallSession& session, CarriedJournal& run, const Entry& entry,
                    bool userParts) {
  bool makeDefault = userParts && ((entry.flags & kFlagDefault) || run.defaultToFirst == 1);
  Carry result = Replayed(session, entry, userParts, makeDefault);
  if (result == Carry::kRecovered && makeDefault && run.defaultToFirst == 1)
    run.defaultToFirst = 2;
  return result;
}

Carry Replayed(InstallSession& session, const Entry& entry, bool userParts, bool makeDefault) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE handle = nullptr;
  if (!Os().OpenPrinterW(entry.name, &handle, &defaults) || !handle) {
    // Only this answer says the printer is absent; any other is a spooler
    // that cannot tell, and nothing is created on it.
    if (Os().GetLastError() != ERROR_INVALID_PRINTER_NAME) return Carry::kNoAnswer;
    UniquePrinter created(
        AddProductPrinter(session, entry.name, nullptr, entry.comment, entry.location));
    if (!created) return Carry::kFailed;
    return CarryToNewPrinter(created.get(), entry.name, entry.subKey, makeDefault, userParts)
               ? Carry::kRecovered
               : Carry::kFailed;
  }
  UniquePrinter printer(handle);
  PrinterInfoBuffer info = QueryPrinterInfo(printer.get());
  if (!info.buffer) return Carry::kNoAnswer;
  if (!IsProductDriverName(info.buffer.get()->pDriverName)) return Carry::kTaken;
  char subKey[64] = {};
  ReadPrinterSubKey(printer.get(), subKey);
  if (subKey[0] && std::strcmp(subKey, entry.subKey) != 0) return Carry::kTaken;
  // Half-made: completed. Made whole (its "SubKey" is written last) and cut
  // off before its entry went, or carried by this run: its settings stand
  // and may be newer than the entry's; only the per-user parts are done.
  bool done = subKey[0] ? CarryToNewPrinter(printer.get(), entry.name, entry.subKey, makeDefault,
                                            userParts)
                        : CarrySettings(printer.get(), entry.subKey, entry.comment,
                                        entry.location, makeDefault, userParts);
  return done ? Carry::kRecovered : Carry::kFailed;
}

struct Gates {
  bool driver;   // the driver step left the product driver in place
  bool monitor;  // "Loomscribe:" is registered
  bool spooler;  // the spooler answered
};

void DecideMoved(InstallSession& session, LazySection& section, Store& store, Entry& entry,
                 const Gates& gates) {
  if (!gates.monitor || !gates.spooler) {
    Kept(section, entry);
    return;
  }
  switch (ReplayPortMove(session, entry.name, entry.movedPort)) {
    case PortMove::kPutBack:
      LogLine(section.Open(), L"Port of printer '%s' put back", journal::Shown(entry));
      entry.dropping = 1;
      break;
    case PortMove::kBack:
      entry.dropping = 1;
      break;
    case PortMove::kGone:
    case PortMove::kChanged:
      Skipped(section, entry);
      break;
    case PortMove::kNoAnswer:
      Kept(section, entry);
      break;
    case PortMove::kFailed:
      FailedTry(section, store, entry);
      break;
  }
}

int DecideCarried(InstallSession& session, LazySection& section, CarriedJournal& run, Entry& entry,
                  const Gates& gates) {
  // This run meant to carry the printer itself and could not.
  if (!entry.earlier) LogCantCarryPrinter(section.Open(), journal::Shown(entry));
  if (!gates.driver || !gates.monitor || !gates.spooler) {
    Kept(section, entry);
    return 0;
  }
  bool ownAccount = journal::SameAccount(entry, run.account, run.accountBytes);
  // The per-user parts of an account without a profile go with their line.
  bool accountGone = !ownAccount && !journal::AccountProfileExists(entry);
  Carry carried = ReplayCarried(session, run, entry, ownAccount);
  if (carried == Carry::kTaken) {
    Skipped(section, entry);
    return 0;
  }
  if (carried == Carry::kNoAnswer) {
    Kept(section, entry);
    return 0;
  }
  if (carried == Carry::kFailed) {
    FailedTry(section, run.store, entry);
    return 0;
  }
  LogLine(section.Open(), L"Recovered printer '%s'", journal::Shown(entry));
  if (ownAccount) {
    entry.dropping = 1;
  } else if (accountGone) {
    Skipped(section, entry);
  } else {
    KeptForAnotherAccount(section, entry);
  }
  return 1;
}

}  // namespace

bool PrepareJournal(InstallSession& session) {
  CarriedJournal* run = session.Journal;
  if (!run) return true;
  Store& store = run->store;
  journal::OwnAccount(run->account, &run->accountBytes);

  // The save step reads each product printer's "SubKey" once; the entries
  // are written from what it read, also for a printer it could not note.
  PRINTER_INFO_2W* records = session.Printers.buffer.get();
  uint32_t count = records ? session.Printers.count : 0;
  UniqueGlobal<char> subKeys(
      count ? static_cast<char*>(Os().GlobalAlloc(GPTR, static_cast<SIZE_T>(count) * 64)) : nullptr);
  if (count && !subKeys) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    LogJournalWriteFailed(session);
    return false;
  }
  auto subKeyOf = [&subKeys](uint32_t i) { return subKeys.get() + static_cast<size_t>(i) * 64; };
  uint32_t carried = 0;
  const PRINTER_INFO_2W* uncarriedDefault = nullptr;
  bool carriedDefault = false;
  for (uint32_t i = 0; i < count; ++i) {
    PRINTER_INFO_2W* record = &records[i];
    if (!IsProductDriverName(record->pDriverName) || !record->pPrinterName) continue;
    SaveProductPrinter(session, record, subKeyOf(i));
    if (subKeyOf(i)[0]) {
      ++carried;
      if (record->Attributes & PRINTER_ATTRIBUTE_DEFAULT) carriedDefault = true;
    }
    else if (record->Attributes & PRINTER_ATTRIBUTE_DEFAULT)
      // The default printer is a product printer the run does not carry: it
      // passes to the first product printer the run creates.
      uncarriedDefault = record;
  }

  // Other printers the monitor removal is foreseen to move to "file:".
  PlanMonitor(session);
  bool movesForeseen = session.Monitor.Registered && !IsCompatibleMonitorBuild(session.Monitor.Build);
  uint32_t moves = 0;
  for (uint32_t i = 0; movesForeseen && i < count; ++i)
    if (records[i].pPrinterName && records[i].pPortName &&
        !IsProductDriverName(records[i].pDriverName) &&
        std::wcsstr(records[i].pPortName, kProductPort))
      ++moves;

  const bool previousKept =
      session.Previous && (session.Previous->hasDriver || session.Previous->hasMonitor);
  bool writing = carried > 0 || moves > 0 || uncarriedDefault || previousKept;
  if (!journal::Open(store, writing, carried + moves + 1)) {
    if (writing) {
      LogJournalWriteFailed(session);
      return false;
    }
    // Nothing to protect: the run goes on without what it could not read.
    return true;
  }
  const uint32_t first = store.count;
  run->firstOfRun = first;
  // An earlier run of this account meant the default for a product printer.
  for (uint32_t e = 0; e < first; ++e) {
    Entry& earlier = store.entries[e];
    if (Standing(earlier) && !earlier.bad && earlier.kind == journal::kDefaultPasses &&
        journal::SameAccount(earlier, run->account, run->accountBytes)) {
      if (carriedDefault)
        earlier.dropping = 1;  // the default is on a product printer the run carries
      else
        run->defaultToFirst = 1;
    }
  }
  bool written = true;
  auto own = [run](Entry* entry) {
    std::memcpy(entry->sid, run->account, run->accountBytes);
    entry->sidBytes = run->accountBytes;
  };

  for (uint32_t i = 0; i < count && written; ++i) {
    const PRINTER_INFO_2W* record = &records[i];
    if (!IsProductDriverName(record->pDriverName) || !record->pPrinterName || !subKeyOf(i)[0])
      continue;
    if (TooLong(record->pPrinterName) || TooLong(record->pComment) || TooLong(record->pLocation))
      continue;  // no spooler holds such texts; the save carries it as before
    Entry* entry = journal::NewEntry(store, journal::kCarried, record->pPrinterName);
    if (entry) {
      std::memcpy(entry->subKey, subKeyOf(i), sizeof entry->subKey - 1);
      entry->comment = CopyText(record->pComment);
      entry->location = CopyText(record->pLocation);
      entry->flags = (record->Attributes & PRINTER_ATTRIBUTE_DEFAULT) ? kFlagDefault : 0;
      own(entry);
      // An earlier entry of this name and account is replaced, its per-user
      // parts carried over; another account's stays for that account.
      for (uint32_t e = 0; e < first; ++e) {
        Entry& earlier = store.entries[e];
        if (!Standing(earlier) || earlier.bad || earlier.kind != journal::kCarried ||
            !SameName(earlier.name, entry->name) ||
            !journal::SameAccount(earlier, run->account, run->accountBytes))
          continue;
        entry->flags |= earlier.flags & kFlagDefault;
        earlier.dropping = 1;
      }
    }
    if (!entry || !entry->comment || !entry->location) {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      written = false;
    } else {
      written = journal::Write(store, *entry);
    }
  }
  if (written && uncarriedDefault) {
    Entry* entry =
        journal::NewEntry(store, journal::kDefaultPasses, uncarriedDefault->pPrinterName);
    if (entry) {
      own(entry);
      written = journal::Write(store, *entry);
      run->defaultToFirst = 1;
    } else {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      written = false;
    }
  }
  for (uint32_t i = 0; movesForeseen && i < count && written; ++i) {
    const PRINTER_INFO_2W& r = records[i];
    if (!r.pPrinterName || !r.pPortName || IsProductDriverName(r.pDriverName) ||
        !std::wcsstr(r.pPortName, kProductPort))
      continue;
    Entry* entry = journal::NewEntry(store, journal::kMoved, r.pPrinterName);
    if (entry) entry->movedPort = CopyText(r.pPortName);
    if (!entry || !entry->movedPort) {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      written = false;
    } else {
      written = journal::Write(store, *entry);
    }
  }
  // The previous installation's record goes in the same flush.
  if (written && previousKept) written = RecordPreviousInstallation(*session.Previous, store);
  if ((store.count > first || previousKept) && written) written = journal::Flush(store);
  if (!written) {
    journal::TakeBack(store, first);
    for (uint32_t e = 0; e < first; ++e) store.entries[e].dropping = 0;
    run->defaultToFirst = 0;
    LogJournalWriteFailed(session);
    return false;
  }
  return true;
}

bool JournalWantsDefault(InstallSession& session, const wchar_t* name) {
  CarriedJournal* run = session.Journal;
  if (!run) return false;
  for (uint32_t i = run->firstOfRun; i < run->store.count; ++i) {
    const Entry& e = run->store.entries[i];
    if (!e.gone && e.kind == journal::kCarried && SameName(e.name, name))
      return (e.flags & kFlagDefault) != 0;
  }
  return false;
}

void JournalPrinterRecreated(InstallSession& session, const wchar_t* name) {
  CarriedJournal* run = session.Journal;
  if (!run) return;
  for (uint32_t i = run->firstOfRun; i < run->store.count; ++i) {
    Entry& e = run->store.entries[i];
    if (!e.earlier && e.kind == journal::kCarried && SameName(e.name, name)) e.dropping = 1;
  }
}

int ReplayJournal(InstallSession& session) {
  CarriedJournal* run = session.Journal;
  if (!run || !run->store.opened) return 0;
  Store& store = run->store;
  bool any = store.unread > 0;
  for (uint32_t i = 0; i < store.count && !any; ++i)
    any = Standing(store.entries[i]) && store.entries[i].kind != journal::kDefaultPasses;
  if (!any) return 0;

  Gates gates;
  gates.driver = session.DriverReady != 0;
  gates.monitor = ProductMonitorRegistered(&gates.spooler);
  LazySection section(session);
  if (store.unread > 0)
    LogLine(section.Open(), L"%d more journal entries wait for the next install",
            static_cast<int>(store.unread));
  int created = 0;
  // Newest first: should two entries of one name stand, the newer decides
  // and the older finds its printer there.
  for (;;) {
    Entry* entry = nullptr;
    for (uint32_t i = 0; i < store.count; ++i) {
      Entry& e = store.entries[i];
      if (Standing(e) && !e.visited && e.kind != journal::kDefaultPasses &&
          (!entry || e.number > entry->number))
        entry = &e;
    }
    if (!entry) break;
    entry->visited = 1;
    if (entry->bad)
      Skipped(section, *entry);
    else if (entry->kind == journal::kMoved)
      DecideMoved(session, section, store, *entry, gates);
    else
      created += DecideCarried(session, section, *run, *entry, gates);
  }
  return created;
}

void FinishJournal(InstallSession& session) {
  CarriedJournal* run = session.Journal;
  if (!run || !run->store.opened) return;
  Store& store = run->store;
  LazySection section(session);
  for (uint32_t i = 0; i < store.count; ++i) {
    Entry& e = store.entries[i];
    if (!Standing(e) || e.kind != journal::kDefaultPasses) continue;
    if (e.bad) {
      Skipped(section, e);
    } else if (!journal::SameAccount(e, run->account, run->accountBytes)) {
      if (!journal::AccountProfileExists(e)) {
        Skipped(section, e);
      } else {
        KeptForAnotherAccount(section, e);
      }
    } else if (run->defaultToFirst == 2) {
      e.dropping = 1;  // a product printer of this run took the default
    } else {
      Kept(section, e);
    }
  }
  journal::RemoveDecided(store);
}

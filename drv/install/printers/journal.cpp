// The journal of carried printers (see journal.h).
//
// Windows writes registry changes to disk lazily: after a power cut the hive
// may lack anything written since its last flush. An entry therefore counts
// only once RegFlushKey has returned, and nothing the entry protects is
// touched before that. Removing entries needs no flush: an entry that
// survives its removal is met again by the next install, which finds its
// printer whole and drops it.
#include "printers/journal.h"

#include <cstring>
#include <cwchar>

#include "monitor/port_text.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "printers/printers.h"
#include "session/log_section.h"
#include "session/session.h"


namespace {

const wchar_t kName[] = L"Name";
const wchar_t kSubKey[] = L"SubKey";
const wchar_t kComment[] = L"Comment";
const wchar_t kLocation[] = L"Location";
const wchar_t kDefault[] = L"Default";
const wchar_t kMovedPort[] = L"MovedPort";

// Longest text an entry may hold, in characters. Far above what the spooler
// keeps for a name, comment, location or port list; an entry beyond it is
// not one this program wrote.
constexpr size_t kMaxTextChars = 4096;
constexpr DWORD kMaxTextBytes = (kMaxTextChars + 1) * sizeof(wchar_t);
constexpr size_t kSubKeyChars = 63;
constexpr uint32_t kMaxNumber = 999999999;  // nine digits

}  // namespace

struct JournalEntry {
  wchar_t* keyName;   // the sub-key's name
  uint32_t number;    // its number (0 when it is not one)
  wchar_t* name;      // the printer's name (null when unreadable)
  wchar_t* comment;   // carried printer only
  wchar_t* location;  // carried printer only
  wchar_t* movedPort; // the text before the move, or null
  char subKey[kSubKeyChars + 1];  // "" when the entry carries no printer
  DWORD isDefault;
  bool earlier;  // left by an earlier run
  bool bad;      // unusable content
  bool gone;     // removed from the registry (or replaced)
};

struct CarriedJournal {
  HKEY key;
  JournalEntry* entries;
  uint32_t count;
  uint32_t capacity;
  uint32_t nextNumber;
};

namespace {

wchar_t* CopyText(const wchar_t* text, size_t length) {
  auto* copy = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (length + 1) * sizeof(wchar_t)));
  if (copy && length) std::wmemcpy(copy, text, length);
  return copy;
}

wchar_t* CopyText(const wchar_t* text) {
  return CopyText(text ? text : L"", text ? std::wcslen(text) : 0);
}

void FreeText(wchar_t*& text) {
  if (text) Os().GlobalFree(text);
  text = nullptr;
}

void FreeEntry(JournalEntry& entry) {
  FreeText(entry.keyName);
  FreeText(entry.name);
  FreeText(entry.comment);
  FreeText(entry.location);
  FreeText(entry.movedPort);
}

bool Carries(const JournalEntry& entry) { return entry.subKey[0] != '\0'; }

const wchar_t* Shown(const JournalEntry& entry) {
  if (entry.name) return entry.name;
  return entry.keyName ? entry.keyName : L"";
}

// "123" -> 123; 0 for anything that is not a number of one to nine digits
// without a leading zero.
uint32_t NumberOf(const wchar_t* keyName) {
  size_t length = std::wcslen(keyName);
  if (length == 0 || length > 9 || keyName[0] == L'0') return 0;
  uint32_t number = 0;
  for (size_t i = 0; i < length; ++i) {
    if (keyName[i] < L'0' || keyName[i] > L'9') return 0;
    number = number * 10 + static_cast<uint32_t>(keyName[i] - L'0');
  }
  return number;
}

// A REG_SZ value of at most kMaxTextChars characters that ends in its one
// terminator. Returns the registry's status, or ERROR_INVALID_DATA for a value
// of another type or shape; `out` receives a copy.
LSTATUS ReadText(HKEY key, const wchar_t* value, wchar_t** out, BYTE* scratch) {
  DWORD type = REG_NONE;
  DWORD bytes = kMaxTextBytes;
  LSTATUS status = Os().RegQueryValueExW(key, value, nullptr, &type, scratch, &bytes);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_SZ || bytes < sizeof(wchar_t) || bytes % sizeof(wchar_t) != 0)
    return ERROR_INVALID_DATA;
  const auto* text = reinterpret_cast<const wchar_t*>(scratch);
  size_t chars = bytes / sizeof(wchar_t) - 1;
  if (text[chars] != L'\0' || std::wmemchr(text, L'\0', chars)) return ERROR_INVALID_DATA;
  *out = CopyText(text, chars);
  return *out ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

// Reads one entry an earlier run left. Whatever is wrong with it marks it
// bad; it is then only ever shown and removed.
void ReadEntry(HKEY journal, JournalEntry& entry, BYTE* scratch) {
  entry.earlier = true;
  entry.number = NumberOf(entry.keyName);
  entry.bad = true;
  HKEY key = nullptr;
  if (entry.number == 0 ||
      Os().RegOpenKeyExW(journal, entry.keyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return;
  UniqueKey held(key);

  DWORD subKeys = 0, values = 0;
  bool ok = Os().RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                  &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subKeys == 0;
  DWORD known = 0;
  if (ok) ok = ReadText(key, kName, &entry.name, scratch) == ERROR_SUCCESS && entry.name[0];
  if (ok) ++known;

  // The carried printer: all four values or none of them.
  DWORD type = REG_NONE;
  DWORD bytes = kMaxTextBytes;
  LSTATUS subKey = ok ? Os().RegQueryValueExW(key, kSubKey, nullptr, &type, scratch, &bytes)
                      : ERROR_INVALID_DATA;
  if (subKey == ERROR_SUCCESS) {
    ok = type == REG_BINARY && bytes >= 1 && bytes <= kSubKeyChars &&
         !std::memchr(scratch, 0, bytes);
    if (ok) {
      std::memcpy(entry.subKey, scratch, bytes);
      entry.subKey[bytes] = '\0';
      ok = ReadText(key, kComment, &entry.comment, scratch) == ERROR_SUCCESS &&
           ReadText(key, kLocation, &entry.location, scratch) == ERROR_SUCCESS;
    }
    if (ok) {
      type = REG_NONE;
      bytes = sizeof(DWORD);
      DWORD flag = 0;
      ok = Os().RegQueryValueExW(key, kDefault, nullptr, &type, reinterpret_cast<BYTE*>(&flag),
                                 &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD && bytes == sizeof(DWORD) && flag <= 1;
      entry.isDefault = flag;
    }
    known += 4;
  } else if (subKey != ERROR_FILE_NOT_FOUND) {
    ok = false;
  }

  if (ok) {
    LSTATUS moved = ReadText(key, kMovedPort, &entry.movedPort, scratch);
    if (moved == ERROR_SUCCESS) {
      ++known;
      // Only a text that held "Loomscribe:" was ever moved.
      ok = std::wcsstr(entry.movedPort, kProductPort) != nullptr;
    } else if (moved != ERROR_FILE_NOT_FOUND) {
      ok = false;
    }
  }
  // A carried printer or a move, never both and never neither; no value this
  // program does not write.
  ok = ok && (Carries(entry) != (entry.movedPort != nullptr)) && values == known;
  entry.bad = !ok;
}

// Reads every entry an earlier run left, with room for `extra` entries of
// this run. Null when the key cannot be opened or memory cannot be had.
CarriedJournal* OpenJournal(InstallSession& session, uint32_t extra) {
  if (session.Journal) return session.Journal;
  HKEY key = nullptr;
  LSTATUS status = Os().RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCarriedPrintersKey, 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                        nullptr);
  if (status != ERROR_SUCCESS) {
    Os().SetLastError(static_cast<DWORD>(status));
    return nullptr;
  }
  DWORD subKeys = 0;
  status = Os().RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
  auto* journal = static_cast<CarriedJournal*>(Os().GlobalAlloc(GPTR, sizeof(CarriedJournal)));
  // A key with more entries than one run could have left is read only in part;
  // the rest waits for the next install.
  if (subKeys > 65536) subKeys = 65536;
  uint32_t capacity = subKeys + extra + 1;
  JournalEntry* entries = journal ? static_cast<JournalEntry*>(
                                        Os().GlobalAlloc(GPTR, capacity * sizeof(JournalEntry)))
                                  : nullptr;
  UniqueGlobal<BYTE> scratchBlock(
      entries ? static_cast<BYTE*>(Os().GlobalAlloc(GPTR, kMaxTextBytes)) : nullptr);
  BYTE* scratch = scratchBlock.get();
  if (status != ERROR_SUCCESS || !scratch) {
    if (journal) Os().GlobalFree(journal);
    if (entries) Os().GlobalFree(entries);
    Os().RegCloseKey(key);
    Os().SetLastError(status != ERROR_SUCCESS ? static_cast<DWORD>(status)
                                              : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    return nullptr;
  }
  journal->key = key;
  journal->entries = entries;
  journal->capacity = capacity;
  journal->nextNumber = 1;

  wchar_t keyName[256];
  for (DWORD index = 0; journal->count < subKeys; ++index) {
    DWORD chars = 256;
    status = Os().RegEnumKeyExW(key, index, keyName, &chars, nullptr, nullptr, nullptr, nullptr);
    // Whatever else stops the listing leaves the rest for the next install.
    if (status != ERROR_SUCCESS) break;
    JournalEntry& entry = entries[journal->count];
    entry.keyName = CopyText(keyName, chars < 256 ? chars : 255);
    if (!entry.keyName) break;
    ++journal->count;
    ReadEntry(key, entry, scratch);
    if (entry.number >= journal->nextNumber && entry.number < kMaxNumber)
      journal->nextNumber = entry.number + 1;
    // A number at the very end of the range leaves none for new entries.
    if (entry.number >= kMaxNumber) entry.bad = true;
  }
  session.Journal = journal;
  return journal;
}

bool SetText(HKEY key, const wchar_t* value, const wchar_t* text) {
  DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  LSTATUS status = Os().RegSetValueExW(key, value, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(text), bytes);
  if (status != ERROR_SUCCESS) Os().SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

// Writes a new entry of this run under its number.
bool WriteEntry(CarriedJournal& journal, const JournalEntry& entry) {
  HKEY key = nullptr;
  LSTATUS status = Os().RegCreateKeyExW(journal.key, entry.keyName, 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                                        nullptr);
  if (status != ERROR_SUCCESS) {
    Os().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  UniqueKey held(key);
  bool ok = SetText(key, kName, entry.name);
  if (ok && Carries(entry)) {
    status = Os().RegSetValueExW(key, kSubKey, 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(entry.subKey),
                                 static_cast<DWORD>(std::strlen(entry.subKey)));
    if (status != ERROR_SUCCESS) Os().SetLastError(static_cast<DWORD>(status));
    ok = status == ERROR_SUCCESS && SetText(key, kComment, entry.comment) &&
         SetText(key, kLocation, entry.location);
    if (ok) {
      status = Os().RegSetValueExW(key, kDefault, 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&entry.isDefault),
                                   sizeof(DWORD));
      if (status != ERROR_SUCCESS) Os().SetLastError(static_cast<DWORD>(status));
      ok = status == ERROR_SUCCESS;
    }
  }
  if (ok && entry.movedPort) ok = SetText(key, kMovedPort, entry.movedPort);
  return ok;
}

void RemoveEntry(CarriedJournal& journal, JournalEntry& entry) {
  if (entry.gone) return;
  Os().RegDeleteTreeW(journal.key, entry.keyName);
  entry.gone = true;
}

// A new entry of this run with the next number; null without memory.
JournalEntry* NewEntry(CarriedJournal& journal, const wchar_t* name) {
  if (journal.count >= journal.capacity || journal.nextNumber >= kMaxNumber) return nullptr;
  JournalEntry& entry = journal.entries[journal.count];
  std::memset(&entry, 0, sizeof entry);
  wchar_t keyName[16];
  _snwprintf_s(keyName, 16, _TRUNCATE, L"%u", journal.nextNumber);
  entry.keyName = CopyText(keyName);
  entry.name = CopyText(name);
  entry.number = journal.nextNumber;
  if (!entry.keyName || !entry.name) {
    FreeEntry(entry);
    return nullptr;
  }
  ++journal.nextNumber;
  ++journal.count;
  return &entry;
}

// Takes back the entries of this run from `first` on: removed from the
// registry, forgotten in memory. The last error is kept for the caller's line.
void TakeBack(CarriedJournal& journal, uint32_t first) {
  DWORD error = Os().GetLastError();
  for (uint32_t i = first; i < journal.count; ++i) {
    Os().RegDeleteTreeW(journal.key, journal.entries[i].keyName);
    FreeEntry(journal.entries[i]);
    std::memset(&journal.entries[i], 0, sizeof(JournalEntry));
  }
  if (journal.count > first) journal.nextNumber = journal.entries[first].number;
  journal.count = first;
  Os().SetLastError(error);
}

// Flushes the entries from `first` on, or takes them back and logs error 20.
bool Commit(InstallSession& session, CarriedJournal& journal, uint32_t first, bool written) {
  if (written) {
    if (journal.count == first) return true;  // nothing new to make lasting
    LSTATUS status = Os().RegFlushKey(journal.key);
    if (status == ERROR_SUCCESS) return true;
    Os().SetLastError(static_cast<DWORD>(status));
  }
  TakeBack(journal, first);
  LogJournalWriteFailed(session);
  return false;
}

bool SameName(const wchar_t* a, const wchar_t* b) { return a && b && std::wcscmp(a, b) == 0; }

// What stands under an entry's name now.
enum class Found { kNothing, kHalfMade, kWhole, kOtherDriver, kUnreadable };

Found Look(HANDLE printer, const PrinterInfoBuffer& info) {
  if (!info.buffer) return Found::kUnreadable;
  if (!IsProductDriverName(info.buffer->pDriverName)) return Found::kOtherDriver;
  char subKey[64] = {};
  ReadPrinterSubKey(printer, subKey);
  return subKey[0] ? Found::kWhole : Found::kHalfMade;
}

// A carried printer left by an earlier run. Returns 1 when it was created
// (or, half-made, completed) here.
int ReplayCarried(InstallSession& session, const JournalEntry& entry, HANDLE printer,
                  Found found) {
  HANDLE target = printer;
  UniquePrinter created;  // a printer made here is closed here
  if (found == Found::kNothing) {
    created.reset(AddProductPrinter(session, entry.name));
    target = created.get();
    if (!target) {
      LogLine(session, L"Journal entry skipped: %s", Shown(entry));
      return 0;
    }
  } else if (found != Found::kHalfMade) {
    // Whole, on another driver, or unreadable: someone else's now.
    LogLine(session, L"Journal entry skipped: %s", Shown(entry));
    return 0;
  }
  CarrySettings(target, entry.subKey, entry.comment, entry.location, entry.isDefault != 0);
  LogLine(session, L"Recovered printer '%s'", Shown(entry));
  return 1;
}

// A port text an earlier run moved to "file:": given back only where it
// still reads as the move left it.
void ReplayMove(InstallSession& session, const JournalEntry& entry, HANDLE printer,
                PrinterInfoBuffer& info) {
  bool putBack = false;
  if (info.buffer && info.buffer->pPortName) {
    size_t length = std::wcslen(entry.movedPort);
    wchar_t* moved = CopyText(entry.movedPort, length);
    if (moved && RedirectPortText(moved, nullptr) &&
        std::wcscmp(moved, info.buffer->pPortName) == 0) {
      info.buffer->pPortName = entry.movedPort;
      putBack = Os().SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(info.buffer), 0) != FALSE;
    }
    FreeText(moved);
  }
  if (putBack)
    LogLine(session, L"Port of printer '%s' put back", Shown(entry));
  else
    LogLine(session, L"Journal entry skipped: %s", Shown(entry));
}

// The journal with room for an entry per listed printer; error 20 when it
// cannot be had.
CarriedJournal* OpenJournalForEntries(InstallSession& session) {
  CarriedJournal* journal = OpenJournal(session, session.Printers.count);
  if (!journal) LogJournalWriteFailed(session);
  return journal;
}

}  // namespace

bool JournalCarriedPrinters(InstallSession& session) {
  CarriedJournal* journal = OpenJournalForEntries(session);
  if (!journal) return false;
  const uint32_t first = journal->count;
  bool written = true;
  PRINTER_INFO_2W* records = session.Printers.buffer;
  uint32_t count = records ? session.Printers.count : 0;
  for (uint32_t i = 0; i < count && written; ++i) {
    const PRINTER_INFO_2W& record = records[i];
    if (!IsProductDriverName(record.pDriverName) || !record.pPrinterName) continue;
    if (std::wcslen(record.pPrinterName) > kMaxTextChars ||
        (record.pComment && std::wcslen(record.pComment) > kMaxTextChars) ||
        (record.pLocation && std::wcslen(record.pLocation) > kMaxTextChars))
      continue;  // no spooler holds such texts; the save carries it as before
    char subKey[64] = {};
    HANDLE printer = nullptr;
    if (!Os().OpenPrinterW(record.pPrinterName, &printer, nullptr) || !printer) continue;
    ReadPrinterSubKey(printer, subKey);
    Os().ClosePrinter(printer);
    // Without a usable "SubKey" the printer is not carried, and an entry of
    // that name from an earlier run stays: it may be this very printer,
    // created again only half-way.
    if (!subKey[0]) continue;

    JournalEntry* entry = NewEntry(*journal, record.pPrinterName);
    if (entry) {
      std::memcpy(entry->subKey, subKey, sizeof entry->subKey);
      entry->comment = CopyText(record.pComment);
      entry->location = CopyText(record.pLocation);
      entry->isDefault = (record.Attributes & PRINTER_ATTRIBUTE_DEFAULT) ? 1 : 0;
    }
    if (!entry || !entry->comment || !entry->location) {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      written = false;
    } else {
      written = WriteEntry(*journal, *entry);
    }
  }
  if (!Commit(session, *journal, first, written)) return false;

  // This run's entries replace those of the same names an earlier run left.
  for (uint32_t i = 0; i < first; ++i) {
    JournalEntry& earlier = journal->entries[i];
    if (earlier.gone || earlier.bad) continue;
    for (uint32_t n = first; n < journal->count; ++n)
      if (SameName(earlier.name, journal->entries[n].name)) {
        RemoveEntry(*journal, earlier);
        break;
      }
  }
  return true;
}

bool JournalPortMoves(InstallSession& session, PRINTER_INFO_2W* const* records, size_t count) {
  // A product printer needs no entry of its own: the carried printers'
  // entries bring it back on "Loomscribe:", and one without a "SubKey" is
  // never carried.
  size_t foreign = 0;
  for (size_t i = 0; i < count; ++i)
    if (records[i] && !IsProductDriverName(records[i]->pDriverName)) ++foreign;
  if (foreign == 0) return true;

  CarriedJournal* journal = OpenJournalForEntries(session);
  if (!journal) return false;
  const uint32_t first = journal->count;
  bool written = true;
  for (size_t i = 0; i < count && written; ++i) {
    const PRINTER_INFO_2W* record = records[i];
    if (!record || IsProductDriverName(record->pDriverName)) continue;
    JournalEntry* entry = record->pPrinterName ? NewEntry(*journal, record->pPrinterName) : nullptr;
    if (entry) entry->movedPort = CopyText(record->pPortName);
    if (!entry || !entry->movedPort) {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      written = false;
    } else {
      written = WriteEntry(*journal, *entry);
    }
  }
  return Commit(session, *journal, first, written);
}

void JournalPortMovesDone(InstallSession& session) {
  CarriedJournal* journal = session.Journal;
  if (!journal) return;
  for (uint32_t i = 0; i < journal->count; ++i) {
    JournalEntry& entry = journal->entries[i];
    if (!entry.earlier && entry.movedPort) RemoveEntry(*journal, entry);
  }
}

void JournalPrinterRecreated(InstallSession& session, const wchar_t* name) {
  CarriedJournal* journal = session.Journal;
  if (!journal) return;
  for (uint32_t i = 0; i < journal->count; ++i) {
    JournalEntry& entry = journal->entries[i];
    if (!entry.earlier && !entry.gone && Carries(entry) && SameName(entry.name, name))
      RemoveEntry(*journal, entry);
  }
}

int ReplayJournal(InstallSession& session) {
  CarriedJournal* journal = session.Journal;
  if (!journal) return 0;
  bool any = false;
  for (uint32_t i = 0; i < journal->count; ++i)
    if (journal->entries[i].earlier && !journal->entries[i].gone) any = true;
  if (!any) return 0;

  LogSection section(session, L">Recover printers of an unfinished run");
  int created = 0;
  // Newest first: should two entries of one name have survived, the newer
  // one decides and the older finds its printer there.
  for (;;) {
    JournalEntry* entry = nullptr;
    for (uint32_t i = 0; i < journal->count; ++i) {
      JournalEntry& e = journal->entries[i];
      if (e.earlier && !e.gone && (!entry || e.number > entry->number)) entry = &e;
    }
    if (!entry) break;
    if (entry->bad) {
      LogLine(session, L"Journal entry skipped: %s", Shown(*entry));
      RemoveEntry(*journal, *entry);
      continue;
    }
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    PrinterInfoBuffer info;
    Found found = Found::kNothing;
    if (Os().OpenPrinterW(entry->name, &printer, &defaults) && printer) {
      info = QueryPrinterInfo(printer);
      found = Look(printer, info);
    } else {
      printer = nullptr;
    }
    if (Carries(*entry))
      created += ReplayCarried(session, *entry, printer, found);
    else if (printer && found == Found::kOtherDriver)
      ReplayMove(session, *entry, printer, info);
    else
      LogLine(session, L"Journal entry skipped: %s", Shown(*entry));
    if (info.buffer) Os().GlobalFree(info.buffer);
    if (printer) Os().ClosePrinter(printer);
    RemoveEntry(*journal, *entry);
  }
  return created;
}

void ClearJournal(InstallSession& session) {
  ReleaseJournal(session);
  if (Os().RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCarriedPrintersKey) == ERROR_SUCCESS)
    Os().RegFlushKey(HKEY_LOCAL_MACHINE);
}

void ReleaseJournal(InstallSession& session) {
  CarriedJournal* journal = session.Journal;
  if (!journal) return;
  for (uint32_t i = 0; i < journal->count; ++i) FreeEntry(journal->entries[i]);
  Os().GlobalFree(journal->entries);
  Os().RegCloseKey(journal->key);
  Os().GlobalFree(journal);
  session.Journal = nullptr;
}

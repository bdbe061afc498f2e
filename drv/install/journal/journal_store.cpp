// The journal's layout, bounds and access list (see journal_store.h).
//
// Windows writes registry changes to disk lazily, each hive on its own: after
// a power cut a hive may lack anything written since its last flush. An entry
// therefore counts only once RegFlushKey has returned, and it goes only after
// what it stood for (printers and ports in the machine's hives, the default
// printer and markers in the user's) has been flushed too.
#include "journal/journal_store.h"

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <utility>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "product.h"

namespace journal {

namespace {

constexpr uint32_t kLayout = 1;
constexpr uint32_t kMaxNumber = 999999999;  // nine digits
constexpr DWORD kMaxOlderTextBytes = (kMaxTextChars + 1) * sizeof(wchar_t);
// SYSTEM and Administrators, nobody else; not inherited from above.
const wchar_t kAccessList[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
const wchar_t kProfileList[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

wchar_t* CopyText(const wchar_t* text, size_t length) {
  auto* copy = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (length + 1) * sizeof(wchar_t)));
  if (copy && length) std::wmemcpy(copy, text, length);
  return copy;
}

wchar_t* CopyText(const wchar_t* text) {
  return CopyText(text ? text : L"", text ? std::wcslen(text) : 0);
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

bool ValidSid(const BYTE* sid, DWORD bytes) {
  // Revision 1, at most 15 sub-authorities, and exactly the bytes they need.
  return bytes >= 8 && sid[0] == 1 && sid[1] <= 15 && bytes == 8u + 4u * sid[1];
}

// --- the value of one entry ------------------------------------------------

struct Reader {
  const BYTE* at;
  const BYTE* end;
  bool ok = true;
  uint32_t U32() {
    if (end - at < 4) {
      ok = false;
      return 0;
    }
    uint32_t v;
    std::memcpy(&v, at, 4);
    at += 4;
    return v;
  }
  // A text of at most kMaxTextChars units without a NUL inside.
  wchar_t* Text(bool allowEmpty) {
    uint32_t chars = U32();
    if (!ok || chars > kMaxTextChars || static_cast<size_t>(end - at) < chars * sizeof(wchar_t) ||
        (!allowEmpty && chars == 0)) {
      ok = false;
      return nullptr;
    }
    UniqueGlobal<wchar_t> text(
        static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (chars + 1) * sizeof(wchar_t))));
    if (!text) {
      ok = false;
      return nullptr;
    }
    std::memcpy(text.get(), at, chars * sizeof(wchar_t));
    at += chars * sizeof(wchar_t);
    if (std::wcslen(text.get()) != chars) {
      ok = false;
      return nullptr;
    }
    return text.release();
  }
};

void ParseValue(Entry& entry, const BYTE* data, DWORD bytes) {
  Reader r{data, data + bytes};
  bool ok = r.U32() == kLayout;
  entry.kind = r.U32();
  entry.flags = r.U32();
  entry.tries = r.U32();
  entry.sidBytes = r.U32();
  ok = ok && r.ok && entry.sidBytes <= kMaxSidBytes &&
       static_cast<size_t>(r.end - r.at) >= entry.sidBytes;
  if (ok && entry.sidBytes) {
    std::memcpy(entry.sid, r.at, entry.sidBytes);
    r.at += entry.sidBytes;
    ok = ValidSid(entry.sid, entry.sidBytes);
  }
  if (ok) entry.name = r.Text(false);
  if (ok && r.ok) entry.comment = r.Text(true);
  if (ok && r.ok) entry.location = r.Text(true);
  UniqueGlobal<wchar_t> moved((ok && r.ok) ? r.Text(true) : nullptr);
  UniqueGlobal<wchar_t> subKey((ok && r.ok) ? r.Text(true) : nullptr);
  ok = ok && r.ok && r.at == r.end;
  if (ok) {
    size_t chars = std::wcslen(subKey.get());
    ok = chars <= kSubKeyChars;
    for (size_t i = 0; ok && i < chars; ++i) {
      ok = subKey.get()[i] > 0 && subKey.get()[i] < 256;
      entry.subKey[i] = static_cast<char>(subKey.get()[i]);
    }
  }
  if (ok && moved && moved.get()[0]) entry.movedPort = moved.release();
  if (ok) {
    switch (entry.kind) {
      case kCarried:
        ok = entry.subKey[0] && !entry.movedPort && entry.flags <= 1;
        break;
      case kMoved:
        // Only a text that held "Loomscribe:" was ever moved.
        ok = !entry.subKey[0] && entry.movedPort && std::wcsstr(entry.movedPort, kProductPort);
        break;
      case kDefaultPasses:
        ok = !entry.subKey[0] && !entry.movedPort;
        break;
      default:
        ok = false;
    }
  }
  entry.bad = ok ? 0 : 1;
}

// Appends `count` bytes at `out` (null: only counts).
void Put(BYTE*& out, size_t& size, const void* data, size_t count) {
  if (out) {
    std::memcpy(out, data, count);
    out += count;
  }
  size += count;
}

void PutU32(BYTE*& out, size_t& size, uint32_t v) { Put(out, size, &v, 4); }

void PutText(BYTE*& out, size_t& size, const wchar_t* text) {
  uint32_t chars = text ? static_cast<uint32_t>(std::wcslen(text)) : 0;
  PutU32(out, size, chars);
  if (chars) Put(out, size, text, chars * sizeof(wchar_t));
}

size_t Serialize(const Entry& entry, BYTE* out) {
  size_t size = 0;
  PutU32(out, size, kLayout);
  PutU32(out, size, entry.kind);
  PutU32(out, size, entry.flags);
  PutU32(out, size, entry.tries);
  PutU32(out, size, entry.sidBytes);
  Put(out, size, entry.sid, entry.sidBytes);
  PutText(out, size, entry.name);
  PutText(out, size, entry.comment);
  PutText(out, size, entry.location);
  PutText(out, size, entry.movedPort);
  size_t chars = std::strlen(entry.subKey);
  PutU32(out, size, static_cast<uint32_t>(chars));
  for (size_t i = 0; i < chars; ++i) {
    wchar_t unit = static_cast<unsigned char>(entry.subKey[i]);
    Put(out, size, &unit, sizeof unit);
  }
  return size;
}

// --- entries of the older layout ----------------------------------------------

const wchar_t kName[] = L"Name";
const wchar_t kSubKey[] = L"SubKey";
const wchar_t kComment[] = L"Comment";
const wchar_t kLocation[] = L"Location";
const wchar_t kDefault[] = L"Default";
const wchar_t kMovedPort[] = L"MovedPort";

// A REG_SZ value of at most kMaxTextChars characters that ends in its one
// terminator; `out` receives a copy.
LSTATUS ReadText(HKEY key, const wchar_t* value, wchar_t** out, BYTE* scratch) {
  DWORD type = REG_NONE;
  DWORD bytes = kMaxOlderTextBytes;
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

void ReadOlderEntry(HKEY journal, Entry& entry, BYTE* scratch) {
  entry.olderLayout = 1;
  entry.bad = 1;
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
  DWORD bytes = kMaxOlderTextBytes;
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
      entry.flags = flag;
    }
    known += 4;
  } else if (subKey != ERROR_FILE_NOT_FOUND) {
    ok = false;
  }

  if (ok) {
    LSTATUS moved = ReadText(key, kMovedPort, &entry.movedPort, scratch);
    if (moved == ERROR_SUCCESS) {
      ++known;
      ok = std::wcsstr(entry.movedPort, kProductPort) != nullptr;
    } else if (moved != ERROR_FILE_NOT_FOUND) {
      ok = false;
    }
  }
  bool carries = entry.subKey[0] != '\0';
  ok = ok && (carries != (entry.movedPort != nullptr)) && values == known;
  entry.kind = carries ? kCarried : kMoved;
  entry.bad = ok ? 0 : 1;
}

// --- the key ----------------------------------------------------------------------

bool ProtectKey(HKEY key) {
  UniqueLocalBlock descriptor;
  if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorW(kAccessList, SDDL_REVISION_1,
                                                                 descriptor.put(), nullptr))
    return false;
  LSTATUS status = Os().RegSetKeySecurity(
      key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor.get());
  if (status != ERROR_SUCCESS) Os().SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

// The key open for reading and writing: made with the protected access list,
// or found and given it. ERROR_FILE_NOT_FOUND (key null) when it is missing
// and not to be made.
LSTATUS OpenKey(bool create, HKEY* key) {
  *key = nullptr;
  HKEY opened = nullptr;
  LSTATUS status =
      Os().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCarriedPrintersKey, 0, KEY_ALL_ACCESS, &opened);
  if (status == ERROR_SUCCESS) {
    UniqueKey held(opened);
    if (!ProtectKey(opened)) return static_cast<LSTATUS>(Os().GetLastError());
    *key = held.release();
    return ERROR_SUCCESS;
  }
  if (status != ERROR_FILE_NOT_FOUND || !create) return status;
  UniqueLocalBlock descriptor;
  if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorW(kAccessList, SDDL_REVISION_1,
                                                                 descriptor.put(), nullptr))
    return static_cast<LSTATUS>(Os().GetLastError());
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  DWORD disposition = 0;
  status = Os().RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCarriedPrintersKey, 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &attributes, &opened,
                                &disposition);
  if (status != ERROR_SUCCESS) return status;
  UniqueKey held(opened);
  // Made by someone else in the meantime: it gets the list all the same.
  if (disposition != REG_CREATED_NEW_KEY && !ProtectKey(opened))
    return static_cast<LSTATUS>(Os().GetLastError());
  *key = held.release();
  return ERROR_SUCCESS;
}

bool Grow(Store& store, uint32_t capacity) {
  EntryBlock& entries = store.entries;
  if (capacity <= entries.size()) return true;
  UniqueGlobal<Entry> grown(static_cast<Entry*>(Os().GlobalAlloc(GPTR, capacity * sizeof(Entry))));
  if (!grown) return false;
  if (entries)
    std::memcpy(static_cast<void*>(grown.get()), entries.get(), entries.size() * sizeof(Entry));
  // The texts went along with the records: only the old block goes.
  entries.TakeGrown(grown.release(), capacity);
  return true;
}

void NoteNumber(Store& store, Entry& entry) {
  if (entry.number >= store.nextNumber && entry.number < kMaxNumber)
    store.nextNumber = entry.number + 1;
  // A number at the very end of the range leaves none for new entries.
  if (entry.number >= kMaxNumber) entry.bad = 1;
}

// The next entry of the store, an earlier run's, named `name` (`chars`
// characters, as the enumeration gave them). False when its name cannot be
// copied: the reading stops there.
bool TakeEarlierEntry(Store& store, const wchar_t* name, DWORD chars) {
  Entry& entry = store.entries[store.count];
  entry = Entry{};
  entry.keyName = CopyText(name, chars < 256 ? chars : 255);
  if (!entry.keyName) return false;
  ++store.count;
  entry.earlier = 1;
  entry.number = NumberOf(entry.keyName);
  return true;
}

void ReadEntries(Store& store, DWORD values, DWORD subKeys, BYTE* scratch) {
  wchar_t name[256];
  // The values: this layout.
  for (DWORD index = 0; index < values; ++index) {
    DWORD chars = 256;
    DWORD type = REG_NONE;
    DWORD bytes = kMaxValueBytes;
    LSTATUS status =
        Os().RegEnumValueW(store.key.get(), index, name, &chars, nullptr, &type, scratch, &bytes);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) break;
    // The previous installation's record lies beside the entries.
    if (chars < 256 && _wcsicmp(name, kPreviousValue) == 0) continue;
    if (store.count >= kMaxEntries) {
      ++store.unread;
      continue;
    }
    if (!TakeEarlierEntry(store, name, chars)) break;
    Entry& entry = store.entries[store.count - 1];
    // A value over the bound, of another type or name, is no entry of ours.
    if (status == ERROR_MORE_DATA || type != REG_BINARY || entry.number == 0)
      entry.bad = 1;
    else
      ParseValue(entry, scratch, bytes);
    NoteNumber(store, entry);
  }
  // The sub-keys: the older layout.
  for (DWORD index = 0; index < subKeys; ++index) {
    DWORD chars = 256;
    LSTATUS status =
        Os().RegEnumKeyExW(store.key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    if (store.count >= kMaxEntries) {
      ++store.unread;
      continue;
    }
    if (!TakeEarlierEntry(store, name, chars)) break;
    Entry& entry = store.entries[store.count - 1];
    ReadOlderEntry(store.key.get(), entry, scratch);
    NoteNumber(store, entry);
  }
}

void Delete(Store& store, Entry& entry) {
  if (entry.gone || !entry.keyName) return;
  if (entry.olderLayout)
    Os().RegDeleteTreeW(store.key.get(), entry.keyName);
  else
    Os().RegDeleteValueW(store.key.get(), entry.keyName);
  entry.gone = 1;
}

}  // namespace

void FreeEntry(Entry& entry) {
  for (wchar_t** text :
       {&entry.keyName, &entry.name, &entry.comment, &entry.location, &entry.movedPort}) {
    UniqueGlobal<wchar_t> freed(*text);
    *text = nullptr;
  }
}


bool Open(Store& store, bool create, uint32_t extra) {
  if (store.opened && (store.key || !create)) return Grow(store, store.count + extra + 1);
  HKEY key = nullptr;
  LSTATUS status = OpenKey(create, &key);
  if (status == ERROR_FILE_NOT_FOUND && !create) {
    store.opened = 1;
    return Grow(store, store.count + extra + 1);
  }
  if (status != ERROR_SUCCESS) {
    Os().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  UniqueKey held(key);
  DWORD subKeys = 0, values = 0;
  status = Os().RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                 &values, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    Os().SetLastError(static_cast<DWORD>(status));
    return false;
  }
  uint32_t listed = values + subKeys;
  uint32_t reading = listed < kMaxEntries ? listed : kMaxEntries;
  UniqueGlobal<BYTE> scratch(static_cast<BYTE*>(Os().GlobalAlloc(GPTR, kMaxValueBytes)));
  if (!scratch || !Grow(store, store.count + reading + extra + 1)) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  store.key = std::move(held);
  store.opened = 1;
  ReadEntries(store, values, subKeys, scratch.get());
  return true;
}

Entry* NewEntry(Store& store, uint32_t kind, const wchar_t* name) {
  if ((store.count >= static_cast<uint32_t>(store.entries.size()) &&
       !Grow(store, static_cast<uint32_t>(store.entries.size()) * 2 + 8)) ||
      store.nextNumber >= kMaxNumber)
    return nullptr;
  Entry& entry = store.entries[store.count];
  entry = Entry{};
  wchar_t keyName[16];
  _snwprintf_s(keyName, 16, _TRUNCATE, L"%u", store.nextNumber);
  entry.keyName = CopyText(keyName);
  entry.name = CopyText(name);
  entry.number = store.nextNumber;
  entry.kind = kind;
  if (!entry.keyName || !entry.name) {
    FreeEntry(entry);
    return nullptr;
  }
  ++store.nextNumber;
  ++store.count;
  return &entry;
}

bool Write(Store& store, Entry& entry) {
  if (!store.key) {
    Os().SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (entry.olderLayout) {
    // Written anew in this layout under a number of its own; the older key
    // goes once the value stands.
    if (store.nextNumber >= kMaxNumber) {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    wchar_t keyName[16];
    _snwprintf_s(keyName, 16, _TRUNCATE, L"%u", store.nextNumber);
    UniqueGlobal<wchar_t> fresh(CopyText(keyName));
    if (!fresh) {
      Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    UniqueGlobal<wchar_t> olderName(entry.keyName);
    uint32_t olderNumber = entry.number;
    entry.keyName = fresh.release();
    entry.olderLayout = 0;
    entry.number = store.nextNumber++;
    if (!Write(store, entry)) {
      fresh.reset(entry.keyName);
      entry.keyName = olderName.release();
      entry.number = olderNumber;
      entry.olderLayout = 1;
      return false;
    }
    Os().RegDeleteTreeW(store.key.get(), olderName.get());
    return true;
  }
  size_t bytes = Serialize(entry, nullptr);
  UniqueGlobal<BYTE> value(static_cast<BYTE*>(Os().GlobalAlloc(GPTR, bytes)));
  if (!value) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  Serialize(entry, value.get());
  LSTATUS status = Os().RegSetValueExW(store.key.get(), entry.keyName, 0, REG_BINARY, value.get(),
                                       static_cast<DWORD>(bytes));
  if (status != ERROR_SUCCESS) Os().SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

bool Flush(Store& store) {
  if (!store.key) return true;
  LSTATUS status = Os().RegFlushKey(store.key.get());
  if (status != ERROR_SUCCESS) Os().SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

void TakeBack(Store& store, uint32_t first) {
  DWORD error = Os().GetLastError();
  // The numbers are taken back too: read before the entries are cleared.
  uint32_t firstNumber = first < store.count ? store.entries[first].number : 0;
  for (uint32_t i = first; i < store.count; ++i) {
    if (store.key && store.entries[i].keyName)
      Os().RegDeleteValueW(store.key.get(), store.entries[i].keyName);
    FreeEntry(store.entries[i]);
    store.entries[i] = Entry{};
  }
  if (firstNumber) store.nextNumber = firstNumber;
  if (store.count > first) store.count = first;
  Os().SetLastError(error);
}

void RemoveDecided(Store& store) {
  bool any = false;
  for (uint32_t i = 0; i < store.count; ++i)
    if (store.entries[i].dropping && !store.entries[i].gone) any = true;
  if (!any || !store.key) return;
  if (!store.hivesFlushed) {
    Os().RegFlushKey(HKEY_LOCAL_MACHINE);
    Os().RegFlushKey(HKEY_CURRENT_USER);
    store.hivesFlushed = 1;
  }
  // Every entry of the key decided (none left unread, none kept): the key is
  // emptied in one call, its access list stays.
  // The previous installation's record beside the entries stays.
  bool all = store.unread == 0 &&
             Os().RegQueryValueExW(store.key.get(), kPreviousValue, nullptr, nullptr, nullptr,
                                   nullptr) == ERROR_FILE_NOT_FOUND;
  for (uint32_t i = 0; i < store.count && all; ++i)
    all = store.entries[i].gone || store.entries[i].dropping;
  if (all && Os().RegDeleteTreeW(store.key.get(), nullptr) == ERROR_SUCCESS) {
    for (uint32_t i = 0; i < store.count; ++i) store.entries[i].gone = 1;
    return;
  }
  for (uint32_t i = 0; i < store.count; ++i)
    if (store.entries[i].dropping) Delete(store, store.entries[i]);
}

void Close(Store& store) { store = Store(); }

bool ReadPreviousRecord(BYTE* data, DWORD* bytes) {
  HKEY opened = nullptr;
  if (OpenKey(false, &opened) != ERROR_SUCCESS || !opened) return false;
  UniqueKey key(opened);
  DWORD type = REG_NONE;
  LSTATUS status = Os().RegQueryValueExW(key.get(), kPreviousValue, nullptr, &type, data, bytes);
  return status == ERROR_SUCCESS && type == REG_BINARY;
}

bool WritePreviousRecord(Store& store, const BYTE* data, DWORD bytes) {
  LSTATUS status = store.key ? Os().RegSetValueExW(store.key.get(), kPreviousValue, 0, REG_BINARY, data,
                                                   bytes)
                             : ERROR_INVALID_HANDLE;
  if (status != ERROR_SUCCESS) Os().SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

void DeletePreviousRecord() {
  HKEY opened = nullptr;
  if (OpenKey(false, &opened) != ERROR_SUCCESS || !opened) return;
  UniqueKey key(opened);
  Os().RegDeleteValueW(key.get(), kPreviousValue);
}

void Clear() {
  if (Os().RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCarriedPrintersKey) == ERROR_SUCCESS)
    Os().RegFlushKey(HKEY_LOCAL_MACHINE);
}

bool OwnAccount(BYTE* sid, DWORD* sidBytes) {
  *sidBytes = 0;
  UniqueKernelObject token;
  if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[256];
  } data;
  DWORD needed = 0;
  if (!Os().GetTokenInformation(token.get(), TokenUser, &data, sizeof(data), &needed) ||
      !data.user.User.Sid)
    return false;
  const BYTE* own = static_cast<const BYTE*>(data.user.User.Sid);
  DWORD bytes = 8u + 4u * own[1];
  if (own[1] > 15 || !ValidSid(own, bytes)) return false;
  std::memcpy(sid, own, bytes);
  *sidBytes = bytes;
  return true;
}

bool SameAccount(const Entry& entry, const BYTE* sid, DWORD sidBytes) {
  // An entry without an account belongs to whoever runs next.
  if (entry.sidBytes == 0) return true;
  return entry.sidBytes == sidBytes && std::memcmp(entry.sid, sid, sidBytes) == 0;
}

void AccountText(const Entry& entry, wchar_t* text, size_t chars) {
  text[0] = L'\0';
  if (!ValidSid(entry.sid, entry.sidBytes)) return;
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | entry.sid[i];
  int n = _snwprintf_s(text, chars, _TRUNCATE, L"S-%u-%llu", entry.sid[0],
                       static_cast<unsigned long long>(authority));
  for (int i = 0; i < entry.sid[1] && n > 0; ++i) {
    uint32_t part;
    std::memcpy(&part, entry.sid + 8 + 4 * i, 4);
    int more = _snwprintf_s(text + n, chars - static_cast<size_t>(n), _TRUNCATE, L"-%u", part);
    n = more < 0 ? -1 : n + more;
  }
}

bool AccountProfileExists(const Entry& entry) {
  if (entry.sidBytes == 0) return true;
  wchar_t path[300];
  wchar_t account[192];
  AccountText(entry, account, 192);
  _snwprintf_s(path, 300, _TRUNCATE, L"%s%s", kProfileList, account);
  UniqueKey key;
  LSTATUS status = Os().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put());
  // Only a profile list that answers "no such key" says the account is gone.
  return status != ERROR_FILE_NOT_FOUND;
}

const wchar_t* Shown(const Entry& entry) {
  if (entry.name && entry.name[0]) return entry.name;
  return entry.keyName ? entry.keyName : L"";
}

}  // namespace journal

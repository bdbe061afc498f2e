// The journal of carried printers as it lies in the registry: what a
// re-install is about to take away, kept so that no run, cut off or failed,
// costs the user a printer.
//
// Key: HKEY_LOCAL_MACHINE "SOFTWARE\Tamarel Software KFT\Loomscribe\CarriedPrinters"
// (kCarriedPrintersKey), written only by this program: SYSTEM and
// Administrators may write it, nobody else (the access list is protected,
// set when the key is made and again before an existing key is read).
//
// One REG_BINARY value per entry, named by a decimal number (printer names
// may hold characters a value name may not). The value, little-endian:
//   u32 layout (1)  u32 kind  u32 flags  u32 tries  u32 sid bytes, the SID,
//   then five texts, each a u32 count of UTF-16 units and the units:
//   name, comment, location, moved port, sub-key (one unit per ANSI byte).
// Kinds: 1 a carried printer (name, "SubKey", comment, location; flag 1:
// it was the default printer of the account named by the SID), 2 a port text
// moved to "file:" (name, moved port), 3 the account's default printer
// passes to the first product printer the run creates (name: the printer
// that was the default). `tries` counts the runs that could have replayed the
// entry and failed.
//
// Older runs wrote one numbered sub-key per entry with the values "Name",
// "SubKey" (REG_BINARY), "Comment", "Location", "Default" (REG_DWORD) or
// "Name" and "MovedPort"; such entries are read and replayed the same way and
// belong to the account of the run that meets them.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/unique_handle.h"

namespace journal {

enum Kind : uint32_t { kCarried = 1, kMoved = 2, kDefaultPasses = 3 };

// Bounds of what is read: an entry beyond them was not written by this
// program and is bad.
constexpr uint32_t kMaxEntries = 4096;       // read per run; the rest waits
constexpr DWORD kMaxValueBytes = 64 * 1024;  // one entry's value
constexpr size_t kMaxTextChars = 4096;       // one text of an entry
constexpr size_t kSubKeyChars = 63;
constexpr DWORD kMaxSidBytes = SECURITY_MAX_SID_SIZE;

struct Entry {
  uint32_t number = 0;   // its value's (or older key's) name, 0 when not a number
  uint8_t olderLayout = 0;
  uint8_t earlier = 0;   // left by an earlier run
  uint8_t bad = 0;       // unusable content: only shown and removed
  uint8_t gone = 0;      // removed (or about to be)
  uint8_t dropping = 0;  // decided: goes with the next RemoveDecided
  uint8_t visited = 0;   // looked at by this run's replay
  uint32_t kind = 0;
  uint32_t flags = 0;    // kCarried: 1 = the default printer
  uint32_t tries = 0;
  BYTE sid[kMaxSidBytes] = {};
  DWORD sidBytes = 0;    // 0: the entry names no account
  wchar_t* keyName = nullptr;  // the value's or older key's name as found
  wchar_t* name = nullptr;
  wchar_t* comment = nullptr;
  wchar_t* location = nullptr;
  wchar_t* movedPort = nullptr;
  char subKey[kSubKeyChars + 1] = {};
};

// Frees the texts an entry points to, leaving them null.
void FreeEntry(Entry& entry);

// The entries of a store: one global-heap block of records, those not in use
// zero. Every text a record points to is a global-heap block of its own; the
// texts and the block go with the owner.
using EntryBlock = GlobalArray<Entry, &FreeEntry>;

struct Store {
  UniqueKey key;          // open for reading and writing, or null
  EntryBlock entries;
  uint32_t count = 0;
  uint32_t nextNumber = 1;
  uint32_t unread = 0;    // entries beyond kMaxEntries, left for a later run
  uint8_t opened = 0;     // Open ran (whatever it found)
  uint8_t hivesFlushed = 0;
};

// Opens the key (creating it when `create`), protects it, and reads up to
// kMaxEntries entries, with room for `extra` entries of this run. Without
// `create` a missing key is an empty journal. False, with the last error
// set, when the key cannot be had, protected or read.
bool Open(Store& store, bool create, uint32_t extra);
// A new entry of this run (its number taken, texts copied); null when no
// room or memory. Not yet written.
Entry* NewEntry(Store& store, uint32_t kind, const wchar_t* name);
// Writes an entry of this run, or rewrites one (its tries, its account):
// one value. An older-layout entry is written anew under a new number and its
// key goes. False with the last error set.
bool Write(Store& store, Entry& entry);
bool Flush(Store& store);
// Forgets entries of this run from `first` on, removing what was written.
void TakeBack(Store& store, uint32_t first);
// Removes every entry marked `dropping`. Before the first removal of the run
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are flushed, so that the printers,
// ports and per-user settings an entry stood for are on disk before it goes.
void RemoveDecided(Store& store);
void Close(Store& store);
// The whole key goes (the end of a completed uninstall).
void Clear();

// The record of the kept previous installation (previous/previous.h): one
// REG_BINARY value of the key, beside the entries, which the entries'
// reading passes over.
inline constexpr wchar_t kPreviousValue[] = L"Previous";
// Reads it into `data` (`*bytes` its size on the way in and out), the key
// protected first. False when there is none or it cannot be read.
bool ReadPreviousRecord(BYTE* data, DWORD* bytes);
// Written on an open store, flushed with its entries.
bool WritePreviousRecord(Store& store, const BYTE* data, DWORD bytes);
// The record goes (a missing one is no failure).
void DeletePreviousRecord();

// The account this program runs as; false when it cannot be read.
bool OwnAccount(BYTE* sid, DWORD* sidBytes);
bool SameAccount(const Entry& entry, const BYTE* sid, DWORD sidBytes);
// "S-1-5-21-..." of the entry's account into `text` (at least 192 chars).
void AccountText(const Entry& entry, wchar_t* text, size_t chars);
// Whether the account still has a profile on this machine.
bool AccountProfileExists(const Entry& entry);

// The name an entry is shown by in the log.
const wchar_t* Shown(const Entry& entry);

}  // namespace journal

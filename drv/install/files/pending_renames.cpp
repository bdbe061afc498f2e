// The file operations Windows holds for its next restart.
//
// The registry value is read as it is: whatever a program (or damage) left
// there, the walk stays inside the bytes the registry returned. Strings need
// not be terminated, the byte count need not be even, and nothing needs to
// look like a path.
#include <cstring>
#include <cwchar>

#include "files/files.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// One walk over the value's characters. Strings are taken while the position
// is below `limit` (so the list's closing NUL is never a string); a string
// ends at its NUL or at the end of the data, whichever comes first.
struct Walk {
  const wchar_t* chars;
  size_t total;  // characters in the data (an odd last byte is not one)
  size_t limit;
  size_t position = 0;

  bool Next(const wchar_t** text, size_t* length) {
    if (position >= limit) return false;
    size_t end = position;
    while (end < total && chars[end] != L'\0') ++end;
    *text = chars + position;
    *length = end - position;
    position = end + 1;
    return true;
  }
};

Walk StartWalk(const BYTE* data, DWORD bytes) {
  Walk walk{reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t), 0};
  walk.limit = bytes >= 4 ? (bytes - 2) / sizeof(wchar_t) : 0;
  return walk;
}

void* ZeroedGlobal(SIZE_T bytes) { return Os().GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes); }

// The path as Windows' own calls take it: the NT prefix skipped. Only paths
// on a local drive are used. A relative one would be resolved against this
// program's current directory and name an unrelated file; a network path
// ("\??\UNC\server\share\...", "\\server\share\...") is never a boot-time
// operation Windows carries out, and testing it can wait on a server that
// does not answer. Returns null for a path that is not used.
const wchar_t* UsablePath(const wchar_t* entry) {
  const wchar_t* path = SkipNtPrefix(entry);
  bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
               path[1] == L':' && path[2] == L'\\';
  return drive ? path : nullptr;
}

int32_t IsExistingFile(const wchar_t* entry) {
  const wchar_t* path = UsablePath(entry);
  if (!path) return 0;
  DWORD attributes = Os().GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Builds the table from the raw value. Any allocation failure gives the
// empty table: a table missing some entries could make a queued rename look
// like a queued deletion.
PendingRenameTable ParsePendingRenames(const BYTE* data, DWORD bytes) {
  PendingRenameTable table;
  size_t strings = 0;
  {
    Walk walk = StartWalk(data, bytes);
    const wchar_t* text;
    size_t length;
    while (walk.Next(&text, &length)) ++strings;
  }
  const size_t pairs = strings / 2;
  if (pairs == 0 || pairs > INT32_MAX / 2) return table;

  table.entries =
      GlobalTexts(static_cast<wchar_t**>(ZeroedGlobal(2 * pairs * sizeof(wchar_t*))), 2 * pairs);
  table.isFile.reset(static_cast<int32_t*>(ZeroedGlobal(2 * pairs * sizeof(int32_t))));
  table.pairCount = static_cast<int32_t>(pairs);
  if (!table.entries || !table.isFile) return PendingRenameTable();

  Walk walk = StartWalk(data, bytes);
  const wchar_t* text;
  size_t length;
  for (size_t i = 0; i < 2 * pairs && walk.Next(&text, &length); ++i) {
    if (length == 0) continue;  // null entry, flag 0
    auto* copy = static_cast<wchar_t*>(ZeroedGlobal((length + 1) * sizeof(wchar_t)));
    if (!copy) return PendingRenameTable();
    wmemcpy(copy, text, length);
    table.entries[i] = copy;
    table.isFile.get()[i] = IsExistingFile(copy);
  }
  return table;
}

}  // namespace

const wchar_t* SkipNtPrefix(const wchar_t* path) {
  // Each test stops at the first mismatch, so a shorter string is never read
  // past its terminator.
  if (path && path[0] == L'\\' && path[1] == L'?' && path[2] == L'?' && path[3] == L'\\')
    return path + 4;
  return path;
}

PendingRenameTable ReadPendingRenames() {
  PendingRenameTable table;
  UniqueKey key;
  if (Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS)
    return table;
  DWORD size = 0;
  if (Os().RegQueryValueExW(key.get(), kPendingValue, nullptr, nullptr, nullptr, &size) !=
          ERROR_SUCCESS ||
      size == 0)
    return table;
  UniqueGlobal<BYTE> data(static_cast<BYTE*>(ZeroedGlobal(size)));
  DWORD read = size;
  // The value may change between the two reads; a failed second read (it
  // grew: ERROR_MORE_DATA) gives nothing, and a read never counts as more
  // than the block holds.
  LSTATUS status =
      data ? Os().RegQueryValueExW(key.get(), kPendingValue, nullptr, nullptr, data.get(), &read)
           : ERROR_NOT_ENOUGH_MEMORY;
  key.reset();  // the key is let go before the paths are looked at
  if (data && status == ERROR_SUCCESS)
    table = ParsePendingRenames(data.get(), read < size ? read : size);
  return table;
}

void ApplyPendingDeletes(PendingRenameTable& table) {
  if (!table.entries || !table.isFile) return;
  for (int32_t pair = 0; pair < table.pairCount; ++pair) {
    const int32_t source = 2 * pair;
    if (table.isFile.get()[source] != 1 || !table.entries[source] || table.entries[source + 1])
      continue;
    const wchar_t* path = UsablePath(table.entries[source]);
    if (path && Os().DeleteFileW(path)) {
      table.isFile.get()[source] = 0;
      // Done now, so not again at the next boot: by then a new install may
      // have put a file of the same name back.
      DropQueuedDeletion(table.entries[source]);
    }
  }
}

bool DropQueuedDeletion(const wchar_t* source) {
  if (!source || !*source) return false;
  UniqueKey key;
  if (Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ | KEY_SET_VALUE,
                         key.put()) != ERROR_SUCCESS)
    return false;
  bool dropped = false;
  DWORD type = REG_NONE, size = 0;
  UniqueGlobal<BYTE> block;
  if (Os().RegQueryValueExW(key.get(), kPendingValue, nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      size > 0 && (block.reset(static_cast<BYTE*>(ZeroedGlobal(size))), block)) {
    BYTE* data = block.get();
    DWORD read = size;
    if (Os().RegQueryValueExW(key.get(), kPendingValue, nullptr, &type, data, &read) ==
            ERROR_SUCCESS &&
        read <= size) {
      const size_t wanted = wcslen(source);
      Walk walk = StartWalk(data, read);
      const wchar_t *from, *to;
      size_t fromLength, toLength;
      for (;;) {
        size_t start = walk.position;
        if (!walk.Next(&from, &fromLength) || !walk.Next(&to, &toLength)) break;
        if (toLength != 0 || fromLength != wanted || wmemcmp(from, source, wanted) != 0) continue;
        // The pair's two strings with their terminators; the bytes before and
        // after it stay exactly as they were.
        size_t end = walk.position < walk.total ? walk.position : walk.total;
        size_t cutFrom = start * sizeof(wchar_t), cutTo = end * sizeof(wchar_t);
        memmove(data + cutFrom, data + cutTo, read - cutTo);
        DWORD left = static_cast<DWORD>(read - (cutTo - cutFrom));
        Walk rest = StartWalk(data, left);
        if (rest.Next(&from, &fromLength))
          dropped =
              Os().RegSetValueExW(key.get(), kPendingValue, 0, type, data, left) == ERROR_SUCCESS;
        else
          dropped = Os().RegDeleteValueA(key.get(), "PendingFileRenameOperations") == ERROR_SUCCESS;
        break;
      }
    }
  }
  return dropped;
}

// The run's log file. The folder lies below %ProgramData%, where every user
// may create folders of his own: a folder of that name that someone else made
// (or a link planted in its place) is therefore never trusted, and the file
// itself is always created new and never opened through a link, so no name
// prepared in advance can turn the elevated write against another file.
#include "session/log_file.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "files/safe_folder.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/log_window.h"
#include "session/session.h"

// Owned by Administrators; SYSTEM and Administrators have full control,
// authenticated users may read (a support person without elevation can open
// the logs); nothing is inherited from %ProgramData%, which lets users write.
const wchar_t kLogFolderAccessList[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";

namespace {

constexpr size_t kPathChars = MAX_PATH + 64;
constexpr int kNameTries = 100;
bool Compose(wchar_t* out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf_s(out, kPathChars, _TRUNCATE, format, args);
  va_end(args);
  return n >= 0;
}

bool WriteAll(HANDLE file, const void* data, uint64_t bytes) {
  const BYTE* p = static_cast<const BYTE*>(data);
  while (bytes > 0) {
    // In pieces: a log can outgrow what one WriteFile takes.
    DWORD chunk = bytes > 0x200000 ? 0x200000 : static_cast<DWORD>(bytes);
    DWORD written = 0;
    if (!Os().WriteFile(file, p, chunk, &written, nullptr) || written != chunk) return false;
    p += chunk;
    bytes -= chunk;
  }
  return true;
}

// The handle names one ordinary file with one name: not a link, not a
// directory, no second name by which someone else reaches it.
bool HandleIsPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info = {};
  return Os().GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
         !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
}

// A new file of this run in the held folder, or null; `name` gets its name.
// A new file is made only where nothing stands (a file, a link, dangling or
// not): the next name is tried instead.
HANDLE CreateLogFile(HANDLE folder, const wchar_t* kind, wchar_t* name) {
  SYSTEMTIME now = {};
  Os().GetLocalTime(&now);
  for (int attempt = 1; attempt <= kNameTries; ++attempt) {
    wchar_t counter[16] = L"";
    if (attempt > 1) _snwprintf_s(counter, 16, _TRUNCATE, L"-%d", attempt);
    if (_snwprintf_s(name, MAX_PATH, _TRUNCATE, L"%s-%04u%02u%02u-%02u%02u%02u-%03u%s.log", kind,
                     now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                     now.wMilliseconds, counter) < 0)
      return nullptr;
    HANDLE created = nullptr;
    NTSTATUS code = CreateInFolder(folder, name, GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE, nullptr,
                                   created);
    UniqueKernelObject file(created);
    if (code == kNameCollision) continue;
    if (!file) return nullptr;
    if (HandleIsPlainFile(file.get())) return file.release();
    // Not what FILE_CREATE makes: leave it as it is, unwritten.
    return nullptr;
  }
  return nullptr;
}

bool IsProgramLogName(const wchar_t* name) {
  size_t length = std::wcslen(name);
  bool prefix = PathBeginsWith(name, L"install-", 8) || PathBeginsWith(name, L"uninstall-", 10);
  return prefix && length > 4 && SamePathText(name + length - 4, L".log");
}

struct LogEntry {
  uint64_t written;
  bool later;  // dated after this run's own file (a clock set back since)
  wchar_t name[MAX_PATH];
};

uint64_t Ticks(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// Oldest first; files dated after this run's own count as the oldest of all.
bool Older(const LogEntry& a, const LogEntry& b) {
  if (a.later != b.later) return a.later;
  return a.written < b.written || (a.written == b.written && std::wcscmp(a.name, b.name) < 0);
}

// The files in the folder named like the program's logs, in one heap block
// (null when there are none or memory ran out).
LogEntry* ListLogFiles(const wchar_t* folder, size_t& count) {
  count = 0;
  wchar_t pattern[kPathChars];
  if (!Compose(pattern, L"%s\\*", folder)) return nullptr;
  WIN32_FIND_DATAW found = {};
  UniqueFind search(Os().FindFirstFileW(pattern, &found));
  if (!search) return nullptr;
  HANDLE heap = Os().GetProcessHeap();
  LogEntry* entries = nullptr;
  size_t capacity = 0;
  do {
    // A link is never taken for a log file: deleting it could reach its target.
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !IsProgramLogName(found.cFileName))
      continue;
    if (count == capacity) {
      size_t grown = capacity ? capacity * 2 : 32;
      void* block = entries ? Os().HeapReAlloc(heap, 0, entries, grown * sizeof(LogEntry))
                            : Os().HeapAlloc(heap, 0, grown * sizeof(LogEntry));
      if (!block) break;
      entries = static_cast<LogEntry*>(block);
      capacity = grown;
    }
    entries[count].written = Ticks(found.ftLastWriteTime);
    entries[count].later = false;
    wcsncpy_s(entries[count].name, found.cFileName, _TRUNCATE);
    ++count;
  } while (Os().FindNextFileW(search.get(), &found));
  return entries;
}

// Whether `head` begins as every build of the program begins its logs: the
// byte-order mark, then the window's title with any build number.
bool HasLogTitle(const wchar_t* head, size_t chars) {
  const wchar_t* mark = std::wcsstr(kLogTitleFormat, L"%d");
  if (!mark || chars < 1 || head[0] != L'\xFEFF') return false;
  size_t before = static_cast<size_t>(mark - kLogTitleFormat);
  const wchar_t* after = mark + 2;
  size_t at = 1;
  if (chars < at + before || std::wmemcmp(head + at, kLogTitleFormat, before) != 0) return false;
  at += before;
  size_t digits = 0;
  while (at < chars && digits < 10 && head[at] >= L'0' && head[at] <= L'9') ++at, ++digits;
  size_t rest = std::wcslen(after);
  return digits > 0 && chars >= at + rest && std::wmemcmp(head + at, after, rest) == 0;
}

// Whether the file at `path` is one of the program's logs: an ordinary file
// with one name that begins with the byte-order mark and the window's title.
// Wine shows a symbolic link as the file it points to, and deleting it there
// deletes the target; what does not read as a log is therefore left alone.
bool IsOwnLogFile(const wchar_t* path) {
  UniqueFile file(Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file || !HandleIsPlainFile(file.get())) return false;
  wchar_t head[64] = {};
  DWORD got = 0;
  return Os().ReadFile(file.get(), head, sizeof(head), &got, nullptr) &&
         HasLogTitle(head, got / sizeof(wchar_t));
}

// Deletes the oldest of the program's log files until ten are left, in one
// pass. Each file is written once, when its run ends, so its time of last
// writing is the run's time (also across a change to or from summer time,
// which the names do not survive). Only files that read as the program's
// logs count and go; this run's own file always stays.
void PruneLogFiles(const wchar_t* folder, const wchar_t* current) {
  size_t count = 0;
  UniqueHeap<LogEntry> list(ListLogFiles(folder, count));
  if (!list) return;
  LogEntry* entries = list.get();
  uint64_t currentWritten = 0;
  bool currentListed = false;
  size_t logs = 0;
  for (size_t i = 0; i < count; ++i) {
    wchar_t path[kPathChars];
    if (SamePathText(entries[i].name, current)) {
      currentListed = true;
      currentWritten = entries[i].written;
      entries[i--] = entries[--count];
      continue;
    }
    if (!Compose(path, L"%s\\%s", folder, entries[i].name) || !IsOwnLogFile(path)) {
      entries[i--] = entries[--count];
      continue;
    }
    ++logs;
  }
  if (!currentListed) return;
  size_t kept = logs + 1;
  if (kept <= kLogFilesKept) return;
  for (size_t i = 0; i < count; ++i) entries[i].later = entries[i].written > currentWritten;
  std::sort(entries, entries + count, Older);
  for (size_t i = 0; i < count && kept > kLogFilesKept; ++i) {
    wchar_t path[kPathChars];
    if (Compose(path, L"%s\\%s", folder, entries[i].name) && Os().DeleteFileW(path)) --kept;
  }
}

}  // namespace

bool WriteRunLogFile(InstallSession& session, const wchar_t* kind, bool prune) {
  wchar_t base[MAX_PATH] = {};
  if (FAILED(Os().SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                   base)) ||
      !base[0])
    return false;
  OwnAccount own;
  ReadOwnAccount(own);
  wchar_t product[kPathChars], logs[kPathChars];
  if (!Compose(product, L"%s\\%s", base, kProductFolderName) ||
      !Compose(logs, L"%s\\Logs", product))
    return false;

  // %ProgramData% itself lets every user make folders in it; what the
  // program makes there is opened through this handle, by name.
  UniqueFile root(Os().CreateFileW(base, FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!root) return false;
  const wchar_t* fault = nullptr;
  UniqueKernelObject parent(
      OpenSafeFolder(root.get(), kProductFolderName, kLogFolderAccessList, own, &fault));
  UniqueKernelObject folder;
  if (parent)
    folder.reset(OpenSafeFolder(parent.get(), L"Logs", kLogFolderAccessList, own, &fault));
  if (!folder) {
    // Not an error of the run: the folder is someone else's, and the log
    // stays in the window only.
    if (fault)
      LogLine(session, L"No log file written: %s is left as it is, because %s",
              parent ? logs : product, fault);
    return false;
  }
  wchar_t name[MAX_PATH] = {};
  bool whole = false;
  // The new file is closed before the pruning looks at the folder.
  if (UniqueKernelObject file(CreateLogFile(folder.get(), kind, name)); file) {
    wchar_t title[264];
    FormatLogWindowTitle(session, title, 264);
    const wchar_t bom = 0xFEFF;
    HANDLE out = file.get();
    whole = WriteAll(out, &bom, sizeof(bom)) &&
            WriteAll(out, title, std::wcslen(title) * sizeof(wchar_t)) &&
            WriteAll(out, L"\r\n", 2 * sizeof(wchar_t)) &&
            WriteAll(out, Text(session.InstallLog), Length(session.InstallLog) * sizeof(wchar_t));
    file.reset();
    if (prune) PruneLogFiles(logs, name);
  }
  return whole;
}

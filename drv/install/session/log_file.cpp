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
constexpr size_t kPruneLooks = 100;
// Rights that change a folder or what is in it.
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// This process's own account, when it can be read.
struct OwnAccount {
  union {
    TOKEN_USER user;
    BYTE bytes[256];
  } data;
  bool known = false;
};

void ReadOwnAccount(OwnAccount& own) {
  own.known = false;
  UniqueKernelObject token;
  if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_QUERY, token.put())) return;
  DWORD needed = 0;
  own.known =
      Os().GetTokenInformation(token.get(), TokenUser, &own.data, sizeof(own.data), &needed) &&
      own.data.user.User.Sid;
}

// SYSTEM, Administrators, and the account this program runs as (elevated, an
// administrator; running as SYSTEM, SYSTEM): whoever else could write to the
// folder could prepare what the program writes through.
bool TrustedOwner(PSID sid, const OwnAccount& own) {
  if (!sid) return false;
  if (Os().IsWellKnownSid(sid, WinLocalSystemSid) ||
      Os().IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
    return true;
  return own.known && Os().EqualSid(sid, own.data.user.User.Sid);
}

// In an access list, CREATOR OWNER and OWNER RIGHTS stand for the owner,
// who has been checked already.
bool TrustedGrantee(PSID sid, const OwnAccount& own) {
  return TrustedOwner(sid, own) || Os().IsWellKnownSid(sid, WinCreatorOwnerSid) ||
         Os().IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

bool OnlyTrustedMayWrite(PACL dacl, const OwnAccount& own) {
  // No access list at all grants everyone everything.
  if (!dacl) return false;
  ACL_SIZE_INFORMATION size = {};
  if (!Os().GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) return false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!Os().GetAce(dacl, i, &entry) || !entry) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    // Object and callback entries are not expected on a folder: whatever
    // they grant is not taken on trust.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    // Inherit-only entries count too: they are what the log files get.
    if ((allowed->Mask & kWriteRights) &&
        !TrustedGrantee(const_cast<DWORD*>(&allowed->SidStart), own))
      return false;
  }
  return true;
}

bool FolderIsProtectedFor(HANDLE folder, const OwnAccount& own) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  UniqueLocalBlock descriptor;
  if (Os().GetSecurityInfo(folder, SE_FILE_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                           &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS)
    return false;
  return TrustedOwner(owner, own) && OnlyTrustedMayWrite(dacl, own);
}

bool HandleIsPlainDirectory(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION info = {};
  return Os().GetFileInformationByHandle(folder, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the folder itself, never what a link there points to. Without
// FILE_SHARE_DELETE nobody can rename or replace it while the handle is open.
HANDLE OpenFolder(const wchar_t* path) {
  UniqueFile folder(Os().CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  if (!folder || !HandleIsPlainDirectory(folder.get())) return nullptr;
  return folder.release();
}

// Creates the folder with the protected access list. Sets `created`; false
// when it neither exists nor could be made.
bool MakeFolder(const wchar_t* path, bool& created) {
  created = false;
  UniqueLocalBlock descriptor;
  if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderAccessList,
                                                                 SDDL_REVISION_1, descriptor.put(),
                                                                 nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  created = Os().CreateDirectoryW(path, &attributes) != FALSE;
  return created || Os().GetLastError() == ERROR_ALREADY_EXISTS;
}

// The folder, made or found, open and checked; null when it must not be used.
HANDLE OpenCheckedFolder(const wchar_t* path, const OwnAccount& own) {
  bool created = false;
  if (!MakeFolder(path, created)) return nullptr;
  UniqueKernelObject folder(OpenFolder(path));
  if (folder && !FolderIsProtectedFor(folder.get(), own)) return nullptr;
  return folder.release();
}

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

// A new file of this run, or null. CREATE_NEW fails on whatever already
// stands at a name (a file, a link, dangling or not), and the next name is
// tried instead.
HANDLE CreateLogFile(const wchar_t* folder, const wchar_t* kind) {
  SYSTEMTIME now = {};
  Os().GetLocalTime(&now);
  wchar_t path[kPathChars];
  for (int attempt = 1; attempt <= kNameTries; ++attempt) {
    wchar_t counter[16] = L"";
    if (attempt > 1) _snwprintf_s(counter, 16, _TRUNCATE, L"-%d", attempt);
    if (!Compose(path, L"%s\\%s-%04u%02u%02u-%02u%02u%02u-%03u%s.log", folder, kind, now.wYear,
                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                 counter))
      return nullptr;
    UniqueFile file(Os().CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) continue;
    if (HandleIsPlainFile(file.get())) return file.release();
    // Not what CREATE_NEW makes: leave it as it is, unwritten.
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
  wchar_t name[MAX_PATH];
};

uint64_t Ticks(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool Older(const LogEntry& a, const LogEntry& b) {
  return a.written < b.written || (a.written == b.written && std::wcscmp(a.name, b.name) < 0);
}

// The program's log files in the folder, in one heap block (null when there
// are none or memory ran out).
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
    wcsncpy_s(entries[count].name, found.cFileName, _TRUNCATE);
    ++count;
  } while (Os().FindNextFileW(search.get(), &found));
  return entries;
}

// Whether the file at `path` is one of this program's logs: an ordinary file
// with one name that begins with the byte-order mark and the window's title.
// Wine shows a symbolic link as the file it points to, and deleting it there
// deletes the target; what does not read as a log is therefore left alone.
bool IsOwnLogFile(const wchar_t* path) {
  UniqueFile file(Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return false;
  wchar_t expected[64];
  expected[0] = L'\xFEFF';
  _snwprintf_s(expected + 1, 63, _TRUNCATE, kLogTitleFormat, kBuildNumber);
  size_t bytes = std::wcslen(expected) * sizeof(wchar_t);
  wchar_t head[64] = {};
  DWORD got = 0;
  return HandleIsPlainFile(file.get()) &&
         Os().ReadFile(file.get(), head, static_cast<DWORD>(bytes), &got, nullptr) &&
         got == bytes && std::memcmp(head, expected, bytes) == 0;
}

// Deletes the oldest of the program's log files until ten are left. Each
// file is written once, when its run ends, so its time of last writing is
// the run's time (also across a change to or from summer time, which the
// names do not survive).
void PruneLogFiles(const wchar_t* folder) {
  size_t count = 0;
  UniqueHeap<LogEntry> list(ListLogFiles(folder, count));
  if (!list) return;
  LogEntry* entries = list.get();
  if (count > kLogFilesKept) {
    std::sort(entries, entries + count, Older);
    // Normally one file goes per run; a folder crowded with other things is
    // looked at only so far.
    size_t left = count, looked = 0;
    for (size_t i = 0; i < count && left > kLogFilesKept && looked < kPruneLooks; ++i, ++looked) {
      wchar_t path[kPathChars];
      if (Compose(path, L"%s\\%s", folder, entries[i].name) && IsOwnLogFile(path) &&
          Os().DeleteFileW(path))
        --left;
    }
  }
}

}  // namespace

bool FolderIsProtected(HANDLE folder) {
  OwnAccount own;
  ReadOwnAccount(own);
  return FolderIsProtectedFor(folder, own);
}

bool WriteRunLogFile(const InstallSession& session, const wchar_t* kind, bool prune) {
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

  // The product folder is checked when this run makes it; one that was there
  // before may belong to the product's other parts. Either way it must not
  // be a link.
  bool created = false;
  if (!MakeFolder(product, created)) return false;
  UniqueKernelObject parent(created ? OpenCheckedFolder(product, own) : OpenFolder(product));
  if (!parent) return false;
  // Held open while the log is written and the folder pruned: nobody can
  // rename or replace the folders meanwhile.
  UniqueKernelObject folder(OpenCheckedFolder(logs, own));
  bool whole = false;
  if (folder) {
    // The new file is closed before the pruning looks at the folder.
    if (UniqueKernelObject file(CreateLogFile(logs, kind)); file) {
      wchar_t title[264];
      FormatLogWindowTitle(session, title, 264);
      const wchar_t bom = 0xFEFF;
      HANDLE out = file.get();
      whole = WriteAll(out, &bom, sizeof(bom)) &&
              WriteAll(out, title, std::wcslen(title) * sizeof(wchar_t)) &&
              WriteAll(out, L"\r\n", 2 * sizeof(wchar_t)) &&
              WriteAll(out, Text(session.InstallLog), Length(session.InstallLog) * sizeof(wchar_t));
    }
    if (prune) PruneLogFiles(logs);
  }
  return whole;
}

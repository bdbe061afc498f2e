#include "previous/previous_files.h"

#include <cstring>
#include <cwchar>

#include "files/files.h"
#include "files/safe_folder.h"
#include "platform/platform.h"
#include "previous/previous.h"
#include "previous/sha256.h"
#include "session/session.h"

namespace {

// Owned by Administrators; only SYSTEM and Administrators have any access.
const wchar_t kKeptFolderAccessList[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr DWORD kBlockBytes = 8192;

// Reads `source` to its end, feeding `hash` and, when given, `target`.
bool Pump(HANDLE source, HANDLE target, Sha256& hash, uint64_t* size) {
  BYTE block[kBlockBytes];
  *size = 0;
  for (;;) {
    DWORD read = 0;
    if (!Os().ReadFile(source, block, kBlockBytes, &read, nullptr)) return false;
    if (read == 0) return true;
    Sha256Add(hash, block, read);
    *size += read;
    if (target != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      if (!Os().WriteFile(target, block, read, &written, nullptr)) return false;
      if (written != read) {
        Os().SetLastError(ERROR_DISK_FULL);
        return false;
      }
    }
  }
}

// An installed file may be loaded by the spooler: read with every sharing.
HANDLE OpenForReading(const wchar_t* path) {
  return Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
}

// The copy through "<target>.tmp": `accept` decides, from the size and hash
// of what was copied, whether it takes the target's place.
template <class Accept>
bool CopyThrough(const wchar_t* source, const wchar_t* target, Accept accept) {
  WideBuffer temp;
  if (!Assign(temp, target) || !Append(temp, L".tmp")) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  bool ok = false;
  {
    UniqueFile in(OpenForReading(source));
    UniqueFile out;
    if (in) out.reset(Os().CreateFileW(Text(temp), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (in && out) {
      Sha256 hash;
      Sha256Begin(hash);
      uint64_t size = 0;
      uint8_t digest[32];
      ok = Pump(in.get(), out.get(), hash, &size) && Os().FlushFileBuffers(out.get());
      Sha256End(hash, digest);
      if (ok && !accept(size, digest)) {
        Os().SetLastError(ERROR_FILE_CORRUPT);
        ok = false;
      }
    }
  }
  DWORD error = Os().GetLastError();
  if (ok)
    ok = Os().MoveFileExW(Text(temp), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         FALSE;
  if (!ok) {
    error = Os().GetLastError() ? Os().GetLastError() : error;
    Os().DeleteFileW(Text(temp));
    Os().SetLastError(error);
  }
  return ok;
}

}  // namespace

bool KeptFolderPath(const InstallSession& session, WideBuffer& path) {
  Release(path);
  return Length(session.DriverDirectory) > 0 && Assign(path, Text(session.DriverDirectory)) &&
         Append(path, kKeptFolderName);
}

bool OpenKeptFolder(const InstallSession& session, KeptFolder& folder, WideBuffer& path) {
  folder.reset();
  if (!KeptFolderPath(session, path)) return false;
  // The driver directory itself, without its final backslash.
  WideBuffer parentPath = CopyBuffer(session.DriverDirectory);
  uint64_t length = Length(parentPath);
  if (length > 1 && Text(parentPath)[length - 1] == L'\\') SetLength(parentPath, length - 1);
  UniqueFile parent(Os().CreateFileW(Text(parentPath),
                                     FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!parent) return false;
  OwnAccount own;
  ReadOwnAccount(own);
  const wchar_t* fault = nullptr;
  folder.reset(OpenSafeFolder(parent.get(), kKeptFolderName, kKeptFolderAccessList, own, &fault));
  if (!folder && fault) Os().SetLastError(ERROR_ACCESS_DENIED);
  return static_cast<bool>(folder);
}

bool KeptPath(WideBuffer& path, const wchar_t* folder, const wchar_t* name, uint32_t role) {
  Release(path);
  return Assign(path, folder) && Append(path, L"\\") &&
         (role != kKeptMonitorLibrary || Append(path, kKeptLibraryPrefix)) && Append(path, name);
}

bool CopyHashed(const wchar_t* source, const wchar_t* target, uint64_t* size, uint8_t sha256[32]) {
  return CopyThrough(source, target, [&](uint64_t copied, const uint8_t* digest) {
    *size = copied;
    std::memcpy(sha256, digest, 32);
    return true;
  });
}

bool CopyChecked(const wchar_t* source, const wchar_t* target, const KeptFile& kept) {
  return CopyThrough(source, target, [&](uint64_t copied, const uint8_t* digest) {
    return copied == kept.size && std::memcmp(digest, kept.sha256, 32) == 0;
  });
}

bool MatchesRecord(const wchar_t* path, const KeptFile& kept) {
  UniqueFile in(OpenForReading(path));
  if (!in) return false;
  Sha256 hash;
  Sha256Begin(hash);
  uint64_t size = 0;
  uint8_t digest[32];
  bool read = Pump(in.get(), INVALID_HANDLE_VALUE, hash, &size);
  Sha256End(hash, digest);
  if (read && size == kept.size && std::memcmp(digest, kept.sha256, 32) == 0) return true;
  if (read) Os().SetLastError(ERROR_FILE_CORRUPT);
  return false;
}

bool EmptyKeptFolder(const wchar_t* folder) {
  WideBuffer pattern;
  if (!Assign(pattern, folder) || !Append(pattern, L"\\*")) return false;
  WIN32_FIND_DATAW found = {};
  UniqueFind search(Os().FindFirstFileW(Text(pattern), &found));
  if (!search) return Os().GetLastError() == ERROR_FILE_NOT_FOUND;
  bool all = true;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    WideBuffer path;
    // A file that cannot go now waits for the next run's clean-up.
    if (!Assign(path, folder) || !Append(path, L"\\") || !Append(path, found.cFileName) ||
        !Os().DeleteFileW(Text(path)))
      all = false;
  } while (Os().FindNextFileW(search.get(), &found));
  return all;
}

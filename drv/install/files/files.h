// Component files: the 64-bit file set, copying a component file with a
// bounded retry, and the file operations Windows holds for its next restart.
#pragma once

#include <windows.h>

#include <cstdint>

#include "product.h"

struct InstallSession;
struct WideBuffer;

// The 64-bit file set (installed) and the 32-bit names (only searched for).
extern const wchar_t kEnvironmentX64[];  // "Windows x64"

void SetPlatformFiles(InstallSession& session);

// Copies `fileName` from the program's directory into `targetDirectory`
// (8192-byte blocks). The copy is written to `fileName` + ".tmp" in the
// target directory, flushed, and then replaces the destination, so the
// destination is either the previous file, untouched, or the whole new one.
// When `destination` is given, the destination path is stored there before
// anything is opened (also when the copy then fails); a path that does not
// fit `destinationChars` (terminator included) is not stored and the buffer
// is left empty. `report` logs failures to open or replace.
HRESULT CopyComponentFile(InstallSession& session, const wchar_t* targetDirectory,
                          const wchar_t* fileName, wchar_t* destination, size_t destinationChars,
                          bool report);
HANDLE OpenDestinationWithRetry(InstallSession& session, const wchar_t* path);
// `directory` + a backslash when needed + `name`, as the copy forms its paths;
// the second gives the name of a component's copy in progress.
bool ComponentPath(WideBuffer& path, const wchar_t* directory, const wchar_t* name);
bool ComponentTempPath(WideBuffer& path, const wchar_t* directory, const wchar_t* name);
// Opens the component's source file in the program's directory exactly as
// CopyComponentFile does (read access, read sharing only).
HANDLE OpenComponentSource(const InstallSession& session, const wchar_t* fileName);
// Whether the file at `path` is absent or could be replaced now (opened for
// writing and deletion, nothing shared), retried like the copy's
// destination; logs "CreateFile - timeout" when it gives up on time.
bool CheckReplaceable(InstallSession& session, const wchar_t* path);
// Whether `bytes` can be written in `directory` now: a scratch file under the
// name of `name`'s copy in progress is written in full, flushed and removed.
// Also true when the directory does not exist. The last error tells why not.
bool CheckRoomToWrite(const wchar_t* directory, const wchar_t* name, uint64_t bytes);
// Removes the copies in progress ("<name>.tmp") that a cut-off run left
// beside the component files; one that cannot go joins PendingDeletes.
void RemoveCutCopies(InstallSession& session);

// PendingFileRenameOperations, parsed. Entry 2k is the source of pair k and
// 2k+1 its destination (null for an empty string: a queued deletion).
struct PendingRenameTable {
  wchar_t** entries = nullptr;
  int32_t* isFile = nullptr;
  int32_t pairCount = 0;
};

PendingRenameTable ReadPendingRenames();
void ApplyPendingDeletes(PendingRenameTable& table);
void ReleasePendingRenames(PendingRenameTable& table);
// Removes the first queued deletion of `source` (as stored, prefix included)
// from PendingFileRenameOperations: exactly that pair, every other byte
// stays; the value goes when nothing is left in it. True when it was dropped.
bool DropQueuedDeletion(const wchar_t* source);

// The path with a leading "\??\" skipped.
const wchar_t* SkipNtPrefix(const wchar_t* path);

// The kept folder and the copies into and out of it (previous/).
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/unique_handle.h"

struct InstallSession;
struct KeptFile;
struct WideBuffer;

// Held open while the run uses the folder: it can be neither renamed nor
// replaced meanwhile.
using KeptFolder = UniqueKernelObject;

// "<driver directory>Loomscribe-previous".
bool KeptFolderPath(const InstallSession& session, WideBuffer& path);
// The folder made with an access list that lets only SYSTEM and
// Administrators write, or found and checked (not a link, owned by SYSTEM or
// Administrators, nobody else may write). `path` receives its path.
bool OpenKeptFolder(const InstallSession& session, KeptFolder& folder, WideBuffer& path);
// Where a kept file lies in the folder.
bool KeptPath(WideBuffer& path, const wchar_t* folder, const wchar_t* name, uint32_t role);
// Copies `source` to `target` through "<target>.tmp", flushed, and notes the
// size and SHA-256 of the bytes copied.
bool CopyHashed(const wchar_t* source, const wchar_t* target, uint64_t* size, uint8_t sha256[32]);
// The same, but `target` is replaced only when the bytes match `kept`'s
// record (else ERROR_FILE_CORRUPT).
bool CopyChecked(const wchar_t* source, const wchar_t* target, const KeptFile& kept);
// Whether the file at `path` holds exactly the bytes `kept` records.
bool MatchesRecord(const wchar_t* path, const KeptFile& kept);
// Deletes every file in the folder; true when none is left.
bool EmptyKeptFolder(const wchar_t* folder);

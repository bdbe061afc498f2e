// The log file every install and uninstall run leaves in a folder that only
// SYSTEM and Administrators can write: %ProgramData%\Loomscribe\Logs.
#pragma once

#include <windows.h>

struct InstallSession;

extern const wchar_t kLogFolderAccessList[];
constexpr int kLogFilesKept = 10;

// Writes the session's log (UTF-16 with a byte-order mark: the log window's
// title, then the log) as a new file "<kind>-YYYYMMDD-HHMMSS-mmm.log" (local
// time; a name already taken gets "-2", "-3", ...). When `prune` is set, the
// oldest of the program's log files beyond ten are deleted afterwards.
// Nothing is written when the folder fails its check or the file cannot be
// created new; the run goes on either way. Returns whether the file was
// written whole.
bool WriteRunLogFile(const InstallSession& session, const wchar_t* kind, bool prune);

// Whether a folder's owner and access list leave writing to SYSTEM,
// Administrators and this program's own account. `folder` is an open handle
// with READ_CONTROL.
bool FolderIsProtected(HANDLE folder);

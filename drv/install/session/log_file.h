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
// program's log files beyond the ten newest are deleted afterwards, never the
// new one. When a folder on the way fails its check, nothing is written, the
// folder is left exactly as it is and the session's log says why in one line
// (not an error); the run goes on either way. Returns whether the file was
// written whole.
bool WriteRunLogFile(InstallSession& session, const wchar_t* kind, bool prune);

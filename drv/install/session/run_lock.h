// One run at a time: the lock file that install, uninstall and the commands
// that change the machine ("def.set", "removetray", "onInit") hold while they
// work.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

struct InstallSession;

// "install.lock", beside install.exe in the product's x64 folder. That folder
// lies below Program Files, where only administrators create files; the file
// itself is opened with no sharing at all and made with an access list of
// SYSTEM and Administrators only, so a process without administrator rights
// can neither hold it, open it nor put something of its own in its place.
extern const wchar_t kRunLockAccessList[];
extern const wchar_t kRunLockFileName[];
// How long a run waits for another one: 10 minutes.
constexpr DWORD kRunLockBoundMs = 10 * 60 * 1000;
// Pause between attempts while another run holds the file.
constexpr DWORD kRunLockRetryMs = 500;

struct RunLock {
  UniqueKernelObject file;
  bool held = false;
  DWORD waitedMs = 0;      // how long this run waited for it
  bool tookOver = false;   // a run before ended without letting go
  wchar_t previous[96] = {};  // what that run had written (its process and start)
  DWORD lastError = 0;     // why it could not be had
  wchar_t path[MAX_PATH + 32] = {};
};

// Waits until this run holds the lock, or until the bound has passed.
RunLock TakeRunLock();
// Empties the file (nothing when it is not held) and closes it. An uninstall
// then deletes it (`remove`), so the product's installer finds only its own
// files in the folder it takes away; a run waiting meanwhile makes it anew.
void ReleaseRunLock(RunLock& lock, bool remove = false);
// The lines a run that holds the lock adds after its first line: how long it
// waited, and whom it took over from. Nothing when neither happened.
void LogRunLockTaken(InstallSession& session, const RunLock& lock);
// The session of a run that could not get the lock: its first line and
// error 18; nothing else is done.
void LogRunLockTimeOut(InstallSession& session, const RunLock& lock);

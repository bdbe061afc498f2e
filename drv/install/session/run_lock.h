// One run at a time: the machine-wide named mutex that install, uninstall and
// the commands that change the machine ("def.set", "removetray", "onInit")
// hold while they work.
#pragma once

#include <windows.h>

struct InstallSession;

// In the Global\ namespace, so runs in other logon sessions (a service, a
// second user through fast user switching) meet the same object.
// SYSTEM, Administrators and the object's owner may wait for it and release
// it (SYNCHRONIZE | MUTEX_MODIFY_STATE); nobody else gets any access.
extern const wchar_t kRunLockAccessList[];
// How long a run waits for another one: 10 minutes.
constexpr DWORD kRunLockBoundMs = 10 * 60 * 1000;
// Pause between attempts while the name is refused (access denied, or an
// object of another type holds it).
constexpr DWORD kRunLockRetryMs = 500;

struct RunLock {
  HANDLE mutex = nullptr;
  bool held = false;
  bool abandoned = false;  // taken over from a run that ended without letting go
  DWORD lastError = 0;     // why it could not be had
};

// Waits until this run holds the lock, or until the bound has passed.
RunLock TakeRunLock();
// Lets go of the lock (nothing when it is not held) and closes the handle.
void ReleaseRunLock(RunLock& lock);
// The session of a run that could not get the lock: its first line and
// error 18; nothing else is done.
void LogRunLockTimeOut(InstallSession& session, const RunLock& lock);

#include "session/run_lock.h"

#include "platform/platform.h"
#include "session/session.h"

// 0x100001 = SYNCHRONIZE | MUTEX_MODIFY_STATE. The OWNER RIGHTS entry takes
// away the owner's implicit READ_CONTROL and WRITE_DAC, so not even the
// creator can widen the list later.
const wchar_t kRunLockAccessList[] =
    L"D:P(A;;0x100001;;;SY)(A;;0x100001;;;BA)(A;;0x100001;;;OW)";

namespace {

constexpr DWORD kRunLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Creates the mutex, or opens it when another run made it first (then the
// access list is the one that run set). Null when the name is refused.
HANDLE OpenRunMutex() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunLockAccessList,
                                                                 SDDL_REVISION_1, &descriptor,
                                                                 nullptr))
    return nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  // Only the rights the list grants are asked for: CreateMutexW would ask
  // for MUTEX_ALL_ACCESS and be refused on the object another run created.
  HANDLE mutex = Os().CreateMutexExW(&attributes, kRunLockName, 0, kRunLockAccess);
  DWORD error = Os().GetLastError();
  Os().LocalFree(descriptor);
  Os().SetLastError(error);
  return mutex;
}

}  // namespace

RunLock TakeRunLock() {
  RunLock lock;
  DWORD start = Os().GetTickCount();
  for (;;) {
    DWORD waited = Os().GetTickCount() - start;
    DWORD left = waited < kRunLockBoundMs ? kRunLockBoundMs - waited : 0;
    HANDLE mutex = OpenRunMutex();
    if (mutex) {
      DWORD result = Os().WaitForSingleObject(mutex, left);
      if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        // An abandoned mutex belonged to a run that ended without letting go
        // (a crash, a power cut, TerminateProcess); it is ours now.
        lock.mutex = mutex;
        lock.held = true;
        lock.abandoned = result == WAIT_ABANDONED;
        return lock;
      }
      lock.lastError = result == WAIT_TIMEOUT ? ERROR_TIMEOUT : Os().GetLastError();
      Os().CloseHandle(mutex);
      if (result == WAIT_TIMEOUT) return lock;
    } else {
      // A refused or denied name counts as held by another run: whoever
      // holds it may let go, and the object then goes with its last handle.
      lock.lastError = Os().GetLastError();
    }
    waited = Os().GetTickCount() - start;
    if (waited >= kRunLockBoundMs) {
      if (lock.lastError == 0) lock.lastError = ERROR_TIMEOUT;
      return lock;
    }
    DWORD rest = kRunLockBoundMs - waited;
    Os().Sleep(rest < kRunLockRetryMs ? rest : kRunLockRetryMs);
  }
}

void ReleaseRunLock(RunLock& lock) {
  if (lock.mutex) {
    if (lock.held) Os().ReleaseMutex(lock.mutex);
    Os().CloseHandle(lock.mutex);
  }
  lock = RunLock{};
}

void LogRunLockTimeOut(InstallSession& session, const RunLock& lock) {
  BeginSession(session);
  Os().SetLastError(lock.lastError);
  LogOtherRunWaitFailed(session);
}

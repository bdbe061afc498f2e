#include "session/run_lock.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/session.h"

// Full control for SYSTEM and Administrators, nothing for anyone else, not
// inherited from the folder.
const wchar_t kRunLockAccessList[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
const wchar_t kRunLockFileName[] = L"install.lock";

namespace {

constexpr size_t kPathChars = MAX_PATH + 32;

// install.lock beside this program; false when the program's path is unknown.
bool LockPath(wchar_t* path) {
  wchar_t module[MAX_PATH] = {};
  DWORD n = Os().GetModuleFileNameW(nullptr, module, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  wchar_t* cut = nullptr;
  for (wchar_t* p = module; *p; ++p)
    if (*p == L'\\' || *p == L'/') cut = p;
  if (!cut) return false;
  cut[1] = L'\0';
  return _snwprintf_s(path, kPathChars, _TRUNCATE, L"%s%s", module, kRunLockFileName) > 0;
}

// The file, opened for this run alone, or null (the last error says why:
// ERROR_SHARING_VIOLATION while another run holds it).
HANDLE OpenLockFile(const wchar_t* path) {
  UniqueLocalBlock descriptor;
  if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunLockAccessList,
                                                                 SDDL_REVISION_1, descriptor.put(),
                                                                 nullptr))
    return nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  HANDLE file = Os().CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, &attributes, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool Rewind(HANDLE file) {
  LARGE_INTEGER start = {};
  return Os().SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
}

// What a run left in the file it did not empty (it ended without letting go:
// a crash, a power cut, TerminateProcess). Plain ASCII, cut to fit.
bool ReadPrevious(HANDLE file, wchar_t* text, size_t chars) {
  char bytes[95] = {};
  DWORD read = 0;
  if (!Os().ReadFile(file, bytes, sizeof(bytes), &read, nullptr) || read == 0) return false;
  size_t n = 0;
  for (DWORD i = 0; i < read && n + 1 < chars; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' || c == '\n') break;
    text[n++] = (c >= 0x20 && c < 0x7F) ? static_cast<wchar_t>(c) : L'?';
  }
  text[n] = L'\0';
  return true;
}

// This run's process id and start time (UTC), so that whoever finds the file
// not empty can tell which run left it.
void WriteHolder(HANDLE file) {
  FILETIME created = {}, exited = {}, kernel = {}, user = {};
  SYSTEMTIME start = {};
  if (!Os().GetProcessTimes(Os().GetCurrentProcess(), &created, &exited, &kernel, &user) ||
      !Os().FileTimeToSystemTime(&created, &start))
    start = SYSTEMTIME{};
  char text[96];
  int n = std::snprintf(text, sizeof(text),
                        "process %lu, started %04u-%02u-%02u %02u:%02u:%02u UTC\r\n",
                        static_cast<unsigned long>(Os().GetCurrentProcessId()), start.wYear,
                        start.wMonth, start.wDay, start.wHour, start.wMinute, start.wSecond);
  DWORD written = 0;
  if (n > 0 && Rewind(file) &&
      Os().WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr))
    Os().SetEndOfFile(file);
  Os().FlushFileBuffers(file);
}

}  // namespace

RunLock TakeRunLock() {
  RunLock lock;
  wchar_t* path = lock.path;
  if (!LockPath(path)) {
    // Without its own path the program cannot tell whether another run is
    // at work: it changes nothing, as after the bound.
    lock.lastError = ERROR_PATH_NOT_FOUND;
    return lock;
  }
  DWORD start = Os().GetTickCount();
  for (bool retried = false;; retried = true) {
    HANDLE file = OpenLockFile(path);
    DWORD waited = Os().GetTickCount() - start;
    if (file) {
      lock.file.reset(file);
      lock.held = true;
      lock.waitedMs = retried ? waited : 0;
      lock.tookOver = ReadPrevious(file, lock.previous, sizeof(lock.previous) / sizeof(wchar_t));
      WriteHolder(file);
      return lock;
    }
    DWORD error = Os().GetLastError();
    // Held by another run; anything else (access denied, say) counts the
    // same, since whoever holds the file may let go.
    lock.lastError = error == ERROR_SHARING_VIOLATION ? ERROR_TIMEOUT : error;
    if (waited >= kRunLockBoundMs) {
      lock.waitedMs = waited;
      return lock;
    }
    DWORD rest = kRunLockBoundMs - waited;
    Os().Sleep(rest < kRunLockRetryMs ? rest : kRunLockRetryMs);
  }
}

void ReleaseRunLock(RunLock& lock, bool remove) {
  if (lock.file) {
    // Emptied, so the next run knows this one let go.
    if (lock.held && Rewind(lock.file.get())) {
      Os().SetEndOfFile(lock.file.get());
      Os().FlushFileBuffers(lock.file.get());
    }
    // Closed before the file is deleted.
    lock.file.reset();
    // Fails harmlessly when a waiting run has opened it in between.
    if (lock.held && remove) Os().DeleteFileW(lock.path);
  }
  lock = RunLock();
}

void LogRunLockTaken(InstallSession& session, const RunLock& lock) {
  if (!lock.held) return;
  if (lock.waitedMs > 0)
    LogLine(session, L"Waited %lu.%03lu s for the other install.exe run to end",
            static_cast<unsigned long>(lock.waitedMs / 1000),
            static_cast<unsigned long>(lock.waitedMs % 1000));
  if (lock.tookOver)
    LogLine(session, L"Took over from an install.exe run that ended without letting go (%s)",
            lock.previous);
}

void LogRunLockTimeOut(InstallSession& session, const RunLock& lock) {
  BeginSession(session);
  Os().SetLastError(lock.lastError);
  LogOtherRunWaitFailed(session);
}

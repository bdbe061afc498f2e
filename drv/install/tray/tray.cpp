#include "tray/tray.h"

#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/session.h"

const char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

namespace {

constexpr int kQuitPasses = 20;
constexpr DWORD kQuitWaitMs = 5000;
constexpr DWORD kNoWindowSleepMs = 250;
constexpr int kDeleteAttempts = 10;
constexpr DWORD kDeniedSleepMs = 100;
constexpr DWORD kOtherErrorSleepMs = 10;
constexpr DWORD kMissingValueSleepMs = 1000;
// Characters of the path between the quotes of the command line.
constexpr size_t kCommandPathChars = 259;
// The Run value is read into this many characters.
constexpr DWORD kRunValueChars = 260;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "lsbtray.exe" in the parent of the program's directory; false (and nothing
// kept) when memory runs out on the way, so that a cut path is never used.
bool BuildTrayProgramPath(const InstallSession& session, WideBuffer& path) {
  WideBuffer directory = CopyBuffer(session.ModuleDirectory);
  if (Length(directory) != Length(session.ModuleDirectory)) {
    return false;
  }
  uint64_t length = Length(directory);
  if (length > 0 && IsSeparator(Text(directory)[length - 1])) SetLength(directory, length - 1);
  path = ParentDirectory(directory);
  length = Length(path);
  bool ok = true;
  if (length > 0 && !IsSeparator(Text(path)[length - 1])) ok = Append(path, L"\\");
  WideBuffer name = AssignAnsi(kTrayFileName);
  ok = ok && Length(name) > 0 && Append(path, Text(name));
  if (!ok) Release(path);
  return ok;
}

void WriteRunValue(const WideBuffer& path) {
  UniqueKey key;
  if (Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_ALL_ACCESS, key.put()) !=
      ERROR_SUCCESS)
    return;
  DWORD bytes = static_cast<DWORD>((Length(path) + 1) * sizeof(wchar_t));
  Os().RegSetValueExW(key.get(), kTrayRunValueW, 0, REG_SZ,
                      reinterpret_cast<const BYTE*>(Text(path)), bytes);
}

void StartTrayProgram(InstallSession& session, const WideBuffer& path) {
  // The quoted path is the whole command line; CreateProcessW may write into it.
  // A path cut to fit would name another file, which must not be started in
  // place of the tray program; such a path is only registered.
  size_t chars = static_cast<size_t>(Length(path));
  if (chars == 0 || chars > kCommandPathChars) return;
  wchar_t commandLine[kCommandPathChars + 3] = {};
  commandLine[0] = L'"';
  std::wmemcpy(commandLine + 1, Text(path), chars);
  commandLine[chars + 1] = L'"';
  commandLine[chars + 2] = L'\0';

  // The tray program runs for the whole logon: never with this run's
  // administrator or SYSTEM rights. The Run value starts it at the next
  // logon where it is not started now.
  const wchar_t* why = L"";
  TrayStart how = ChooseTrayStart(&why);
  if (how == TrayStart::AsSignedInUser) {
    WideBuffer folder = ParentDirectory(path);
    bool started = Length(folder) > 0 && StartTrayAsSignedInUser(commandLine, Text(folder), &why);
    if (!started)
      LogLine(session, L"The tray program is not started (%s); it starts at the next logon", why);
    return;
  }
  if (how == TrayStart::NotStarted) {
    LogLine(session, L"The tray program is not started (%s); it starts at the next logon", why);
    return;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  if (!Os().CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                           nullptr, nullptr, &startup, &process))
    return;
  Os().CloseHandle(process.hThread);
  Os().CloseHandle(process.hProcess);
}

// One wait on the tray mutex; counts the times this thread came to own it.
bool WaitForTrayMutex(HANDLE mutex, int& owned) {
  DWORD result = Os().WaitForSingleObject(mutex, kQuitWaitMs);
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ++owned;
  return result == WAIT_OBJECT_0;
}

// Asks the running tray program to quit and waits until it lets go of its
// mutex; returns how many times this thread acquired the mutex meanwhile.
int RunQuitHandshake(HANDLE mutex) {
  int owned = 0;
  bool seen = false;
  for (int pass = 0; pass < kQuitPasses; ++pass) {
    HWND window = Os().FindWindowW(kTrayWindowClass, nullptr);
    if (window) {
      seen = true;
      Os().PostMessageW(window, kTrayQuitMessage, 0, 0);
      if (WaitForTrayMutex(mutex, owned)) return owned;
    } else if (seen) {
      // The window is gone: the program is on its way out.
      WaitForTrayMutex(mutex, owned);
      return owned;
    } else {
      Os().Sleep(kNoWindowSleepMs);
    }
  }
  if (seen) WaitForTrayMutex(mutex, owned);
  return owned;
}

// Whether `path` names a file by an absolute path ("X:\..." or "\\..."),
// never relative to the current directory or drive.
bool IsAbsolutePath(const wchar_t* path) {
  if (IsSeparator(path[0])) return IsSeparator(path[1]);
  return ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
         path[1] == L':' && IsSeparator(path[2]);
}

// Whether the last part of `path` is the tray program's file name.
bool NamesTrayProgram(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* at = path; *at; ++at)
    if (IsSeparator(*at)) name = at + 1;
  WideBuffer tray = AssignAnsi(kTrayFileName);
  bool same = Length(tray) > 0 && SameAsciiName(name, Text(tray));
  return same;
}

// The path held in the Run value as read, or null when the data is not a
// path of the tray program that may be deleted: not REG_SZ (an expandable
// text is not expanded), filling the whole buffer without a terminator (a cut
// path would name another file), not absolute (a relative one would be taken
// against whatever the current directory is), quoted or with arguments, or
// naming any file but lsbtray.exe (a user's document, say).
const wchar_t* RunValuePath(wchar_t* value, DWORD type, DWORD bytes) {
  if (type != REG_SZ) return nullptr;
  DWORD chars = bytes / sizeof(wchar_t);
  if (chars > kRunValueChars) chars = kRunValueChars;
  if (!std::wmemchr(value, L'\0', chars)) {
    if (chars == kRunValueChars) return nullptr;
    value[chars] = L'\0';
  }
  if (!IsAbsolutePath(value) || !NamesTrayProgram(value)) return nullptr;
  return value;
}

// The volume and file number of an existing file, from a handle that asks
// for no access at all (it opens also while the program runs).
bool FileIdentity(const wchar_t* path, BY_HANDLE_FILE_INFORMATION& info) {
  UniqueFile file(Os().CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  return Os().GetFileInformationByHandle(file.get(), &info) != FALSE;
}

// Whether two paths name the same file, however each is spelt ("/" for
// "\", "x64\..\", letter case). When either file cannot be asked, only
// the same text (in any letter case) counts as the same file.
bool SameFile(const wchar_t* a, const wchar_t* b) {
  BY_HANDLE_FILE_INFORMATION first = {};
  BY_HANDLE_FILE_INFORMATION second = {};
  if (FileIdentity(a, first) && FileIdentity(b, second))
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
  return SamePathText(a, b);
}

// False when the file is still there after the attempts.
bool DeleteTrayFile(const wchar_t* path) {
  // DeleteFileW never removes a directory; a value naming one is left alone.
  DWORD attributes = Os().GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  for (int attempt = 1; attempt <= kDeleteAttempts; ++attempt) {
    if (Os().DeleteFileW(path)) return true;
    DWORD error = Os().GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    if (attempt == kDeleteAttempts) return false;
    // The image of a process that has just ended stays locked for a moment.
    Os().Sleep(error == ERROR_ACCESS_DENIED ? kDeniedSleepMs : kOtherErrorSleepMs);
  }
  return false;
}

}  // namespace

void RegisterAndStartTray(InstallSession& session) {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!Os().GetVersionExA(&version)) return;
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion < 6) return;

  WideBuffer path;
  if (!BuildTrayProgramPath(session, path)) return;
  WriteRunValue(path);
  StartTrayProgram(session, path);
}

WideBuffer TrayProgramPath(const InstallSession& session) {
  WideBuffer path;
  BuildTrayProgramPath(session, path);
  return path;
}

void StopAndUnregisterTray(const wchar_t* keepFile, PendingDeleteList* undeleted) {
  UniqueKernelObject mutex(Os().CreateMutexA(nullptr, FALSE, kTrayMutexName));
  const bool mutexMade = static_cast<bool>(mutex);
  if (mutex) {
    int owned = 0;
    if (Os().GetLastError() == ERROR_ALREADY_EXISTS) owned = RunQuitHandshake(mutex.get());
    // Let go of what the waits obtained, so that a tray program started
    // later is not left waiting on a mutex nobody releases.
    for (; owned > 0; --owned) Os().ReleaseMutex(mutex.get());
    mutex.reset();
  }

  UniqueKey key;
  if (Os().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_ALL_ACCESS, key.put()) !=
      ERROR_SUCCESS)
    return;
  if (mutexMade) {
    wchar_t value[kRunValueChars] = {};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(value);
    if (Os().RegQueryValueExW(key.get(), kTrayRunValueW, nullptr, &type,
                              reinterpret_cast<BYTE*>(value), &bytes) != ERROR_SUCCESS) {
      Os().Sleep(kMissingValueSleepMs);
    } else if (const wchar_t* path = RunValuePath(value, type, bytes)) {
      if ((!keepFile || !SameFile(path, keepFile)) && !DeleteTrayFile(path) && undeleted)
        AddPendingDelete(*undeleted, path);
    }
  }
  Os().RegDeleteValueA(key.get(), kTrayRunValueA);
}

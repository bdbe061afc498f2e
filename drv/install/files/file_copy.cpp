#include <cwchar>

#include "files/files.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

constexpr DWORD kBlockBytes = 8192;
constexpr int kOpenTries = 100;
constexpr DWORD kOpenTimeoutMs = 10000;
constexpr DWORD kOpenRetryMs = 50;
// A component's copy is written under its name with this suffix, in the
// destination directory, and only then takes the destination's place.
constexpr wchar_t kTempSuffix[] = L".tmp";

// `directory` + (a backslash when it is not empty and lacks one) + `name`.
bool JoinPath(WideBuffer& path, const wchar_t* directory, const wchar_t* name) {
  Release(path);
  size_t length = directory ? wcslen(directory) : 0;
  if (length > 0) {
    if (!Append(path, directory)) return false;
    if (directory[length - 1] != L'\\' && !Append(path, L"\\")) return false;
  }
  return !name || !*name || Append(path, name);
}

// The caller's copy of the destination path: the whole path or nothing.
void HandBack(wchar_t* destination, size_t destinationChars, const WideBuffer& path) {
  if (!destination || destinationChars == 0) return;
  uint64_t length = Length(path);
  if (length + 1 <= destinationChars) {
    wmemcpy(destination, Text(path), static_cast<size_t>(length));
    destination[length] = L'\0';
  } else {
    destination[0] = L'\0';
  }
}

// Copies block by block. A short write or a failed read leaves a damaged
// copy, so either makes the copy fail (error 8, destination path).
bool CopyBlocks(InstallSession& session, HANDLE source, HANDLE target, const wchar_t* targetPath) {
  BYTE block[kBlockBytes];
  for (;;) {
    DWORD read = 0;
    if (!Os().ReadFile(source, block, kBlockBytes, &read, nullptr)) {
      LogCopyFailed(session, targetPath);
      return false;
    }
    if (read > 0) {
      DWORD written = 0;
      if (!Os().WriteFile(target, block, read, &written, nullptr) || written != read) {
        LogCopyFailed(session, targetPath);
        return false;
      }
    }
    if (read < kBlockBytes) return true;
  }
}

// Repeats `attempt` (which sets the last error when it fails) every 50 ms,
// at most 100 times and, once more than 10 s have passed, no more: then
// "CreateFile - timeout". The last error of the last attempt stays.
template <class Attempt>
bool RetryBounded(InstallSession& session, Attempt attempt) {
  const DWORD start = Os().GetTickCount();
  DWORD error = 0;
  for (int tries = 0; tries < kOpenTries; ++tries) {
    if (attempt()) return true;
    error = Os().GetLastError();
    // Unsigned difference: a wrap of the tick count between the two readings
    // still gives the elapsed time.
    if (static_cast<DWORD>(Os().GetTickCount() - start) > kOpenTimeoutMs) {
      LogLine(session, L"CreateFile - timeout");
      Os().SetLastError(error);
      return false;
    }
    Os().Sleep(kOpenRetryMs);
  }
  Os().SetLastError(error);
  return false;
}

HANDLE OpenSource(const wchar_t* path) {
  return Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Absent(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Our own unfinished copy goes; the last error is kept for the log line that
// follows. One that cannot go is left to the run's deletion passes.
void DropPartialCopy(InstallSession& session, const wchar_t* path) {
  DWORD error = Os().GetLastError();
  if (!Os().DeleteFileW(path) && !Absent(Os().GetLastError()))
    AddPendingDelete(session.PendingDeletes, path);
  Os().SetLastError(error);
}

// Writes the source into the temporary file, flushes it and puts it in the
// destination's place. The destination is replaced whole or not at all: a
// copy that fails part-way never touches it.
HRESULT CopyThroughTemporary(InstallSession& session, HANDLE source, const wchar_t* targetPath,
                             const wchar_t* tempPath, bool report) {
  // A leftover of a copy cut off earlier would otherwise stand in the way.
  Os().DeleteFileW(tempPath);
  UniqueFile part(OpenDestinationWithRetry(session, tempPath));
  if (!part) {
    // The temporary file is ours; the administrator looks at the destination.
    if (report) LogCopyDestinationFailed(session, targetPath);
    return E_FAIL;
  }
  bool whole = CopyBlocks(session, source, part.get(), targetPath);
  if (whole && !Os().FlushFileBuffers(part.get())) {
    LogCopyFailed(session, targetPath);
    whole = false;
  }
  // Closed before it is dropped or takes the destination's place.
  part.reset();
  if (!whole) {
    DropPartialCopy(session, tempPath);
    return E_FAIL;
  }
  // A destination held open (a loaded monitor, a scanner) refuses to be
  // replaced; it may let go in a moment.
  bool replaced = RetryBounded(session, [&] {
    return Os().MoveFileExW(tempPath, targetPath,
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
  });
  if (!replaced) {
    if (report) LogCopyDestinationFailed(session, targetPath);
    DropPartialCopy(session, tempPath);
    return E_FAIL;
  }
  return S_OK;
}

}  // namespace

HANDLE OpenDestinationWithRetry(InstallSession& session, const wchar_t* path) {
  if (!path) {
    Os().SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  RetryBounded(session, [&] {
    file = Os().CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                            nullptr);
    return file != INVALID_HANDLE_VALUE;
  });
  return file;
}

bool ComponentPath(WideBuffer& path, const wchar_t* directory, const wchar_t* name) {
  return JoinPath(path, directory, name);
}

bool ComponentTempPath(WideBuffer& path, const wchar_t* directory, const wchar_t* name) {
  return JoinPath(path, directory, name) && Append(path, kTempSuffix);
}

HANDLE OpenComponentSource(const InstallSession& session, const wchar_t* fileName) {
  WideBuffer path;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (JoinPath(path, Text(session.ModuleDirectory), fileName ? fileName : L""))
    file = OpenSource(Text(path));
  else
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return file;
}

bool CheckReplaceable(InstallSession& session, const wchar_t* path) {
  return RetryBounded(session, [&] {
    // MoveFileExW replaces a file only when nobody else has it open in any
    // way (Wine refuses even with delete sharing) and no process has it
    // mapped, which write access is refused for: the same open, no sharing.
    UniqueFile file(Os().CreateFileW(path, GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    if (file) return true;
    // No such file: nothing stands in the way.
    return Absent(Os().GetLastError());
  });
}

bool CheckRoomToWrite(const wchar_t* directory, const wchar_t* name, uint64_t bytes) {
  WideBuffer path;
  if (!ComponentTempPath(path, directory, name)) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  // Gone when closed, also when the run is cut off before.
  UniqueFile scratch(Os().CreateFileW(Text(path), GENERIC_WRITE | DELETE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  // A version folder the spooler has not made yet: it makes it itself, in
  // the driver directory, which is checked on its own.
  if (!scratch) return Os().GetLastError() == ERROR_PATH_NOT_FOUND;
  // Written for real: a reservation (SetEndOfFile) passes on a volume that
  // then cannot hold the data, and a read-only or full one fails only here.
  BYTE zeros[kBlockBytes] = {};
  for (uint64_t left = bytes; left > 0;) {
    DWORD chunk = left < kBlockBytes ? static_cast<DWORD>(left) : kBlockBytes;
    DWORD written = 0;
    if (!Os().WriteFile(scratch.get(), zeros, chunk, &written, nullptr)) return false;
    if (written != chunk) {
      Os().SetLastError(ERROR_DISK_FULL);
      return false;
    }
    left -= chunk;
  }
  return Os().FlushFileBuffers(scratch.get()) != FALSE;
}

void RemoveCutCopies(InstallSession& session) {
  const wchar_t* drivers = Text(session.DriverDirectory);
  const wchar_t* system = Text(session.SystemDirectory);
  const struct {
    const wchar_t* directory;
    const wchar_t* name;
  } copies[] = {{drivers, session.DriverFile},
                {drivers, session.UiFile},
                {drivers, session.HelpFile},
                {system, session.MonitorFile}};
  for (const auto& copy : copies) {
    if (!*copy.directory || !copy.name || !*copy.name) continue;
    WideBuffer path;
    if (ComponentTempPath(path, copy.directory, copy.name) && !Os().DeleteFileW(Text(path)) &&
        !Absent(Os().GetLastError()))
      AddPendingDelete(session.PendingDeletes, Text(path));
  }
}

HRESULT CopyComponentFile(InstallSession& session, const wchar_t* targetDirectory,
                          const wchar_t* fileName, wchar_t* destination, size_t destinationChars,
                          bool report) {
  if (!targetDirectory) targetDirectory = L"";
  if (!fileName) fileName = L"";
  LogSection section(session, L">CopyFile %s to %s [%d])", fileName, targetDirectory,
                     report ? 1 : 0);

  HRESULT result = E_FAIL;
  WideBuffer sourcePath;
  WideBuffer targetPath;
  WideBuffer tempPath;
  bool paths = JoinPath(sourcePath, Text(session.ModuleDirectory), fileName) &&
               JoinPath(targetPath, targetDirectory, fileName) &&
               ComponentTempPath(tempPath, targetDirectory, fileName);
  if (!paths) Release(targetPath);
  HandBack(destination, destinationChars, targetPath);

  if (!paths) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (report) LogCopySourceFailed(session, fileName);
  } else {
    // The copy is closed (and in place) before the source is closed.
    UniqueFile source(OpenSource(Text(sourcePath)));
    if (!source) {
      if (report) LogCopySourceFailed(session, fileName);
    } else {
      result = CopyThroughTemporary(session, source.get(), Text(targetPath), Text(tempPath), report);
    }
  }

  LogLine(session, result == S_OK ? L"Copy Succeeded :)" : L"Copy Failed :(");
  return result;
}

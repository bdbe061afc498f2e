#include <cwchar>

#include "files/files.h"
#include "platform/platform.h"
#include "session/session.h"

namespace {

constexpr DWORD kBlockBytes = 8192;
constexpr int kOpenTries = 100;
constexpr DWORD kOpenTimeoutMs = 10000;
constexpr DWORD kOpenRetryMs = 50;

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
// destination, so either makes the copy fail (error 8, destination path).
bool CopyBlocks(InstallSession& session, HANDLE source, HANDLE target, const wchar_t* targetPath) {
  BYTE block[kBlockBytes];
  for (;;) {
    DWORD read = 0;
    if (!Os().ReadFile(source, block, kBlockBytes, &read, nullptr)) {
      LogError(session, 8, ErrorMessageFormat(8), targetPath);
      return false;
    }
    if (read > 0) {
      DWORD written = 0;
      if (!Os().WriteFile(target, block, read, &written, nullptr) || written != read) {
        LogError(session, 8, ErrorMessageFormat(8), targetPath);
        return false;
      }
    }
    if (read < kBlockBytes) return true;
  }
}

}  // namespace

HANDLE OpenDestinationWithRetry(InstallSession& session, const wchar_t* path) {
  if (!path) {
    Os().SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD start = Os().GetTickCount();
  DWORD error = 0;
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    HANDLE file = Os().CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                                   nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    error = Os().GetLastError();
    // Unsigned difference: a wrap of the tick count between the two readings
    // still gives the elapsed time.
    if (static_cast<DWORD>(Os().GetTickCount() - start) > kOpenTimeoutMs) {
      LogLine(session, L"CreateFile - timeout");
      Os().SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    Os().Sleep(kOpenRetryMs);
  }
  Os().SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

HRESULT CopyComponentFile(InstallSession& session, const wchar_t* targetDirectory,
                          const wchar_t* fileName, wchar_t* destination, size_t destinationChars,
                          bool report) {
  if (!targetDirectory) targetDirectory = L"";
  if (!fileName) fileName = L"";
  LogLine(session, L">CopyFile %s to %s [%d])", fileName, targetDirectory, report ? 1 : 0);
  ++session.IndentDepth;

  HRESULT result = E_FAIL;
  WideBuffer sourcePath;
  WideBuffer targetPath;
  bool paths = JoinPath(sourcePath, Text(session.ModuleDirectory), fileName) &&
               JoinPath(targetPath, targetDirectory, fileName);
  if (!paths) Release(targetPath);
  HandBack(destination, destinationChars, targetPath);

  if (!paths) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (report) LogError(session, 10, ErrorMessageFormat(10), fileName);
  } else {
    HANDLE source = Os().CreateFileW(Text(sourcePath), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (source == INVALID_HANDLE_VALUE) {
      if (report) LogError(session, 10, ErrorMessageFormat(10), fileName);
    } else {
      HANDLE target = OpenDestinationWithRetry(session, Text(targetPath));
      if (target == INVALID_HANDLE_VALUE) {
        if (report) LogError(session, 9, ErrorMessageFormat(9), Text(targetPath));
      } else {
        if (CopyBlocks(session, source, target, Text(targetPath))) result = S_OK;
        Os().CloseHandle(target);
      }
      Os().CloseHandle(source);
    }
  }

  Release(sourcePath);
  Release(targetPath);
  LogLine(session, result == S_OK ? L"Copy Succeeded :)" : L"Copy Failed :(");
  --session.IndentDepth;
  return result;
}

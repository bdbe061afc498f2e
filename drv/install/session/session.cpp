#include "session/session.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <utility>

#include "platform/platform.h"

// Both compare the whole name with its terminator. wcscmp stops at the first
// difference, so a shorter name is never read past its own terminator.
bool IsProductPortName(const wchar_t* name) {
  return name && std::wcscmp(name, kProductPort) == 0;
}

bool IsProductDriverName(const wchar_t* name) {
  return name && std::wcscmp(name, kProductDriver) == 0;
}

bool SameAsciiName(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return false;
  for (;; ++a, ++b) {
    wchar_t x = *a >= L'A' && *a <= L'Z' ? static_cast<wchar_t>(*a - L'A' + L'a') : *a;
    wchar_t y = *b >= L'A' && *b <= L'Z' ? static_cast<wchar_t>(*b - L'A' + L'a') : *b;
    if (x != y) return false;
    if (x == L'\0') return true;
  }
}

bool SamePathText(const wchar_t* a, const wchar_t* b) {
  return a && b && Os().CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool PathBeginsWith(const wchar_t* path, const wchar_t* prefix, size_t count) {
  if (!path || !prefix || count > INT_MAX) return false;
  // Neither text is read past its terminator.
  for (size_t i = 0; i < count; ++i)
    if (!path[i] || !prefix[i]) return false;
  return count == 0 || Os().CompareStringOrdinal(path, static_cast<int>(count), prefix,
                                                 static_cast<int>(count), TRUE) == CSTR_EQUAL;
}

// ---------------------------------------------------------------------------
// WideBuffer

namespace {

struct WideBlock {
  uint64_t count;
  wchar_t chars[1];
};

constexpr size_t kCountBytes = sizeof(uint64_t);

WideBlock* BlockOf(const WideBuffer& buffer) { return static_cast<WideBlock*>(buffer.block); }

}  // namespace

size_t WideBlockBytes(uint64_t count) {
  uint64_t capacity = (count + 1 + 31) / 32 * 32;
  return kCountBytes + static_cast<size_t>(capacity) * sizeof(wchar_t);
}

uint64_t Length(const WideBuffer& buffer) { return buffer.block ? BlockOf(buffer)->count : 0; }

const wchar_t* Text(const WideBuffer& buffer) {
  return buffer.block ? BlockOf(buffer)->chars : L"";
}

wchar_t* MutableText(WideBuffer& buffer) { return buffer.block ? BlockOf(buffer)->chars : nullptr; }

bool SetLength(WideBuffer& buffer, uint64_t count) {
  if (count == 0) {
    Release(buffer);
    return true;
  }
  // A count whose block size would not fit size_t is refused like any other
  // allocation that cannot be had.
  if (count >= (SIZE_MAX - kCountBytes) / sizeof(wchar_t) - 64) return false;
  size_t bytes = WideBlockBytes(count);
  if (!buffer.block) {
    void* block = Os().HeapAlloc(Os().GetProcessHeap(), 0, bytes);
    if (!block) return false;
    buffer.block = block;
  } else if (bytes != WideBlockBytes(BlockOf(buffer)->count)) {
    void* block = Os().HeapReAlloc(Os().GetProcessHeap(), 0, buffer.block, bytes);
    if (!block) return false;
    buffer.block = block;
  }
  BlockOf(buffer)->count = count;
  BlockOf(buffer)->chars[count] = L'\0';
  return true;
}

void Release(WideBuffer& buffer) {
  if (buffer.block) Os().HeapFree(Os().GetProcessHeap(), 0, buffer.block);
  buffer.block = nullptr;
}

bool Assign(WideBuffer& buffer, const wchar_t* text) {
  size_t n = text ? std::wcslen(text) : 0;
  if (n == 0) {
    Release(buffer);
    return true;
  }
  if (!SetLength(buffer, n)) return false;
  std::wmemmove(BlockOf(buffer)->chars, text, n);
  return true;
}

bool AppendCount(WideBuffer& buffer, const wchar_t* text, size_t count) {
  if (!text || count == 0) return true;
  uint64_t old = Length(buffer);
  // The text may lie inside the buffer itself: keep its offset across a move.
  const wchar_t* base = Text(buffer);
  bool inside = buffer.block && text >= base && text <= base + old;
  size_t offset = inside ? static_cast<size_t>(text - base) : 0;
  if (!SetLength(buffer, old + count)) return false;
  const wchar_t* source = inside ? BlockOf(buffer)->chars + offset : text;
  std::wmemmove(BlockOf(buffer)->chars + old, source, count);
  return true;
}

bool Append(WideBuffer& buffer, const wchar_t* text) {
  return AppendCount(buffer, text, text ? std::wcslen(text) : 0);
}

WideBuffer AssignAnsi(const char* text) {
  WideBuffer result;
  if (!text || !*text) return result;
  int withTerminator = Os().MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  if (withTerminator <= 1) return result;
  if (!SetLength(result, static_cast<uint64_t>(withTerminator - 1))) return result;
  Os().MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, BlockOf(result)->chars,
                           withTerminator);
  BlockOf(result)->chars[withTerminator - 1] = L'\0';
  return result;
}

WideBuffer ParentDirectory(const WideBuffer& buffer) {
  WideBuffer result;
  const wchar_t* text = Text(buffer);
  const wchar_t* separator = std::wcsrchr(text, L'\\');
  if (!separator) separator = std::wcsrchr(text, L'/');
  if (!separator || separator == text) return result;
  AppendCount(result, text, static_cast<size_t>(separator - text));
  return result;
}

WideBuffer CopyBuffer(const WideBuffer& buffer) {
  WideBuffer result;
  AppendCount(result, Text(buffer), static_cast<size_t>(Length(buffer)));
  return result;
}

// ---------------------------------------------------------------------------
// Session

void BeginSession(InstallSession& session) {
  session.ModuleDirectory = {};
  session.SystemDirectory = {};
  session.InstallLog = {};
  session.DriverDirectory = {};
  session.Environment = nullptr;
  session.DriverFile = nullptr;
  session.HelpFile = nullptr;
  session.UiFile = nullptr;
  session.PendingDeletes = nullptr;
  session.SavedPrinters = nullptr;
  session.Printers = {};
  session.ErrorCount = 0;
  session.IndentDepth = 0;
  LogLine(session, L"Loomscribe %d", kBuildNumber);
  session.Reinstall = 0;
  session.InstallMonitor = 1;
  session.CopyMonitor = 1;
  session.MonitorFile = nullptr;
  session.RedirectedPorts = nullptr;
  session.RedirectedRewrites = nullptr;
  session.Monitor = MonitorPlan{};
  session.Journal = nullptr;
  session.DriverReady = 0;
}

void TakeSessionDirectories(InstallSession& session) {
  wchar_t path[MAX_PATH] = {};
  Os().GetModuleFileNameW(nullptr, path, MAX_PATH);
  path[MAX_PATH - 1] = L'\0';  // a truncated path may come back unterminated
  wchar_t* cut = nullptr;
  for (wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') cut = p;
  if (cut) {
    cut[1] = L'\0';
    Assign(session.ModuleDirectory, path);
  } else {
    Release(session.ModuleDirectory);
  }

  wchar_t system[MAX_PATH + 1] = {};
  UINT n = Os().GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    LogSystemDirectoryUnknown(session);
    Release(session.SystemDirectory);
    return;
  }
  if (system[n - 1] != L'\\') {
    system[n] = L'\\';
    system[n + 1] = L'\0';
  }
  Assign(session.SystemDirectory, system);
}

void EndSession(InstallSession& session) {
  if (session.RedirectedPorts) Os().GlobalFree(session.RedirectedPorts);
  session.RedirectedPorts = nullptr;
  if (session.RedirectedRewrites) Os().GlobalFree(session.RedirectedRewrites);
  session.RedirectedRewrites = nullptr;
  if (session.Printers.buffer) Os().GlobalFree(session.Printers.buffer);
  session.Printers = {};
  for (SavedPrinter* node = session.SavedPrinters; node;) {
    SavedPrinter* next = node->next;
    if (node->subKey) Os().GlobalFree(node->subKey);
    if (node->opened) Os().ClosePrinter(node->opened);
    Os().GlobalFree(node);
    node = next;
  }
  session.SavedPrinters = nullptr;
  ReleasePendingDeletes(&session.PendingDeletes);
  Release(session.Monitor.Library);
  session.Monitor = MonitorPlan{};
  Release(session.DriverDirectory);
  Release(session.InstallLog);
  Release(session.SystemDirectory);
  Release(session.ModuleDirectory);
}

// ---------------------------------------------------------------------------
// Log

namespace {

constexpr size_t kLineChars = 1024;

// Formats into a 1024-character buffer; output that does not fit is cut at
// 1023 characters instead of running past the buffer.
void FormatInto(wchar_t* line, size_t capacity, const wchar_t* format, va_list args) {
  if (capacity == 0) return;
  line[0] = L'\0';
  if (!format) return;
  int n = _vsnwprintf_s(line, capacity, _TRUNCATE, format, args);
  if (n < 0) line[capacity - 1] = L'\0';
}

void WriteLine(InstallSession& session, const wchar_t* text) {
  // The indentation, the text and CR LF go into the log in one append: when
  // memory for it cannot be had the whole line is lost, never a part of it,
  // so the log stays consistent and the run goes on.
  wchar_t line[20 + kLineChars + 2];
  size_t n = 0;
  if (session.IndentDepth > 0) {
    int depth = session.IndentDepth > 10 ? 10 : session.IndentDepth;
    for (int i = 0; i < depth * 2; ++i) line[n++] = L' ';
  }
  size_t length = text ? std::wcslen(text) : 0;
  if (length > kLineChars - 1) length = kLineChars - 1;
  std::wmemcpy(line + n, text ? text : L"", length);
  n += length;
  line[n++] = L'\r';
  line[n++] = L'\n';
  AppendCount(session.InstallLog, line, n);
}

}  // namespace

void LogLine(InstallSession& session, const wchar_t* format, ...) {
  wchar_t line[kLineChars];
  va_list args;
  va_start(args, format);
  FormatInto(line, kLineChars, format, args);
  va_end(args);
  WriteLine(session, line);
}

wchar_t* SystemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = Os().FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text),
      0, nullptr);
  if (n == 0) {
    if (text) Os().LocalFree(text);
    return nullptr;
  }
  return text;
}

void LogError(InstallSession& session, int code, const wchar_t* format, ...) {
  wchar_t line[kLineChars];
  _snwprintf_s(line, kLineChars, _TRUNCATE, L"Error(%d): ", code);
  size_t used = std::wcslen(line);
  va_list args;
  va_start(args, format);
  FormatInto(line + used, kLineChars - used, format, args);
  va_end(args);

  DWORD lastError = Os().GetLastError();
  wchar_t* text = SystemErrorText(lastError);
  if (text) {
    size_t n = std::wcslen(text);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n')) text[--n] = L'\0';
  }
  if (lastError != 0) {
    used = std::wcslen(line);
    if (text)
      _snwprintf_s(line + used, kLineChars - used, _TRUNCATE, L" - (%s)", text);
    else
      _snwprintf_s(line + used, kLineChars - used, _TRUNCATE, L" - ( No Description )");
  }
  WriteLine(session, line);
  ++session.ErrorCount;
  if (text) Os().LocalFree(text);
}

// The error codes and their messages. Installers read these texts, and
// support staff search logs for them, so each one is a contract: wording,
// spelling, the odd quote marks and the missing blank in code 11 included.
// A code's text is written here once; its function below passes the code
// and that text together, so the two cannot drift apart.
namespace {

template <int Code>
constexpr const wchar_t* kErrorText = nullptr;

template <> constexpr const wchar_t* kErrorText<1> = L"Can't open service manager.";
template <> constexpr const wchar_t* kErrorText<2> = L"Can't open the spooler";
template <> constexpr const wchar_t* kErrorText<3> = L"Can't stop the spooler";
template <> constexpr const wchar_t* kErrorText<4> = L"Can't start the spooler";
template <> constexpr const wchar_t* kErrorText<5> = L"ControlService failed with code %d (0x%x)";
template <> constexpr const wchar_t* kErrorText<6> = L"Can`t retrieve printer driver directory.";
template <> constexpr const wchar_t* kErrorText<7> = L"Can`t retrieve system directory.";
template <> constexpr const wchar_t* kErrorText<8> = L"CopyFile(..,%s)";
template <> constexpr const wchar_t* kErrorText<9> = L"Cant't open destination file: %s";
template <> constexpr const wchar_t* kErrorText<10> = L"Cant't open source file: %s";
template <> constexpr const wchar_t* kErrorText<11> = L"Can`t install a local port monitor'Loomscribe:'";
template <> constexpr const wchar_t* kErrorText<12> = L"Can`t remove the port monitor 'Loomscribe:'";
template <> constexpr const wchar_t* kErrorText<13> = L"Can`t install a printer driver 'Loomscribe printer'";
template <> constexpr const wchar_t* kErrorText<14> = L"Can`t remove the printer-driver 'Loomscribe printer'";
template <> constexpr const wchar_t* kErrorText<15> = L"Can`t add printer '%s'";
template <> constexpr const wchar_t* kErrorText<16> = L"Can`t open printer '%s'";
template <> constexpr const wchar_t* kErrorText<17> = L"Can`t delete printer '%s'";
template <> constexpr const wchar_t* kErrorText<18> = L"Can`t wait for the other install.exe run to end";
template <> constexpr const wchar_t* kErrorText<19> = L"Can`t delete or schedule file: %s";
template <> constexpr const wchar_t* kErrorText<20> = L"Can`t write the printer journal";
template <> constexpr const wchar_t* kErrorText<21> = L"Can`t carry printer '%s'";
template <> constexpr const wchar_t* kErrorText<22> =
    L"Can`t keep a file of the previous installation: %s";
template <> constexpr const wchar_t* kErrorText<23> =
    L"Can`t put back the previous installation: %s";

constexpr int kLastErrorCode = 23;

template <int Code, typename... Args>
void LogCoded(InstallSession& session, Args... args) {
  static_assert(kErrorText<Code> != nullptr, "an error code without its text");
  LogError(session, Code, kErrorText<Code>, args...);
}

template <int... Codes>
const wchar_t* TextOfCode(int code, std::integer_sequence<int, Codes...>) {
  static const wchar_t* const texts[] = {kErrorText<Codes + 1>...};
  return code >= 1 && code <= kLastErrorCode ? texts[code - 1] : L"";
}

}  // namespace

void LogServiceManagerOpenFailed(InstallSession& s) { LogCoded<1>(s); }
void LogSpoolerOpenFailed(InstallSession& s) { LogCoded<2>(s); }
void LogSpoolerStopFailed(InstallSession& s) { LogCoded<3>(s); }
void LogSpoolerStartFailed(InstallSession& s) { LogCoded<4>(s); }
// Both placeholders show the same code, in decimal and in hexadecimal.
void LogControlServiceFailed(InstallSession& s, DWORD error) {
  LogCoded<5>(s, static_cast<int>(error), error);
}
void LogDriverDirectoryUnknown(InstallSession& s) { LogCoded<6>(s); }
void LogSystemDirectoryUnknown(InstallSession& s) { LogCoded<7>(s); }
void LogCopyFailed(InstallSession& s, const wchar_t* target) { LogCoded<8>(s, target); }
void LogCopyDestinationFailed(InstallSession& s, const wchar_t* path) { LogCoded<9>(s, path); }
void LogCopySourceFailed(InstallSession& s, const wchar_t* name) { LogCoded<10>(s, name); }
void LogMonitorInstallFailed(InstallSession& s) { LogCoded<11>(s); }
void LogMonitorRemoveFailed(InstallSession& s) { LogCoded<12>(s); }
void LogDriverInstallFailed(InstallSession& s) { LogCoded<13>(s); }
void LogDriverRemoveFailed(InstallSession& s) { LogCoded<14>(s); }
void LogPrinterAddFailed(InstallSession& s, const wchar_t* printer) { LogCoded<15>(s, printer); }
void LogPrinterOpenFailed(InstallSession& s, const wchar_t* printer) { LogCoded<16>(s, printer); }
void LogPrinterDeleteFailed(InstallSession& s, const wchar_t* printer) { LogCoded<17>(s, printer); }
void LogOtherRunWaitFailed(InstallSession& s) { LogCoded<18>(s); }
void LogFileDeleteFailed(InstallSession& s, const wchar_t* path) { LogCoded<19>(s, path); }
void LogJournalWriteFailed(InstallSession& s) { LogCoded<20>(s); }
void LogCantCarryPrinter(InstallSession& s, const wchar_t* printer) { LogCoded<21>(s, printer); }
void LogCantKeepPreviousFile(InstallSession& s, const wchar_t* path) { LogCoded<22>(s, path); }
void LogCantPutBackPrevious(InstallSession& s, const wchar_t* what) { LogCoded<23>(s, what); }

const wchar_t* ErrorMessageFormat(int code) {
  return TextOfCode(code, std::make_integer_sequence<int, kLastErrorCode>{});
}

// ---------------------------------------------------------------------------
// PendingDeleteList

void AddPendingDelete(PendingDelete** head, const wchar_t* path) {
  for (PendingDelete* node = *head; node; node = node->next) {
    const wchar_t* listed = node->path ? node->path : L"";
    if (std::wcscmp(listed, path ? path : L"") == 0) return;
  }
  auto* node = static_cast<PendingDelete*>(Os().GlobalAlloc(GPTR, sizeof(PendingDelete)));
  if (!node) return;
  node->path = nullptr;
  size_t n = path ? std::wcslen(path) : 0;
  if (n > 0) {
    node->path = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (n + 1) * sizeof(wchar_t)));
    if (!node->path) {
      // A node without its path would later be taken for an empty path.
      Os().GlobalFree(node);
      return;
    }
    std::wmemcpy(node->path, path, n);
  }
  node->next = *head;
  *head = node;
}

void DeleteFileTry(InstallSession& session) {
  LogLine(session, L"DeleteFile-try");
  PendingDelete** link = &session.PendingDeletes;
  while (PendingDelete* node = *link) {
    bool gone = Os().DeleteFileW(node->path ? node->path : L"") ||
                Os().GetLastError() == ERROR_FILE_NOT_FOUND;
    if (gone) {
      *link = node->next;
      if (node->path) Os().GlobalFree(node->path);
      Os().GlobalFree(node);
    } else {
      link = &node->next;
    }
  }
}

void ReleasePendingDeletes(PendingDelete** head) {
  for (PendingDelete* node = *head; node;) {
    PendingDelete* next = node->next;
    if (node->path) Os().GlobalFree(node->path);
    Os().GlobalFree(node);
    node = next;
  }
  *head = nullptr;
}

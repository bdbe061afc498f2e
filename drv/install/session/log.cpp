#include "session/log.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <utility>

#include "platform/platform.h"
#include "session/session.h"

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

namespace {

// The product logs through the functions of log.h, one per code, never with
// a code of its own.
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

}  // namespace

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

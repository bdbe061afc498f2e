#include "support/product_run.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <winspool.h>

#include <cstring>
#include <vector>

#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace productrun {

const wchar_t kTrayClass[] = L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";

void CopyFilesOf(const std::wstring& from, const std::wstring& to) {
  ::CreateDirectoryW(to.c_str(), nullptr);
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((from + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    ::CopyFileW((from + L"\\" + found.cFileName).c_str(), (to + L"\\" + found.cFileName).c_str(),
                FALSE);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

void Customise(const std::wstring& name, const char* subKey, const std::wstring& comment,
               const std::wstring& location) {
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  ASSERT_TRUE(::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, &access)) << name;
  ASSERT_EQ(::SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ,
                              reinterpret_cast<BYTE*>(const_cast<char*>(subKey)),
                              static_cast<DWORD>(strlen(subKey) + 1)),
            static_cast<DWORD>(ERROR_SUCCESS));
  DWORD needed = 0;
  ::GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> block(needed);
  ASSERT_TRUE(::GetPrinterW(printer, 2, block.data(), needed, &needed));
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
  info->pComment = const_cast<LPWSTR>(comment.c_str());
  info->pLocation = const_cast<LPWSTR>(location.c_str());
  info->pSecurityDescriptor = nullptr;
  EXPECT_TRUE(::SetPrinterW(printer, 2, block.data(), 0));
  ::ClosePrinter(printer);
}

std::string SubKeyOf(const std::wstring& name, const char* key) {
  HANDLE printer = nullptr;
  if (!::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, nullptr)) return "(no printer)";
  char value[64] = {};
  DWORD type = 0, needed = 0;
  DWORD status = key ? ::GetPrinterDataExA(printer, key, "SubKey", &type,
                                           reinterpret_cast<BYTE*>(value), 64, &needed)
                     : ::GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                                         reinterpret_cast<BYTE*>(value), 64, &needed);
  ::ClosePrinter(printer);
  // Only a value that ends within the 64 bytes is taken whole.
  if (status != ERROR_SUCCESS || type != REG_SZ || !memchr(value, 0, sizeof(value))) return "(none)";
  return std::string(value);
}

void DeleteFilesOf(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      ::DeleteFileW((directory + L"\\" + found.cFileName).c_str());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

std::wstring StageProduct(const std::wstring& name) {
  std::wstring product = testutil::ScratchDirectory(name);
  ::CreateDirectoryW((product + L"\\x64").c_str(), nullptr);
  DeleteFilesOf(product + L"\\x64");
  CopyFilesOf(testutil::ProductDirectory(), product);
  CopyFilesOf(testutil::ProductX64Directory(), product + L"\\x64");
  return product;
}

HWND FindDialogOf(DWORD processId) {
  struct Search {
    DWORD process;
    HWND found;
  } search = {processId, nullptr};
  ::EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        wchar_t cls[32] = {};
        ::GetClassNameW(window, cls, 32);
        if (owner != s->process || std::wstring(cls) != L"#32770" || !::IsWindowVisible(window))
          return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring WindowText(HWND window) {
  LRESULT length = ::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  LRESULT got = ::SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
  text.resize(static_cast<size_t>(got));
  return text;
}

Process::~Process() {
  if (!handle) return;
  if (::WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) ::TerminateProcess(handle, 99);
  ::CloseHandle(handle);
}

DWORD Process::Wait(DWORD ms) const {
  if (::WaitForSingleObject(handle, ms) != WAIT_OBJECT_0) return 0xFFFFFFFF;
  DWORD code = 0xFFFFFFFF;
  ::GetExitCodeProcess(handle, &code);
  return code;
}

bool Start(const std::wstring& commandLine, Process& process) {
  std::wstring line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
    return false;
  ::CloseHandle(info.hThread);
  process.handle = info.hProcess;
  process.id = info.dwProcessId;
  return true;
}

DWORD WaitClosingLogWindows(Process& process, DWORD timeoutMs, std::wstring* log) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 250) {
    DWORD code = process.Wait(250);
    if (code != kNotEnded) return code;
    if (HWND dialog = FindDialogOf(process.id)) {
      std::wstring text = WindowText(::GetDlgItem(dialog, 1001));
      if (log)
        *log = text;
      else
        ADD_FAILURE() << "log window shown: " << text;
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
  }
  ADD_FAILURE() << "did not end within " << timeoutMs << " ms";
  return kNotEnded;
}

DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs) {
  std::wstring line = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  Process process;
  if (!Start(line, process)) {
    ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError() << " " << line;
    return 0xFFFFFFFF;
  }
  return WaitClosingLogWindows(process, timeoutMs);
}

DWORD RunInstall(const std::wstring& product, const std::wstring& arguments) {
  return RunProgram(product + L"\\x64\\install.exe", arguments);
}

DWORD RunInstallReadingLog(const std::wstring& product, const std::wstring& arguments,
                           std::wstring& log) {
  Process process;
  if (!Start(L"\"" + product + L"\\x64\\install.exe\" " + arguments, process)) {
    ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
    return kNotEnded;
  }
  return WaitClosingLogWindows(process, 180000, &log);
}

void RemoveProductTraces() {
  QuitAnyTray();
  DeleteRunValue();
  winespool::RemoveAllProductState();
}

void ProductTest::SetUp() {
  CleanUp();
  savedDefault_ = winespool::DefaultPrinter();
}

void ProductTest::TearDown() {
  CleanUp();
  if (!savedDefault_.empty()) ::SetDefaultPrinterW(savedDefault_.c_str());
}

void WriteRunValue(const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
}

void DeleteRunValue() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  ::RegDeleteValueW(key, kRunValue);
  ::RegCloseKey(key);
}

HWND WaitForTrayWindow(DWORD ms) {
  for (DWORD waited = 0;; waited += 50) {
    if (HWND window = ::FindWindowW(kTrayClass, nullptr)) return window;
    if (waited >= ms) return nullptr;
    ::Sleep(50);
  }
}

void QuitAnyTray() {
  // Asked first, as install.exe asks it; a tray program that has only just
  // been started may not have its window (or even its mutex) yet, so the
  // processes themselves are what counts, and any left are ended.
  for (int round = 0; round < 100; ++round) {
    HWND window = ::FindWindowW(kTrayClass, nullptr);
    if (window) ::PostMessageW(window, WM_USER + 2, 0, 0);
    if (!window && !TrayMutexExists() && TrayProcessIds().empty()) return;
    ::Sleep(50);
  }
  for (DWORD id : TrayProcessIds()) {
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (!process) continue;
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 5000);
    ::CloseHandle(process);
  }
}

std::vector<DWORD> TrayProcessIds() {
  std::vector<DWORD> ids;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry))
    if (_wcsicmp(entry.szExeFile, L"lsbtray.exe") == 0) ids.push_back(entry.th32ProcessID);
  ::CloseHandle(snapshot);
  return ids;
}

}  // namespace productrun

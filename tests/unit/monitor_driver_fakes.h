// Fakes for the monitor and driver unit tests: a file system of paths and
// bytes behind CreateFileW/ReadFile/WriteFile/FlushFileBuffers/CloseHandle/
// DeleteFileW/MoveFileExW (a locked file cannot be replaced either), the
// spooler service behind the SCM calls, and spooler enumeration blocks laid
// out as the spooler lays them out (records, then their strings back to back).
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/fake_platform.h"

namespace mdfake {

constexpr wchar_t kSystemDir[] = L"C:\\windows\\system32\\";
constexpr wchar_t kModuleDir[] = L"C:\\product\\x64\\";
constexpr wchar_t kDriverDir[] = L"C:\\windows\\system32\\spool\\drivers\\x64\\";

struct Files {
  struct Open {
    std::wstring path;
    size_t position = 0;
  };
  std::map<std::wstring, std::string> files;
  std::set<std::wstring> locked;       // opening for writing or replacing fails
  std::set<std::wstring> undeletable;  // DeleteFileW fails with access denied
  std::map<HANDLE, Open> open;
  uintptr_t next = 0x5000;

  void Install() {
    fake::Set<&Platform::CreateFileW>([this](LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                                             DWORD disposition, DWORD, HANDLE) -> HANDLE {
      std::wstring p = path;
      if (access & GENERIC_WRITE) {
        if (locked.count(p)) {
          ::SetLastError(ERROR_SHARING_VIOLATION);
          return INVALID_HANDLE_VALUE;
        }
        if (disposition == CREATE_ALWAYS) files[p].clear();
      }
      if (!files.count(p)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
      HANDLE h = reinterpret_cast<HANDLE>(next += 4);
      open[h] = {p, 0};
      return h;
    });
    fake::Set<&Platform::ReadFile>([this](HANDLE h, LPVOID buffer, DWORD bytes, LPDWORD read,
                                          LPOVERLAPPED) -> BOOL {
      auto it = open.find(h);
      if (it == open.end()) return ::SetLastError(ERROR_INVALID_HANDLE), FALSE;
      const std::string& data = files[it->second.path];
      size_t n = std::min<size_t>(bytes, data.size() - it->second.position);
      std::memcpy(buffer, data.data() + it->second.position, n);
      it->second.position += n;
      *read = static_cast<DWORD>(n);
      return TRUE;
    });
    fake::Set<&Platform::WriteFile>([this](HANDLE h, LPCVOID buffer, DWORD bytes, LPDWORD written,
                                           LPOVERLAPPED) -> BOOL {
      auto it = open.find(h);
      if (it == open.end()) return ::SetLastError(ERROR_INVALID_HANDLE), FALSE;
      files[it->second.path].append(static_cast<const char*>(buffer), bytes);
      *written = bytes;
      return TRUE;
    });
    fake::Set<&Platform::CloseHandle>([this](HANDLE h) -> BOOL {
      if (!open.erase(h)) return ::SetLastError(ERROR_INVALID_HANDLE), FALSE;
      return TRUE;
    });
    fake::Set<&Platform::DeleteFileW>([this](LPCWSTR path) -> BOOL {
      std::wstring p = path;
      if (undeletable.count(p)) return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
      if (!files.erase(p)) return ::SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
      return TRUE;
    });
    fake::Set<&Platform::FlushFileBuffers>([this](HANDLE h) -> BOOL {
      return open.count(h) ? TRUE : (::SetLastError(ERROR_INVALID_HANDLE), FALSE);
    });
    fake::Set<&Platform::MoveFileExW>([this](LPCWSTR from, LPCWSTR to, DWORD) -> BOOL {
      if (!to || !files.count(from)) return ::SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
      if (locked.count(to)) return ::SetLastError(ERROR_SHARING_VIOLATION), FALSE;
      files[to] = files[from];
      files.erase(from);
      return TRUE;
    });
  }
};

// The spooler service as the SCM shows it. While it is stopped, the files
// named in `heldWhileRunning` can be written.
struct SpoolerService {
  bool running = true;
  int stops = 0;
  int starts = 0;
  Files* files = nullptr;
  std::set<std::wstring> heldWhileRunning;

  void Install() {
    static int scm, service;
    fake::Set<&Platform::OpenSCManagerW>(
        [](LPCWSTR, LPCWSTR, DWORD) { return reinterpret_cast<SC_HANDLE>(&scm); });
    fake::Set<&Platform::OpenServiceW>(
        [](SC_HANDLE, LPCWSTR, DWORD) { return reinterpret_cast<SC_HANDLE>(&service); });
    fake::Set<&Platform::CloseServiceHandle>([](SC_HANDLE) { return TRUE; });
    fake::Set<&Platform::ControlService>([this](SC_HANDLE, DWORD, LPSERVICE_STATUS) -> BOOL {
      if (!running) return ::SetLastError(ERROR_SERVICE_NOT_ACTIVE), FALSE;
      running = false;
      ++stops;
      Held(false);
      return TRUE;
    });
    fake::Set<&Platform::StartServiceW>([this](SC_HANDLE, DWORD, LPCWSTR*) -> BOOL {
      if (running) return ::SetLastError(ERROR_SERVICE_ALREADY_RUNNING), FALSE;
      running = true;
      ++starts;
      Held(true);
      return TRUE;
    });
    fake::Set<&Platform::QueryServiceStatus>([this](SC_HANDLE, LPSERVICE_STATUS status) {
      *status = {};
      status->dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
      return TRUE;
    });
    Held(running);
  }
  void Held(bool held) {
    if (!files) return;
    for (const std::wstring& p : heldWhileRunning) {
      if (held)
        files->locked.insert(p);
      else
        files->locked.erase(p);
    }
  }
};

// One global-heap block of records followed by their strings, as the spooler
// answers an enumeration. Strings are packed back to back with nothing
// between them, so a string written past its end runs into the next one.
class BlockBuilder {
 public:
  explicit BlockBuilder(size_t recordBytes, size_t count) : records_(recordBytes * count) {}
  // Offset (into the string area) of a copy of `text`, or SIZE_MAX for null.
  size_t Add(const wchar_t* text) {
    if (!text) return SIZE_MAX;
    size_t at = strings_.size();
    strings_.append(text);
    strings_.push_back(L'\0');
    return at;
  }
  size_t Bytes() const { return records_ + strings_.size() * sizeof(wchar_t); }
  // Copies records and strings into `block` (Bytes() long); `fix` gets the
  // address of each string offset.
  wchar_t* Strings(BYTE* block) const {
    auto* s = reinterpret_cast<wchar_t*>(block + records_);
    std::memcpy(s, strings_.data(), strings_.size() * sizeof(wchar_t));
    return s;
  }
  static wchar_t* At(wchar_t* strings, size_t offset) {
    return offset == SIZE_MAX ? nullptr : strings + offset;
  }

 private:
  size_t records_;
  std::wstring strings_;
};

struct MonitorEntry {
  const wchar_t* name;
  const wchar_t* environment;
  const wchar_t* dll;
};

// Writes MONITOR_INFO_2 records of `entries` into `block` (null: only sizes).
inline size_t FillMonitors(const std::vector<MonitorEntry>& entries, BYTE* block) {
  BlockBuilder b(sizeof(MONITOR_INFO_2W), entries.size());
  std::vector<size_t> at;
  for (const MonitorEntry& e : entries) {
    at.push_back(b.Add(e.name));
    at.push_back(b.Add(e.environment));
    at.push_back(b.Add(e.dll));
  }
  if (block) {
    wchar_t* s = b.Strings(block);
    auto* r = reinterpret_cast<MONITOR_INFO_2W*>(block);
    for (size_t i = 0; i < entries.size(); ++i)
      r[i] = {BlockBuilder::At(s, at[3 * i]), BlockBuilder::At(s, at[3 * i + 1]),
              BlockBuilder::At(s, at[3 * i + 2])};
  }
  return b.Bytes();
}

// EnumMonitorsW at level 2 over `entries`, with the two-call protocol.
inline void AnswerEnumMonitors(const std::vector<MonitorEntry>* entries) {
  fake::Set<&Platform::EnumMonitorsW>([entries](LPWSTR server, DWORD level, LPBYTE block, DWORD size,
                                                LPDWORD needed, LPDWORD returned) -> BOOL {
    if (server || level != 2) return ::SetLastError(ERROR_INVALID_LEVEL), FALSE;
    *returned = 0;
    *needed = static_cast<DWORD>(FillMonitors(*entries, nullptr));
    if (entries->empty()) return TRUE;
    if (!block || size < *needed) return ::SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    FillMonitors(*entries, block);
    *returned = static_cast<DWORD>(entries->size());
    return TRUE;
  });
}

struct PrinterEntry {
  const wchar_t* name;
  const wchar_t* port;
};

// A PRINTER_INFO_2 snapshot like EnumPrintersW's, in one global-heap block:
// the port text of each printer is followed at once by the next printer's
// name, so an overlong port text is seen in the neighbour's name.
inline PrinterList MakePrinters(const std::vector<PrinterEntry>& entries) {
  PrinterList list;
  if (entries.empty()) return list;
  BlockBuilder b(sizeof(PRINTER_INFO_2W), entries.size());
  std::vector<size_t> at;
  for (const PrinterEntry& e : entries) {
    at.push_back(b.Add(e.name));
    at.push_back(b.Add(e.port));
  }
  auto* block = static_cast<BYTE*>(::GlobalAlloc(GPTR, b.Bytes()));
  wchar_t* s = b.Strings(block);
  auto* r = reinterpret_cast<PRINTER_INFO_2W*>(block);
  for (size_t i = 0; i < entries.size(); ++i) {
    r[i].pPrinterName = BlockBuilder::At(s, at[2 * i]);
    r[i].pPortName = BlockBuilder::At(s, at[2 * i + 1]);
  }
  list.buffer = r;
  list.count = static_cast<uint32_t>(entries.size());
  return list;
}

// The printers the spooler knows, by name, with the port text each was last
// given through SetPrinterW. Printers not listed cannot be opened.
struct SpoolerPrinters {
  std::map<std::wstring, std::wstring> ports;
  std::set<std::wstring> refuseSet;
  std::vector<std::wstring> opened;

  void Install() {
    fake::Set<&Platform::OpenPrinterW>([this](LPWSTR name, LPHANDLE handle,
                                              LPPRINTER_DEFAULTSW defaults) -> BOOL {
      if (!name || !ports.count(name) || !defaults || defaults->DesiredAccess != PRINTER_ALL_ACCESS ||
          defaults->pDatatype || defaults->pDevMode)
        return ::SetLastError(ERROR_INVALID_PRINTER_NAME), FALSE;
      opened.push_back(name);
      *handle = reinterpret_cast<HANDLE>(opened.size());
      return TRUE;
    });
    fake::Set<&Platform::SetPrinterW>([this](HANDLE handle, DWORD level, LPBYTE info,
                                             DWORD command) -> BOOL {
      size_t i = reinterpret_cast<size_t>(handle);
      if (level != 2 || command != 0 || i == 0 || i > opened.size())
        return ::SetLastError(ERROR_INVALID_PARAMETER), FALSE;
      const std::wstring& name = opened[i - 1];
      if (refuseSet.count(name)) return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
      ports[name] = reinterpret_cast<PRINTER_INFO_2W*>(info)->pPortName;
      return TRUE;
    });
    fake::Set<&Platform::ClosePrinter>([](HANDLE) { return TRUE; });
    // The journal of moved printers takes every write; its content is the
    // business of the whole-machine tests.
    static int journalKey;
    fake::Set<&Platform::RegCreateKeyExW>([](HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                                             const LPSECURITY_ATTRIBUTES, PHKEY key,
                                             LPDWORD) -> LSTATUS {
      *key = reinterpret_cast<HKEY>(&journalKey);
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegQueryInfoKeyW>([](HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD subKeys,
                                              LPDWORD, LPDWORD, LPDWORD values, LPDWORD, LPDWORD,
                                              LPDWORD, PFILETIME) -> LSTATUS {
      if (subKeys) *subKeys = 0;
      if (values) *values = 0;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegSetValueExW>(
        [](HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) -> LSTATUS { return ERROR_SUCCESS; });
    fake::Set<&Platform::RegFlushKey>([](HKEY) -> LSTATUS { return ERROR_SUCCESS; });
    fake::Set<&Platform::RegDeleteTreeW>([](HKEY, LPCWSTR) -> LSTATUS { return ERROR_SUCCESS; });
    fake::Set<&Platform::RegCloseKey>([](HKEY) -> LSTATUS { return ERROR_SUCCESS; });
  }
};

}  // namespace mdfake

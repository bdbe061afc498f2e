// An in-memory print spooler and HKEY_CURRENT_USER for the printer tests.
//
// It answers through the fake seam the way winspool does: the two-call size
// protocol with ERROR_INSUFFICIENT_BUFFER, records and their strings packed in
// the caller's block, printer data with ERROR_MORE_DATA for short buffers,
// ERROR_PRINTER_ALREADY_EXISTS and ERROR_INVALID_PRINTER_NAME.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "session/session.h"
#include "support/fake_platform.h"

namespace printertest {

using OptText = std::optional<std::wstring>;

struct DataValue {
  DWORD type = REG_SZ;
  std::string bytes;  // exactly what was stored, terminator only if given
};

// A REG_SZ value stored with its terminator, as SetPrinterDataA is normally called.
inline DataValue Sz(const std::string& text) { return {REG_SZ, text + std::string(1, '\0')}; }

struct FakePrinter {
  std::wstring name;
  std::wstring driver = kProductDriver;
  std::wstring port = kProductPort;
  OptText share;
  OptText comment;
  OptText location;
  std::wstring processor = L"WinPrint";
  OptText datatype = std::wstring(L"RAW");
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  std::map<std::string, DataValue> data;    // GetPrinterDataA
  std::map<std::string, DataValue> dsUser;  // GetPrinterDataExA, key "DsUser"
};

// What AddPrinterW was asked for (null members kept apart from empty ones).
struct AddRequest {
  LPWSTR server;
  DWORD level;
  OptText name, share, port, driver, comment, location, sepFile, processor, datatype, parameters;
  LPDEVMODEW devMode;
  PSECURITY_DESCRIPTOR security;
  DWORD attributes, priority, defaultPriority, startTime, untilTime, status, jobs, ppm;
};

inline OptText Opt(const wchar_t* text) { return text ? OptText(text) : std::nullopt; }

class FakeSpooler {
 public:
  std::vector<FakePrinter> printers;  // in enumeration order
  std::vector<OptText> monitors;
  std::optional<std::wstring> defaultPrinter;
  std::set<std::wstring> refuseAdd;     // AddPrinterW fails for these names (1797)
  std::set<std::wstring> refuseDelete;  // DeletePrinter fails for these (5)
  DWORD purgeError = 0;                 // SetPrinterW level 0 fails with this (Wine: 124)
  std::map<std::string, std::set<std::string>> userKeys;  // HKCU key path -> value names

  std::vector<AddRequest> adds;
  std::vector<std::pair<std::wstring, DWORD>> opens;  // name, access (0: no defaults)
  std::vector<std::string> openedKeys;                // RegOpenKeyExA paths
  std::vector<REGSAM> keyAccess;
  std::vector<std::wstring> defaultsSet;              // SetDefaultPrinterW names
  int openHandles = 0;
  int openKeys = 0;

  FakeSpooler() { Install(); }

  FakePrinter* Find(const std::wstring& name) {
    for (FakePrinter& p : printers)
      if (p.name == name) return &p;
    return nullptr;
  }

  FakePrinter& Add(const std::wstring& name, const std::optional<std::string>& subKey = {}) {
    FakePrinter p;
    p.name = name;
    if (subKey) p.data["SubKey"] = Sz(*subKey);
    printers.push_back(p);
    return printers.back();
  }

  // The session's snapshot as the spooler would enumerate it now, with the
  // default printer's record flagged.
  void Snapshot(InstallSession& session) {
    if (session.Printers.buffer) Os().GlobalFree(session.Printers.buffer);
    std::vector<const FakePrinter*> all;
    for (const FakePrinter& p : printers) all.push_back(&p);
    size_t bytes = PackedBytes(all);
    auto* block = static_cast<BYTE*>(Os().GlobalAlloc(GPTR, bytes ? bytes : 1));
    Pack(all, block);
    session.Printers.buffer = reinterpret_cast<PRINTER_INFO_2W*>(block);
    session.Printers.count = static_cast<uint32_t>(all.size());
    for (uint32_t i = 0; i < session.Printers.count; ++i) {
      PRINTER_INFO_2W& r = session.Printers.buffer[i];
      if (defaultPrinter && *defaultPrinter == r.pPrinterName)
        r.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
  }

 private:
  std::map<HANDLE, std::wstring> handles_;
  std::map<HKEY, std::string> keys_;
  uintptr_t next_ = 0x4000;

  static size_t TextBytes(const OptText& t) { return t ? (t->size() + 1) * sizeof(wchar_t) : 0; }
  static size_t TextBytes(const std::wstring& t) { return (t.size() + 1) * sizeof(wchar_t); }

  static size_t PackedBytes(const std::vector<const FakePrinter*>& list) {
    size_t n = list.size() * sizeof(PRINTER_INFO_2W);
    for (const FakePrinter* p : list)
      n += TextBytes(p->name) + TextBytes(p->share) + TextBytes(p->port) + TextBytes(p->driver) +
           TextBytes(p->comment) + TextBytes(p->location) + TextBytes(p->processor) +
           TextBytes(p->datatype);
    return n;
  }

  static LPWSTR Put(BYTE*& strings, const std::wstring& t) {
    auto* out = reinterpret_cast<LPWSTR>(strings);
    std::memcpy(strings, t.c_str(), TextBytes(t));
    strings += TextBytes(t);
    return out;
  }
  static LPWSTR Put(BYTE*& strings, const OptText& t) { return t ? Put(strings, *t) : nullptr; }

  static void Pack(const std::vector<const FakePrinter*>& list, BYTE* block) {
    auto* records = reinterpret_cast<PRINTER_INFO_2W*>(block);
    BYTE* strings = block + list.size() * sizeof(PRINTER_INFO_2W);
    for (size_t i = 0; i < list.size(); ++i) {
      const FakePrinter& p = *list[i];
      PRINTER_INFO_2W r = {};
      r.pPrinterName = Put(strings, p.name);
      r.pShareName = Put(strings, p.share);
      r.pPortName = Put(strings, p.port);
      r.pDriverName = Put(strings, p.driver);
      r.pComment = Put(strings, p.comment);
      r.pLocation = Put(strings, p.location);
      r.pPrintProcessor = Put(strings, p.processor);
      r.pDatatype = Put(strings, p.datatype);
      r.Attributes = p.attributes;
      records[i] = r;
    }
  }

  FakePrinter* ByHandle(HANDLE h) {
    auto it = handles_.find(h);
    return it == handles_.end() ? nullptr : Find(it->second);
  }

  HANDLE NewHandle(const std::wstring& name) {
    HANDLE h = reinterpret_cast<HANDLE>(next_++);
    handles_[h] = name;
    ++openHandles;
    return h;
  }

  DWORD ReadValue(const std::map<std::string, DataValue>& place, const char* value, LPDWORD type,
                  LPBYTE data, DWORD size, LPDWORD needed) {
    auto it = place.find(value ? value : "");
    if (it == place.end()) return ERROR_FILE_NOT_FOUND;
    if (type) *type = it->second.type;
    *needed = static_cast<DWORD>(it->second.bytes.size());
    if (size < it->second.bytes.size()) return ERROR_MORE_DATA;
    std::memcpy(data, it->second.bytes.data(), it->second.bytes.size());
    return ERROR_SUCCESS;
  }

  void Install() {
    fake::Set<&Platform::EnumMonitorsW>([this](LPWSTR, DWORD level, LPBYTE buffer, DWORD size,
                                               LPDWORD needed, LPDWORD returned) -> BOOL {
      if (level != 2) {
        ::SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
      }
      static wchar_t environment[] = L"Windows x64";
      static wchar_t dll[] = L"mon.dll";
      size_t bytes = monitors.size() * sizeof(MONITOR_INFO_2W);
      for (const OptText& m : monitors) bytes += TextBytes(m);
      *needed = static_cast<DWORD>(bytes);
      *returned = 0;
      if (size < bytes) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      auto* records = reinterpret_cast<MONITOR_INFO_2W*>(buffer);
      BYTE* strings = buffer + monitors.size() * sizeof(MONITOR_INFO_2W);
      for (size_t i = 0; i < monitors.size(); ++i)
        records[i] = {Put(strings, monitors[i]), environment, dll};
      *returned = static_cast<DWORD>(monitors.size());
      return TRUE;
    });
    fake::Set<&Platform::EnumPrintersW>([this](DWORD, LPWSTR, DWORD level, LPBYTE buffer,
                                               DWORD size, LPDWORD needed,
                                               LPDWORD returned) -> BOOL {
      if (level != 2) {
        ::SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
      }
      std::vector<const FakePrinter*> all;
      for (const FakePrinter& p : printers) all.push_back(&p);
      size_t bytes = PackedBytes(all);
      *needed = static_cast<DWORD>(bytes);
      *returned = 0;
      if (size < bytes) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      Pack(all, buffer);
      *returned = static_cast<DWORD>(all.size());
      return TRUE;
    });
    fake::Set<&Platform::OpenPrinterW>([this](LPWSTR name, LPHANDLE handle,
                                              LPPRINTER_DEFAULTSW defaults) -> BOOL {
      opens.emplace_back(name ? name : L"(null)", defaults ? defaults->DesiredAccess : 0);
      if (!name || !Find(name)) {
        ::SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
      }
      *handle = NewHandle(name);
      return TRUE;
    });
    fake::Set<&Platform::ClosePrinter>([this](HANDLE h) -> BOOL {
      if (!handles_.erase(h)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      --openHandles;
      return TRUE;
    });
    fake::Set<&Platform::GetPrinterW>([this](HANDLE h, DWORD level, LPBYTE buffer, DWORD size,
                                             LPDWORD needed) -> BOOL {
      FakePrinter* p = ByHandle(h);
      if (!p) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      if (level != 2) {
        ::SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
      }
      size_t bytes = PackedBytes({p});
      *needed = static_cast<DWORD>(bytes);
      if (!buffer || size < bytes) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      Pack({p}, buffer);
      return TRUE;
    });
    fake::Set<&Platform::SetPrinterW>([this](HANDLE h, DWORD level, LPBYTE info,
                                             DWORD command) -> BOOL {
      FakePrinter* p = ByHandle(h);
      if (!p) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      if (level == 0) {
        if (purgeError) {
          ::SetLastError(purgeError);
          return FALSE;
        }
        return command == PRINTER_CONTROL_PURGE;
      }
      if (level != 2 || !info || command != 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      const auto& r = *reinterpret_cast<PRINTER_INFO_2W*>(info);
      p->comment = Opt(r.pComment);
      p->location = Opt(r.pLocation);
      p->share = Opt(r.pShareName);
      p->attributes = r.Attributes;
      return TRUE;
    });
    fake::Set<&Platform::AddPrinterW>([this](LPWSTR server, DWORD level, LPBYTE info) -> HANDLE {
      const auto& r = *reinterpret_cast<PRINTER_INFO_2W*>(info);
      adds.push_back({server, level, Opt(r.pPrinterName), Opt(r.pShareName), Opt(r.pPortName),
                      Opt(r.pDriverName), Opt(r.pComment), Opt(r.pLocation), Opt(r.pSepFile),
                      Opt(r.pPrintProcessor), Opt(r.pDatatype), Opt(r.pParameters), r.pDevMode,
                      r.pSecurityDescriptor, r.Attributes, r.Priority, r.DefaultPriority,
                      r.StartTime, r.UntilTime, r.Status, r.cJobs, r.AveragePPM});
      if (level != 2 || !r.pPrinterName) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      if (Find(r.pPrinterName)) {
        ::SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
        return nullptr;
      }
      if (refuseAdd.count(r.pPrinterName)) {
        ::SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return nullptr;
      }
      FakePrinter p;
      p.name = r.pPrinterName;
      p.driver = r.pDriverName ? r.pDriverName : L"";
      p.port = r.pPortName ? r.pPortName : L"";
      p.share = Opt(r.pShareName);
      p.comment = Opt(r.pComment);
      p.location = Opt(r.pLocation);
      p.processor = r.pPrintProcessor ? r.pPrintProcessor : L"";
      p.datatype = r.pDatatype ? Opt(r.pDatatype) : OptText(L"RAW");
      p.attributes = r.Attributes | PRINTER_ATTRIBUTE_LOCAL;
      printers.push_back(p);
      return NewHandle(p.name);
    });
    fake::Set<&Platform::DeletePrinter>([this](HANDLE h) -> BOOL {
      FakePrinter* p = ByHandle(h);
      if (!p) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      if (refuseDelete.count(p->name)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      std::wstring name = p->name;
      for (auto it = printers.begin(); it != printers.end(); ++it)
        if (it->name == name) {
          printers.erase(it);
          break;
        }
      return TRUE;
    });
    fake::Set<&Platform::GetPrinterDataA>([this](HANDLE h, LPSTR value, LPDWORD type,
                                                 LPBYTE data, DWORD size,
                                                 LPDWORD needed) -> DWORD {
      FakePrinter* p = ByHandle(h);
      if (!p) return ERROR_INVALID_HANDLE;
      return ReadValue(p->data, value, type, data, size, needed);
    });
    fake::Set<&Platform::GetPrinterDataExA>([this](HANDLE h, LPCSTR key, LPCSTR value,
                                                   LPDWORD type, LPBYTE data, DWORD size,
                                                   LPDWORD needed) -> DWORD {
      FakePrinter* p = ByHandle(h);
      if (!p) return ERROR_INVALID_HANDLE;
      if (!key || std::string(key) != "DsUser") return ERROR_FILE_NOT_FOUND;
      return ReadValue(p->dsUser, value, type, data, size, needed);
    });
    fake::Set<&Platform::SetPrinterDataA>([this](HANDLE h, LPSTR value, DWORD type, LPBYTE data,
                                                 DWORD size) -> DWORD {
      FakePrinter* p = ByHandle(h);
      if (!p) return ERROR_INVALID_HANDLE;
      p->data[value] = {type, std::string(reinterpret_cast<char*>(data), size)};
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::SetPrinterDataExA>([this](HANDLE h, LPCSTR key, LPCSTR value, DWORD type,
                                                   LPBYTE data, DWORD size) -> DWORD {
      FakePrinter* p = ByHandle(h);
      if (!p) return ERROR_INVALID_HANDLE;
      if (std::string(key) != "DsUser") return ERROR_INVALID_PARAMETER;
      p->dsUser[value] = {type, std::string(reinterpret_cast<char*>(data), size)};
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::GetDefaultPrinterW>([this](LPWSTR buffer, LPDWORD size) -> BOOL {
      if (!defaultPrinter) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
      }
      DWORD chars = static_cast<DWORD>(defaultPrinter->size() + 1);
      if (*size < chars) {
        *size = chars;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      std::memcpy(buffer, defaultPrinter->c_str(), chars * sizeof(wchar_t));
      *size = chars;
      return TRUE;
    });
    fake::Set<&Platform::SetDefaultPrinterW>([this](LPCWSTR name) -> BOOL {
      defaultsSet.emplace_back(name ? name : L"(null)");
      if (!name || !Find(name)) {
        ::SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
      }
      defaultPrinter = name;
      return TRUE;
    });
    fake::Set<&Platform::RegOpenKeyExA>([this](HKEY root, LPCSTR path, DWORD, REGSAM access,
                                               PHKEY out) -> LSTATUS {
      openedKeys.emplace_back(path ? path : "(null)");
      keyAccess.push_back(access);
      if (root != HKEY_CURRENT_USER || !path || !userKeys.count(path)) return ERROR_FILE_NOT_FOUND;
      HKEY key = reinterpret_cast<HKEY>(next_++);
      keys_[key] = path;
      ++openKeys;
      *out = key;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegDeleteValueA>([this](HKEY key, LPCSTR value) -> LSTATUS {
      auto it = keys_.find(key);
      if (it == keys_.end()) return ERROR_INVALID_HANDLE;
      return userKeys[it->second].erase(value ? value : "") ? ERROR_SUCCESS
                                                            : ERROR_FILE_NOT_FOUND;
    });
    fake::Set<&Platform::RegCloseKey>([this](HKEY key) -> LSTATUS {
      if (!keys_.erase(key)) return ERROR_INVALID_HANDLE;
      --openKeys;
      return ERROR_SUCCESS;
    });
  }
};

}  // namespace printertest

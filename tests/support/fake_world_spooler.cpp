// fake::World: the spooler's monitors, drivers (with their files) and
// printers (with their data and the default printer).
#include "support/fake_world.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "support/fake_world_internal.h"
#include "support/spooler_block.h"

namespace fake {

using namespace world_internal;

namespace {

// An empty name is listed as a null pointer.
const wchar_t* NullIfEmpty(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

bool PortKnown(const World& world, const std::wstring& ports) {
  // A printer's port text may list several ports, separated by commas.
  size_t start = 0;
  while (start <= ports.size()) {
    size_t end = ports.find(L',', start);
    std::wstring port = ports.substr(start, end == std::wstring::npos ? end : end - start);
    bool known = false;
    for (const WorldMonitor& m : world.monitors)
      if (SameText(m.name, port)) known = true;
    for (const std::wstring& p : world.extraPorts)
      if (SameText(p, port)) known = true;
    if (!known) return false;
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return !ports.empty();
}

}  // namespace

void World::InstallSpoolerHooks() {
  World& w = *this;
  Handles& h = TheHandles();

  // --- spooler: monitors -------------------------------------------------------
  Set<&Platform::EnumMonitorsW>([&w](LPWSTR server, DWORD level, LPBYTE buffer, DWORD size,
                                     LPDWORD needed, LPDWORD returned) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (server) return Fail(ERROR_INVALID_NAME);
    if (level != 2) return Fail(ERROR_INVALID_LEVEL);
    return Answer<MONITOR_INFO_2W>(w.monitors, buffer, size, needed, returned,
                                   [](Packer& p, MONITOR_INFO_2W& r, const WorldMonitor& m) {
                                     r.pName = p.Put(NullIfEmpty(m.name));
                                     r.pEnvironment = p.Put(m.environment);
                                     r.pDLLName = p.Put(NullIfEmpty(m.dll));
                                   });
  });
  Set<&Platform::AddMonitorW>([&w](LPWSTR server, DWORD level, LPBYTE data) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (server) return Fail(ERROR_INVALID_NAME);
    if (level != 2 || !data) return Fail(ERROR_INVALID_LEVEL);
    auto* info = reinterpret_cast<MONITOR_INFO_2W*>(data);
    if (!info->pName || !info->pDLLName || !info->pEnvironment)
      return Fail(ERROR_INVALID_PARAMETER);
    if (!SameText(info->pEnvironment, L"Windows x64")) return Fail(ERROR_INVALID_ENVIRONMENT);
    if (w.FindMonitor(info->pName)) return Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
    if (!w.HasFile(std::wstring(kSystemDir) + L"\\" + info->pDLLName))
      return Fail(ERROR_MOD_NOT_FOUND);
    w.monitors.push_back({info->pName, info->pEnvironment, info->pDLLName});
    return TRUE;
  });
  Set<&Platform::DeleteMonitorW>([&w](LPWSTR server, LPWSTR environment, LPWSTR name) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (server) return Fail(ERROR_INVALID_NAME);
    if (environment && !SameText(environment, L"Windows x64"))
      return Fail(ERROR_INVALID_ENVIRONMENT);
    auto it = std::find_if(w.monitors.begin(), w.monitors.end(),
                           [&](const WorldMonitor& m) { return SameText(m.name, Str(name)); });
    if (it == w.monitors.end()) return Fail(ERROR_UNKNOWN_PRINT_MONITOR);
    // A monitor whose port a printer still uses is refused.
    for (const WorldPrinter& p : w.printers)
      if (Lower(p.port).find(Lower(it->name)) != std::wstring::npos)
        return Fail(ERROR_PRINT_MONITOR_IN_USE);
    if (w.monitorStaysLoadedAfterDelete)
      w.lingeringModules.push_back(std::wstring(kSystemDir) + L"\\" + it->dll);
    w.monitors.erase(it);
    return TRUE;
  });

  // --- spooler: drivers --------------------------------------------------------
  auto fillDriver = [](Packer& p, DRIVER_INFO_6W& r, const WorldDriver& d) {
    r.cVersion = d.version;
    r.pName = p.Put(NullIfEmpty(d.name));
    r.pEnvironment = p.Put(d.environment);
    r.pDriverPath = p.Put(d.driverPath);
    r.pDataFile = p.Put(d.dataFile);
    r.pConfigFile = p.Put(d.configFile);
    r.pHelpFile = p.Put(d.helpFile);
    r.pDependentFiles = nullptr;
    r.pszMfgName = p.Put(NullIfEmpty(d.manufacturer));
    r.pszProvider = p.Put(NullIfEmpty(d.provider));
  };
  // Levels 2 to 6 share their first members: each is the start of level 6.
  auto fillShorter = [fillDriver](Packer& p, auto& r, const WorldDriver& d) {
    DRIVER_INFO_6W full{};
    fillDriver(p, full, d);
    std::memcpy(&r, &full, sizeof(r));
  };
  Set<&Platform::EnumPrinterDriversW>([&w, fillDriver, fillShorter](LPWSTR server, LPWSTR environment,
                                                       DWORD level, LPBYTE buffer, DWORD size,
                                                       LPDWORD needed, LPDWORD returned) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (server) return Fail(ERROR_INVALID_NAME);
    std::vector<WorldDriver> list;
    for (const WorldDriver& d : w.drivers)
      if (!environment || SameText(d.environment, environment)) list.push_back(d);
    switch (level) {
      case 2:
        return Answer<DRIVER_INFO_2W>(list, buffer, size, needed, returned, fillShorter);
      case 3:
        return Answer<DRIVER_INFO_3W>(list, buffer, size, needed, returned, fillShorter);
      case 6:
        return Answer<DRIVER_INFO_6W>(list, buffer, size, needed, returned, fillDriver);
      default:
        return Fail(ERROR_INVALID_LEVEL);
    }
  });
  Set<&Platform::AddPrinterDriverExW>([&w](LPWSTR server, DWORD level, LPBYTE data,
                                           DWORD flags) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (server) return Fail(ERROR_INVALID_NAME);
    if (level < 3 || level > 6 || level == 5 || !data) return Fail(ERROR_INVALID_LEVEL);
    auto* info = reinterpret_cast<DRIVER_INFO_3W*>(data);
    if (!info->pName || !*info->pName || !info->pDriverPath || !info->pDataFile ||
        !info->pConfigFile)
      return Fail(ERROR_INVALID_PARAMETER);
    std::wstring environment = info->pEnvironment ? info->pEnvironment : L"Windows x64";
    if (!SameText(environment, L"Windows x64")) return Fail(ERROR_INVALID_ENVIRONMENT);
    std::vector<std::wstring> sources = {info->pDriverPath, info->pDataFile, info->pConfigFile};
    if (info->pHelpFile && *info->pHelpFile) sources.push_back(info->pHelpFile);
    for (const std::wstring& source : sources)
      if (!w.HasFile(source)) return Fail(ERROR_FILE_NOT_FOUND);
    // The spooler copies every file into its version-3 store.
    const std::wstring store = std::wstring(kDriverDir) + L"\\3\\";
    auto install = [&](const wchar_t* source) -> std::wstring {
      if (!source || !*source) return L"";
      std::wstring target = store + FileNameOf(source);
      if (!(flags & APD_COPY_ALL_FILES) && w.HasFile(target)) return target;
      std::string bytes = w.FindFile(source)->bytes;
      w.files[FileKey(target)].bytes = bytes;
      return target;
    };
    WorldDriver driver;
    driver.name = info->pName;
    driver.environment = environment;
    driver.version = 3;
    driver.driverPath = install(info->pDriverPath);
    driver.dataFile = install(info->pDataFile);
    driver.configFile = install(info->pConfigFile);
    driver.helpFile = install(info->pHelpFile);
    if (level == 6) {
      auto* six = reinterpret_cast<DRIVER_INFO_6W*>(data);
      driver.manufacturer = Str(six->pszMfgName);
      driver.provider = Str(six->pszProvider);
    }
    auto it = std::find_if(w.drivers.begin(), w.drivers.end(), [&](const WorldDriver& d) {
      return SameText(d.name, driver.name) && SameText(d.environment, environment);
    });
    if (it != w.drivers.end()) *it = driver;
    else w.drivers.push_back(driver);
    return TRUE;
  });
  Set<&Platform::DeletePrinterDriverExW>([&w](LPWSTR server, LPWSTR environment, LPWSTR name,
                                              DWORD flags, DWORD) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (server) return Fail(ERROR_INVALID_NAME);
    std::wstring env = environment ? environment : L"Windows x64";
    auto it = std::find_if(w.drivers.begin(), w.drivers.end(), [&](const WorldDriver& d) {
      return SameText(d.name, Str(name)) && SameText(d.environment, env);
    });
    if (it == w.drivers.end()) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
    for (const WorldPrinter& p : w.printers)
      if (SameText(p.driver, it->name)) return Fail(ERROR_PRINTER_DRIVER_IN_USE);
    // A file another driver names too is kept: DPD_DELETE_ALL_FILES is then
    // refused as a whole, DPD_DELETE_UNUSED_FILES passes it over.
    auto shared = [&](const std::wstring& file) {
      for (const WorldDriver& d : w.drivers)
        for (const std::wstring& f : {d.driverPath, d.dataFile, d.configFile, d.helpFile})
          if (&d != &*it && SameText(f, file)) return true;
      return false;
    };
    const std::wstring files[] = {it->driverPath, it->dataFile, it->configFile, it->helpFile};
    for (const std::wstring& file : files)
      if ((flags & DPD_DELETE_ALL_FILES) && !file.empty() && shared(file))
        return Fail(ERROR_PRINTER_DRIVER_IN_USE);
    if (flags & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES))
      for (const std::wstring& file : files)
        if (!file.empty() && !w.IsHeld(file) && !shared(file)) w.RemoveFile(file);
    w.drivers.erase(it);
    return TRUE;
  });
  Set<&Platform::GetPrinterDriverW>([&w, &h, fillDriver, fillShorter](HANDLE printer, LPWSTR environment,
                                                         DWORD level, LPBYTE buffer, DWORD size,
                                                         LPDWORD needed) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    auto it = h.printers.find(printer);
    if (it == h.printers.end()) return Fail(ERROR_INVALID_HANDLE);
    WorldPrinter* p = w.FindPrinter(it->second);
    if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
    if (environment && !SameText(environment, L"Windows x64"))
      return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
    const WorldDriver* d = w.FindDriver(p->driver);
    if (!d) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
    std::vector<WorldDriver> one = {*d};
    if (level == 2) return Answer<DRIVER_INFO_2W>(one, buffer, size, needed, nullptr, fillShorter);
    if (level == 6) return Answer<DRIVER_INFO_6W>(one, buffer, size, needed, nullptr, fillDriver);
    return Fail(ERROR_INVALID_LEVEL);
  });
  Set<&Platform::GetPrinterDriverDirectoryW>([&w](LPWSTR server, LPWSTR environment, DWORD level,
                                                  LPBYTE buffer, DWORD size, LPDWORD needed) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (server) return Fail(ERROR_INVALID_NAME);
    if (level != 1) return Fail(ERROR_INVALID_LEVEL);
    if (environment && !SameText(environment, L"Windows x64"))
      return Fail(ERROR_INVALID_ENVIRONMENT);
    DWORD bytes = static_cast<DWORD>((std::wcslen(kDriverDir) + 1) * sizeof(wchar_t));
    if (needed) *needed = bytes;
    if (!buffer || size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, kDriverDir, bytes);
    return TRUE;
  });

  // --- spooler: printers -------------------------------------------------------
  auto fillPrinter = [](Packer& p, PRINTER_INFO_2W& r, const WorldPrinter& printer) {
    r.pServerName = nullptr;
    r.pPrinterName = p.Put(printer.name);
    r.pShareName = p.Put(printer.share.get());
    r.pPortName = p.Put(printer.port);
    r.pDriverName = p.Put(printer.driver);
    r.pComment = p.Put(printer.comment.get());
    r.pLocation = p.Put(printer.location.get());
    r.pDevMode = nullptr;
    r.pSepFile = p.Put(printer.sepFile.get());
    r.pPrintProcessor = p.Put(printer.processor);
    r.pDatatype = p.Put(printer.datatype.get());
    r.pParameters = p.Put(printer.parameters.get());
    r.pSecurityDescriptor = nullptr;
    // The user's default printer is not flagged in the records.
    r.Attributes = printer.attributes;
    r.Priority = 1;
    r.DefaultPriority = 0;
  };
  Set<&Platform::EnumPrintersW>([&w, fillPrinter](DWORD flags, LPWSTR name, DWORD level,
                                                  LPBYTE buffer, DWORD size, LPDWORD needed,
                                                  LPDWORD returned) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (name && *name) return Fail(ERROR_INVALID_NAME);
    if (level != 2) return Fail(ERROR_INVALID_LEVEL);
    std::vector<WorldPrinter> list;
    if (flags & PRINTER_ENUM_LOCAL) list = w.printers;
    return Answer<PRINTER_INFO_2W>(list, buffer, size, needed, returned, fillPrinter);
  });
  Set<&Platform::OpenPrinterW>([&w, &h](LPWSTR name, LPHANDLE result, LPPRINTER_DEFAULTSW) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (!result) return Fail(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    WorldPrinter* p = w.FindPrinter(Str(name));
    if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
    HANDLE printer = h.New();
    h.printers[printer] = p->name;
    *result = printer;
    return TRUE;
  });
  Set<&Platform::ClosePrinter>([&h](HANDLE printer) {
    return h.printers.erase(printer) ? TRUE : Fail(ERROR_INVALID_HANDLE);
  });
  Set<&Platform::GetPrinterW>([&w, &h, fillPrinter](HANDLE printer, DWORD level, LPBYTE buffer,
                                                    DWORD size, LPDWORD needed) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    auto it = h.printers.find(printer);
    if (it == h.printers.end()) return Fail(ERROR_INVALID_HANDLE);
    WorldPrinter* p = w.FindPrinter(it->second);
    if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
    if (level != 2) return Fail(ERROR_INVALID_LEVEL);
    std::vector<WorldPrinter> one = {*p};
    return Answer<PRINTER_INFO_2W>(one, buffer, size, needed, nullptr, fillPrinter);
  });
  Set<&Platform::SetPrinterW>([&w, &h](HANDLE printer, DWORD level, LPBYTE data, DWORD command) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    auto it = h.printers.find(printer);
    if (it == h.printers.end()) return Fail(ERROR_INVALID_HANDLE);
    WorldPrinter* p = w.FindPrinter(it->second);
    if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
    if (level == 0) return command == PRINTER_CONTROL_PURGE ? TRUE : Fail(ERROR_INVALID_PARAMETER);
    if (level != 2 || !data || command != 0) return Fail(ERROR_INVALID_LEVEL);
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(data);
    std::wstring port = Str(info->pPortName);
    if (!PortKnown(w, port)) return Fail(ERROR_UNKNOWN_PORT);
    if (info->pDriverName && !w.FindDriver(info->pDriverName))
      return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
    p->port = port;
    if (info->pDriverName) p->driver = info->pDriverName;
    p->share = info->pShareName;
    p->comment = info->pComment;
    p->location = info->pLocation;
    p->attributes = info->Attributes;
    return TRUE;
  });
  Set<&Platform::AddPrinterW>([&w, &h](LPWSTR server, DWORD level, LPBYTE data) -> HANDLE {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE), nullptr;
    if (server) return Fail(ERROR_INVALID_NAME), nullptr;
    if (level != 2 || !data) return Fail(ERROR_INVALID_LEVEL), nullptr;
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(data);
    if (!info->pPrinterName || !*info->pPrinterName) return Fail(ERROR_INVALID_PRINTER_NAME), nullptr;
    if (w.FindPrinter(info->pPrinterName)) return Fail(ERROR_PRINTER_ALREADY_EXISTS), nullptr;
    if (!info->pDriverName || !w.FindDriver(info->pDriverName))
      return Fail(ERROR_UNKNOWN_PRINTER_DRIVER), nullptr;
    if (!PortKnown(w, Str(info->pPortName))) return Fail(ERROR_UNKNOWN_PORT), nullptr;
    if (!info->pPrintProcessor || !SameText(info->pPrintProcessor, L"WinPrint"))
      return Fail(ERROR_UNKNOWN_PRINTPROCESSOR), nullptr;
    WorldPrinter printer;
    printer.name = info->pPrinterName;
    printer.port = info->pPortName;
    printer.driver = info->pDriverName;
    printer.share = info->pShareName;
    printer.comment = info->pComment;
    printer.location = info->pLocation;
    printer.sepFile = info->pSepFile;
    printer.parameters = info->pParameters;
    printer.processor = info->pPrintProcessor;
    printer.datatype = info->pDatatype ? info->pDatatype : L"RAW";
    printer.attributes = info->Attributes | PRINTER_ATTRIBUTE_LOCAL;
    w.printers.push_back(printer);
    HANDLE handle = h.New();
    h.printers[handle] = printer.name;
    return handle;
  });
  Set<&Platform::DeletePrinter>([&w, &h](HANDLE printer) {
    if (!w.spoolerRunning) return Fail(RPC_S_SERVER_UNAVAILABLE);
    auto it = h.printers.find(printer);
    if (it == h.printers.end()) return Fail(ERROR_INVALID_HANDLE);
    auto p = std::find_if(w.printers.begin(), w.printers.end(),
                          [&](const WorldPrinter& x) { return SameText(x.name, it->second); });
    if (p == w.printers.end()) return Fail(ERROR_INVALID_PRINTER_NAME);
    if (SameText(p->name, w.defaultPrinter)) w.defaultPrinter.clear();
    w.printers.erase(p);
    return TRUE;
  });
  auto getData = [&w, &h](HANDLE printer, const std::string& key, const char* name, LPDWORD type,
                          LPBYTE data, DWORD size, LPDWORD needed) -> DWORD {
    if (!w.spoolerRunning) return RPC_S_SERVER_UNAVAILABLE;
    auto it = h.printers.find(printer);
    if (it == h.printers.end()) return ERROR_INVALID_HANDLE;
    WorldPrinter* p = w.FindPrinter(it->second);
    if (!p) return ERROR_INVALID_PRINTER_NAME;
    auto k = p->data.find(Lower(key));
    if (k == p->data.end()) return ERROR_FILE_NOT_FOUND;
    auto v = k->second.find(Lower(std::string(name ? name : "")));
    if (v == k->second.end()) return ERROR_FILE_NOT_FOUND;
    DWORD bytes = static_cast<DWORD>(v->second.bytes.size());
    if (needed) *needed = bytes;
    if (type) *type = v->second.type;
    if (!data || size < bytes) return ERROR_MORE_DATA;
    std::memcpy(data, v->second.bytes.data(), bytes);
    return ERROR_SUCCESS;
  };
  auto setData = [&w, &h](HANDLE printer, const std::string& key, const char* name, DWORD type,
                          const BYTE* data, DWORD size) -> DWORD {
    if (!w.spoolerRunning) return RPC_S_SERVER_UNAVAILABLE;
    auto it = h.printers.find(printer);
    if (it == h.printers.end()) return ERROR_INVALID_HANDLE;
    WorldPrinter* p = w.FindPrinter(it->second);
    if (!p) return ERROR_INVALID_PRINTER_NAME;
    WorldPrinterValue& value = p->data[Lower(key)][Lower(std::string(name ? name : ""))];
    value.type = type;
    value.bytes.assign(reinterpret_cast<const char*>(data), size);
    return ERROR_SUCCESS;
  };
  Set<&Platform::GetPrinterDataA>([getData](HANDLE printer, auto name, LPDWORD type, LPBYTE data,
                                            DWORD size, LPDWORD needed) {
    return getData(printer, "", name, type, data, size, needed);
  });
  Set<&Platform::GetPrinterDataExA>([getData](HANDLE printer, LPCSTR key, LPCSTR name,
                                              LPDWORD type, LPBYTE data, DWORD size,
                                              LPDWORD needed) {
    return getData(printer, key ? key : "", name, type, data, size, needed);
  });
  Set<&Platform::SetPrinterDataA>([setData](HANDLE printer, auto name, DWORD type, auto data,
                                            DWORD size) {
    return setData(printer, "", name, type, reinterpret_cast<const BYTE*>(data), size);
  });
  Set<&Platform::SetPrinterDataExA>([setData](HANDLE printer, LPCSTR key, LPCSTR name, DWORD type,
                                              auto data, DWORD size) {
    if (!key || !*key) return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return setData(printer, key, name, type, reinterpret_cast<const BYTE*>(data), size);
  });
  Set<&Platform::GetDefaultPrinterW>([&w](LPWSTR buffer, LPDWORD chars) {
    if (!chars) return Fail(ERROR_INVALID_PARAMETER);
    if (w.defaultPrinter.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    DWORD n = static_cast<DWORD>(w.defaultPrinter.size() + 1);
    if (!buffer || *chars < n) {
      *chars = n;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, w.defaultPrinter.c_str(), n * sizeof(wchar_t));
    *chars = n;
    return TRUE;
  });
  Set<&Platform::SetDefaultPrinterW>([&w](LPCWSTR name) {
    WorldPrinter* p = name && *name ? w.FindPrinter(name) : nullptr;
    if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
    w.defaultPrinter = p->name;
    return TRUE;
  });
}

}  // namespace fake

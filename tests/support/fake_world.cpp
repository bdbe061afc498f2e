#include "support/fake_world.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <functional>

#include "support/spooler_block.h"

// The entries that change the machine's state (files, registry, spooler,
// services, processes): World::StopAfter counts these calls, and once the
// machine has stopped they fail and change nothing. A new seam entry that
// writes anything belongs here.
#define LMX_WORLD_STATE_CHANGING(X)                                         \
  X(CreateFileW) X(WriteFile) X(DeleteFileW) X(MoveFileExW) X(CreateDirectoryW) \
  X(RemoveDirectoryW) X(NtCreateFile) X(SetEndOfFile)                                 \
  X(CreateProcessW) X(CreateProcessWithTokenW) X(PostMessageW)              \
  X(ControlService) X(StartServiceW)                                        \
  X(RegCreateKeyExW) X(RegSetValueExW) X(RegDeleteValueA) X(RegDeleteTreeW) \
  X(RegFlushKey) X(RegDeleteValueW) X(RegSetKeySecurity)                    \
  X(AddMonitorW) X(DeleteMonitorW) X(AddPrinterDriverExW)                   \
  X(DeletePrinterDriverExW) X(AddPrinterW) X(DeletePrinter) X(SetPrinterW) \
  X(SetPrinterDataA) X(SetPrinterDataExA) X(SetDefaultPrinterW)

namespace fake {

namespace {

constexpr const char kTrayMutex[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
constexpr const wchar_t kTrayClass[] = L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
constexpr UINT kTrayQuit = WM_USER + 2;

// Fabricated handle values, each kind in a range of its own.
const auto kScm = reinterpret_cast<SC_HANDLE>(0x5C01);
const auto kSpoolerService = reinterpret_cast<SC_HANDLE>(0x5C02);
const auto kStation = reinterpret_cast<HWINSTA>(0x5701);
const auto kTrayWindow = reinterpret_cast<HWND>(0x7A01);
const auto kDialogWindow = reinterpret_cast<HWND>(0x7A02);

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

std::wstring Str(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

// The access list of a security descriptor, as SDDL.
std::wstring SddlOf(PSECURITY_DESCRIPTOR descriptor) {
  LPWSTR text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    return L"";
  std::wstring sddl = text;
  ::LocalFree(text);
  return sddl;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return World::Lower(a) == World::Lower(b);
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// The key of a file: its path in lower case with "/" read as "\\" and the
// "." and ".." parts resolved, as Windows resolves a path before it opens it.
std::wstring FileKey(const std::wstring& path) {
  std::wstring text = World::Lower(path);
  for (wchar_t& c : text)
    if (c == L'/') c = L'\\';
  size_t root = text.compare(0, 2, L"\\\\") == 0 ? 2 : 0;
  std::vector<std::wstring> parts;
  size_t start = root;
  while (start <= text.size()) {
    size_t end = text.find(L'\\', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring part = text.substr(start, end - start);
    if (part == L"..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (part != L"." && !(part.empty() && !parts.empty())) {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::wstring key = text.substr(0, root);
  for (size_t i = 0; i < parts.size(); ++i) key += (i ? L"\\" : L"") + parts[i];
  return key;
}

// A component file's bytes carry its build number, so a copy keeps it.
std::string ComponentBytes(const std::wstring& name, int build) {
  std::string bytes = build >= 0 ? "build=" + std::to_string(build) + ";" : std::string();
  return bytes + Narrow(name.c_str()) + std::string(100, '.');
}

int BuildOf(const std::string& bytes) {
  if (bytes.compare(0, 6, "build=") != 0) return -1;
  return std::atoi(bytes.c_str() + 6);
}

// An empty name is listed as a null pointer.
const wchar_t* NullIfEmpty(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

BOOL Fail(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

struct FileCursor {
  std::wstring key;
  size_t position = 0;
  DWORD access = 0;
  DWORD share = 0;
  DWORD flags = 0;
};

struct Handles {
  std::map<HANDLE, FileCursor> files;
  std::map<HANDLE, std::wstring> printers;  // handle -> printer name
  std::map<HKEY, std::string> keys;         // handle -> key path (lower case)
  std::vector<HANDLE> mutexes;
  std::vector<HANDLE> others;  // process and thread handles
  int scm = 0, services = 0;   // open service control manager and service handles
  uintptr_t next = 0x10000;
  HANDLE New() { return reinterpret_cast<HANDLE>(next += 8); }
};

Handles& TheHandles() {
  static Handles handles;
  return handles;
}

// Whether an open handle on the file refuses the given sharing (a handle
// opened without FILE_SHARE_DELETE blocks deletion, and so on).
bool OpenHandleRefuses(const std::wstring& key, DWORD share) {
  for (const auto& open : TheHandles().files)
    if (open.second.key == key && !(open.second.share & share)) return true;
  return false;
}

template <class T>
bool Erase(std::vector<T>& list, const T& value) {
  auto it = std::find(list.begin(), list.end(), value);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

std::string KeyPath(HKEY root, const char* sub) {
  std::string prefix;
  if (root == HKEY_LOCAL_MACHINE) prefix = "HKLM";
  else if (root == HKEY_CURRENT_USER) prefix = "HKCU";
  else prefix = "HK?";
  std::string path = prefix;
  if (sub && *sub) path += std::string("\\") + sub;
  return World::Lower(path);
}

// The path of `sub` below `root`, a predefined key or one opened here; ""
// for a handle that is not open.
std::string KeyPathBelow(HKEY root, LPCWSTR sub) {
  std::string base;
  auto it = TheHandles().keys.find(root);
  if (it != TheHandles().keys.end())
    base = it->second;
  else if (root == HKEY_LOCAL_MACHINE || root == HKEY_CURRENT_USER)
    base = KeyPath(root, nullptr);
  else
    return "";
  std::string tail = Narrow(sub);
  return World::Lower(tail.empty() ? base : base + "\\" + tail);
}

// The names of the keys directly below `path`, in order.
std::vector<std::string> ChildKeys(const World& world, const std::string& path) {
  std::vector<std::string> names;
  std::string prefix = path + "\\";
  for (const auto& key : world.registry) {
    if (key.first.compare(0, prefix.size(), prefix) != 0) continue;
    std::string name = key.first.substr(prefix.size());
    name = name.substr(0, name.find('\\'));
    if (names.empty() || names.back() != name) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

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

std::wstring WorldModuleDirectory() { return std::wstring(World::kModuleDir) + L"\\"; }
std::wstring WorldSystemDirectory() { return std::wstring(World::kSystemDir) + L"\\"; }

void RecordPrinterRequests(std::vector<WorldPrinterRequest>* requests) {
  Wrap<&Platform::AddPrinterW>([requests](auto& previous, LPWSTR server, DWORD level,
                                          LPBYTE data) -> HANDLE {
    if (level == 2 && data) {
      auto* info = reinterpret_cast<PRINTER_INFO_2W*>(data);
      WorldPrinterRequest request;
      request.server = server;
      request.level = level;
      request.record = *info;
      request.name = info->pPrinterName;
      request.share = info->pShareName;
      request.port = info->pPortName;
      request.driver = info->pDriverName;
      request.comment = info->pComment;
      request.location = info->pLocation;
      request.sepFile = info->pSepFile;
      request.processor = info->pPrintProcessor;
      request.datatype = info->pDatatype;
      request.parameters = info->pParameters;
      for (LPWSTR* text : {&request.record.pPrinterName, &request.record.pShareName,
                           &request.record.pPortName, &request.record.pDriverName,
                           &request.record.pComment, &request.record.pLocation,
                           &request.record.pSepFile, &request.record.pPrintProcessor,
                           &request.record.pDatatype, &request.record.pParameters})
        *text = nullptr;
      requests->push_back(request);
    }
    return previous(server, level, data);
  });
}

PRINTER_INFO_2W* PackNamesAndPorts(
    const std::vector<std::pair<std::wstring, std::wstring>>& printers) {
  return PackGlobal<PRINTER_INFO_2W>(
      printers, [](Packer& p, PRINTER_INFO_2W& r, const std::pair<std::wstring, std::wstring>& x) {
        r.pPrinterName = p.Put(x.first);
        r.pPortName = p.Put(x.second);
      });
}

std::wstring World::Lower(const std::wstring& text) {
  std::wstring out = text;
  for (wchar_t& c : out)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return out;
}

std::string World::Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

World::World() {
  TheHandles() = Handles{};
  flushedRegistry_ = registry;
  monitors.push_back({L"Local Port", L"Windows x64", L"localspl.dll"});
  extraPorts = {L"FILE:", L"LPT1:", L"COM1:", L"nul:"};
  AddFile(std::wstring(kSystemDir) + L"\\localspl.dll", "spl");
  const std::wstring module = WorldModuleDirectory();
  AddFile(module + L"install.exe", "exe");
  // The run lock an earlier run left, empty: it stays between runs.
  AddFile(module + L"install.lock", "");
  AddFile(module + L"lmxmon64.dll", ComponentBytes(L"lmxmon64.dll", 2070));
  AddFile(module + L"lmxdrv64.dll", ComponentBytes(L"lmxdrv64.dll", 2070));
  AddFile(module + L"lmxui64.dll", ComponentBytes(L"lmxui64.dll", 2070));
  AddFile(module + L"lmxhelp.chm", ComponentBytes(L"lmxhelp.chm", -1));
  AddFile(std::wstring(kProductDir) + L"\\lsbtray.exe", "tray");
  registry[Lower(std::string(kRunKey))];
  registry[Lower(std::string(kSessionManagerKey))];
  registry[Lower(std::string("HKCU\\Software\\Tamarel Software KFT\\Loomscribe"))];
  // Users may create folders of their own in ProgramData.
  directories[Lower(std::wstring(kProgramData))].sddl =
      L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100116;;;BU)(A;OICI;0x1200a9;;;BU)";
  // Only SYSTEM and Administrators write in the spooler's driver directory.
  directories[Lower(std::wstring(kDriverDir))].sddl =
      L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
  InstallHooks();
  InstallRunHooks();
  InstallPowerSwitch();
}

void World::StopAfter(int n) {
  stopAfter_ = n;
  stateChanges = 0;
  stopped_ = false;
  flushedRegistry_ = registry;
  FlushSpooler();
  flushedDefault_ = defaultPrinter;
}

void World::FlushHive(const std::string& root) {
  const std::string prefix = root + "\\";
  auto inHive = [&](const std::string& key) {
    return key == root || key.compare(0, prefix.size(), prefix) == 0;
  };
  for (auto it = flushedRegistry_.begin(); it != flushedRegistry_.end();)
    it = inHive(it->first) ? flushedRegistry_.erase(it) : std::next(it);
  for (const auto& key : registry)
    if (inHive(key.first)) flushedRegistry_[key.first] = key.second;
  if (root == "hkcu") flushedDefault_ = defaultPrinter;
}

void World::FlushSpooler() {
  flushedSpooler_.monitors = monitors;
  flushedSpooler_.drivers = drivers;
  flushedSpooler_.printers = printers;
}

// What the disk holds after a power cut, hive by hive.
void World::Cut() {
  auto current = registry;
  registry = flushedRegistry_;
  if (machineRegistryWrittenLazily) {
    for (auto it = registry.begin(); it != registry.end();)
      it = it->first.compare(0, 4, "hklm") == 0 ? registry.erase(it) : std::next(it);
    for (const auto& key : current)
      if (key.first.compare(0, 4, "hklm") == 0) registry[key.first] = key.second;
  }
  monitors = flushedSpooler_.monitors;
  drivers = flushedSpooler_.drivers;
  printers = flushedSpooler_.printers;
  defaultPrinter = flushedDefault_;
}

void World::PowerOn() {
  stopAfter_ = -1;
  stopped_ = false;
  spoolerRunning = true;
  lingeringModules.clear();
  trayRunning = false;
  for (auto& file : files) file.second.lockedForever = file.second.mapped = false;
  Handles& h = TheHandles();
  h.files.clear();
  h.printers.clear();
  h.keys.clear();
  h.mutexes.clear();
  h.others.clear();
  h.scm = h.services = 0;
  stopPollsLeft_ = 0;
}

WorldOpenHandles World::OpenHandles() const {
  const Handles& h = TheHandles();
  WorldOpenHandles open;
  open.files = static_cast<int>(h.files.size());
  open.printers = static_cast<int>(h.printers.size());
  open.keys = static_cast<int>(h.keys.size());
  open.mutexes = static_cast<int>(h.mutexes.size());
  open.processes = static_cast<int>(h.others.size());
  open.services = h.scm + h.services;
  return open;
}

void World::InstallPowerSwitch() {
  World& w = *this;
  auto noteChange = [&w] {
    ++w.stateChanges;
    if (w.stopAfter_ > 0 && !w.stopped_ && w.stateChanges >= w.stopAfter_) {
      w.stopped_ = true;
      w.Cut();
    }
  };
#define LMX_WORLD_WRAP(name)                                  \
  {                                                           \
    using H = Hook<&Platform::name>;                          \
    auto inner = H::fn;                                       \
    H::fn = [inner, &w, noteChange](auto... a) {              \
      if (w.stopped_) {                                       \
        ::SetLastError(ERROR_NOT_READY);                      \
        return H::failure();                                  \
      }                                                       \
      auto result = inner ? inner(a...) : H::fallback(a...);  \
      noteChange();                                           \
      return result;                                          \
    };                                                        \
  }
  LMX_WORLD_STATE_CHANGING(LMX_WORLD_WRAP)
#undef LMX_WORLD_WRAP
}

World::~World() { TheHandles() = Handles{}; }

void World::AddFile(const std::wstring& path, const std::string& bytes, int build) {
  files[FileKey(path)].bytes =
      build >= 0 ? "build=" + std::to_string(build) + ";" + bytes : bytes;
}

int World::FileBuild(const std::wstring& path) const {
  auto it = files.find(FileKey(path));
  return it == files.end() ? -1 : BuildOf(it->second.bytes);
}

void World::RemoveFile(const std::wstring& path) { files.erase(FileKey(path)); }

bool World::HasFile(const std::wstring& path) const { return files.count(FileKey(path)) != 0; }

WorldFile* World::FindFile(const std::wstring& path) {
  auto it = files.find(FileKey(path));
  return it == files.end() ? nullptr : &it->second;
}

bool World::IsHeld(const std::wstring& path) const {
  auto it = files.find(FileKey(path));
  if (it == files.end()) return false;
  if (it->second.lockedForever) return true;
  if (trayRunning && SameText(trayPath, path)) return true;
  if (!spoolerRunning) return false;
  // The spooler keeps every registered monitor's DLL loaded.
  for (const WorldMonitor& m : monitors)
    if (SameText(std::wstring(kSystemDir) + L"\\" + m.dll, path)) return true;
  for (const std::wstring& lingering : lingeringModules)
    if (SameText(lingering, path)) return true;
  return false;
}

WorldPrinter* World::FindPrinter(const std::wstring& name) {
  for (WorldPrinter& p : printers)
    if (SameText(p.name, name)) return &p;
  return nullptr;
}

const WorldMonitor* World::FindMonitor(const std::wstring& name) const {
  for (const WorldMonitor& m : monitors)
    if (SameText(m.name, name)) return &m;
  return nullptr;
}

const WorldDriver* World::FindDriver(const std::wstring& name) const {
  for (const WorldDriver& d : drivers)
    if (SameText(d.name, name)) return &d;
  return nullptr;
}

WorldRegValue* World::FindRegValue(const std::string& key, const std::string& name) {
  auto k = registry.find(Lower(key));
  if (k == registry.end()) return nullptr;
  auto v = k->second.find(Lower(name));
  return v == k->second.end() ? nullptr : &v->second;
}

void World::SetRegString(const std::string& key, const std::string& name,
                         const std::wstring& text) {
  WorldRegValue value;
  value.type = REG_SZ;
  value.bytes.assign(reinterpret_cast<const char*>(text.c_str()),
                     (text.size() + 1) * sizeof(wchar_t));
  registry[Lower(key)][Lower(name)] = value;
}

std::wstring World::RegString(const std::string& key, const std::string& name) {
  WorldRegValue* value = FindRegValue(key, name);
  if (!value) return L"";
  std::wstring text(value->bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(&text[0], value->bytes.data(), text.size() * sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

void World::InstallProduct(int monitorBuild) {
  AddFile(std::wstring(kSystemDir) + L"\\lmxmon64.dll",
          ComponentBytes(L"lmxmon64.dll", monitorBuild));
  monitors.push_back({L"Loomscribe:", L"Windows x64", L"lmxmon64.dll"});
  const std::wstring store = std::wstring(kDriverDir) + L"\\3\\";
  AddFile(store + L"lmxdrv64.dll", ComponentBytes(L"lmxdrv64.dll", 2070));
  AddFile(store + L"lmxui64.dll", ComponentBytes(L"lmxui64.dll", 2070));
  AddFile(store + L"lmxhelp.chm", ComponentBytes(L"lmxhelp.chm", -1));
  WorldDriver driver;
  driver.name = L"Loomscribe printer";
  driver.environment = L"Windows x64";
  driver.driverPath = store + L"lmxdrv64.dll";
  driver.dataFile = store + L"lmxdrv64.dll";
  driver.configFile = store + L"lmxui64.dll";
  driver.helpFile = store + L"lmxhelp.chm";
  drivers.push_back(driver);
  const std::wstring tray = std::wstring(kProductDir) + L"\\lsbtray.exe";
  SetRegString(kRunKey, "LoomscribeTray", tray);
  trayRunning = true;
  trayPath = tray;
}

WorldPrinter& World::AddProductPrinter(const std::wstring& name, const std::string& subKey) {
  WorldPrinter printer;
  printer.name = name;
  printer.port = L"Loomscribe:";
  printer.driver = L"Loomscribe printer";
  if (!subKey.empty()) printer.data[""]["subkey"] = {REG_SZ, subKey + std::string(1, '\0')};
  printers.push_back(printer);
  return printers.back();
}

// ---------------------------------------------------------------------------
// The hooks

void World::InstallHooks() {
  World& w = *this;
  Handles& h = TheHandles();

  // --- service control manager ---------------------------------------------
  Set<&Platform::OpenSCManagerW>([&h](LPCWSTR, LPCWSTR, DWORD) {
    ++h.scm;
    return kScm;
  });
  Set<&Platform::OpenServiceW>([&h](SC_HANDLE scm, LPCWSTR name, DWORD) -> SC_HANDLE {
    if (scm != kScm || !h.scm) return Fail(ERROR_INVALID_HANDLE), nullptr;
    if (!SameText(Str(name), L"spooler")) return Fail(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
    ++h.services;
    return kSpoolerService;
  });
  Set<&Platform::CloseServiceHandle>([&h](SC_HANDLE handle) {
    int* open = handle == kScm ? &h.scm : handle == kSpoolerService ? &h.services : nullptr;
    if (!open || !*open) return Fail(ERROR_INVALID_HANDLE);
    --*open;
    return TRUE;
  });
  Set<&Platform::QueryServiceStatus>([&w](SC_HANDLE service, LPSERVICE_STATUS status) {
    if (service != kSpoolerService) return Fail(ERROR_INVALID_HANDLE);
    *status = SERVICE_STATUS{};
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = w.spoolerRunning ? SERVICE_RUNNING : SERVICE_STOPPED;
    if (w.stopPollsLeft_ > 0) {
      --w.stopPollsLeft_;
      status->dwCurrentState = SERVICE_STOP_PENDING;
    }
    return TRUE;
  });
  Set<&Platform::ControlService>([&w](SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    if (service != kSpoolerService) return Fail(ERROR_INVALID_HANDLE);
    if (control != SERVICE_CONTROL_STOP) return Fail(ERROR_INVALID_SERVICE_CONTROL);
    if (!w.spoolerRunning) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (!w.spoolerRefusesStop) {
      w.spoolerRunning = false;
      w.FlushSpooler();
      w.lingeringModules.clear();
      w.stopPollsLeft_ = w.spoolerStopPolls;
    }
    if (status) {
      *status = SERVICE_STATUS{};
      status->dwCurrentState =
          w.spoolerRunning || w.stopPollsLeft_ > 0 ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
    }
    return TRUE;
  });
  Set<&Platform::StartServiceW>([&w](SC_HANDLE service, DWORD, LPCWSTR*) {
    if (service != kSpoolerService) return Fail(ERROR_INVALID_HANDLE);
    if (w.spoolerRunning) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    if (!w.spoolerRefusesStart) w.spoolerRunning = true;
    w.stopPollsLeft_ = 0;
    return TRUE;
  });

  // --- files -----------------------------------------------------------------
  Set<&Platform::CreateFileW>([&w, &h](LPCWSTR path, DWORD access, DWORD share,
                                       LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                                       HANDLE) -> HANDLE {
    std::wstring key = FileKey(Str(path));
    bool exists = w.files.count(key) != 0;
    bool writing = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    bool reading = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool deleting = (access & DELETE) != 0;
    // Sharing both ways: the new handle must allow what the open ones do,
    // and they must allow what it asks for. A handle that asks for no access
    // at all (to read the file's identity) meets no sharing rule.
    if (exists && ((writing && OpenHandleRefuses(key, FILE_SHARE_WRITE)) ||
                   (reading && OpenHandleRefuses(key, FILE_SHARE_READ)) ||
                   (deleting && OpenHandleRefuses(key, FILE_SHARE_DELETE))))
      return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    for (const auto& open : h.files)
      if (open.second.key == key &&
          (((open.second.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) ||
           ((open.second.access & GENERIC_READ) && !(share & FILE_SHARE_READ))))
        return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    if (exists && writing && w.files[key].mapped)
      return Fail(disposition == CREATE_ALWAYS ? ERROR_USER_MAPPED_FILE : ERROR_SHARING_VIOLATION),
             INVALID_HANDLE_VALUE;
    if (disposition == OPEN_EXISTING) {
      if (!exists) return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
      if ((writing || deleting) && w.IsHeld(key))
        return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    } else if (disposition == CREATE_ALWAYS) {
      if (exists && w.IsHeld(key)) return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
      w.files[key].bytes.clear();
    } else {
      return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    }
    HANDLE file = h.New();
    h.files[file] = FileCursor{key, 0, access, share, flags};
    ::SetLastError(exists && disposition == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : 0);
    return file;
  });
  Set<&Platform::ReadFile>([&w, &h](HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                                    LPOVERLAPPED) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    const std::string& bytes = w.files[it->second.key].bytes;
    size_t left = bytes.size() > it->second.position ? bytes.size() - it->second.position : 0;
    DWORD n = static_cast<DWORD>(std::min<size_t>(left, count));
    if (n) std::memcpy(buffer, bytes.data() + it->second.position, n);
    it->second.position += n;
    if (read) *read = n;
    return TRUE;
  });
  Set<&Platform::WriteFile>([&w, &h](HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                                     LPOVERLAPPED) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    std::string& bytes = w.files[it->second.key].bytes;
    if (bytes.size() < it->second.position + count) bytes.resize(it->second.position + count);
    if (count) std::memcpy(&bytes[it->second.position], buffer, count);
    it->second.position += count;
    if (written) *written = count;
    return TRUE;
  });
  Set<&Platform::SetFilePointerEx>([&h](HANDLE file, LARGE_INTEGER to, PLARGE_INTEGER at,
                                        DWORD method) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (method != FILE_BEGIN || to.QuadPart < 0) return Fail(ERROR_INVALID_PARAMETER);
    it->second.position = static_cast<size_t>(to.QuadPart);
    if (at) at->QuadPart = to.QuadPart;
    return TRUE;
  });
  Set<&Platform::SetEndOfFile>([&w, &h](HANDLE file) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (!(it->second.access & (GENERIC_WRITE | GENERIC_ALL))) return Fail(ERROR_ACCESS_DENIED);
    w.files[it->second.key].bytes.resize(it->second.position);
    return TRUE;
  });
  Set<&Platform::CloseHandle>([&w, &h](HANDLE handle) {
    auto open = h.files.find(handle);
    if (open != h.files.end()) {
      if (open->second.flags & FILE_FLAG_DELETE_ON_CLOSE) w.files.erase(open->second.key);
      h.files.erase(open);
      return TRUE;
    }
    if (Erase(h.mutexes, handle) || Erase(h.others, handle)) return TRUE;
    return Fail(ERROR_INVALID_HANDLE);
  });
  Set<&Platform::DeleteFileW>([&w](LPCWSTR path) {
    std::wstring key = FileKey(Str(path));
    if (!w.files.count(key)) return Fail(ERROR_FILE_NOT_FOUND);
    if (w.IsHeld(key) || w.files[key].mapped) return Fail(ERROR_ACCESS_DENIED);
    if (OpenHandleRefuses(key, FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION);
    w.files.erase(key);
    return TRUE;
  });
  Set<&Platform::GetFileAttributesW>([&w](LPCWSTR path) -> DWORD {
    std::wstring key = FileKey(Str(path));
    if (w.files.count(key)) return FILE_ATTRIBUTE_ARCHIVE;
    for (const wchar_t* dir : {kSystemDir, kDriverDir, kProductDir, kModuleDir})
      if (key == Lower(std::wstring(dir))) return FILE_ATTRIBUTE_DIRECTORY;
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  });
  Set<&Platform::MoveFileExW>([&w, &h](LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (!from || !*from) return Fail(ERROR_INVALID_PARAMETER);
    if (to && !(flags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
      // A rename now, over an existing file only with MOVEFILE_REPLACE_EXISTING.
      // Windows refuses to replace a file that is loaded or open (without
      // delete sharing: ERROR_SHARING_VIOLATION; with it, as on Wine for any
      // open handle: ERROR_ACCESS_DENIED).
      if (flags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Fail(ERROR_INVALID_PARAMETER);
      std::wstring source = FileKey(Str(from));
      std::wstring target = FileKey(Str(to));
      if (!w.files.count(source)) return Fail(ERROR_FILE_NOT_FOUND);
      if (OpenHandleRefuses(source, FILE_SHARE_DELETE) || w.IsHeld(source))
        return Fail(ERROR_SHARING_VIOLATION);
      if (w.files.count(target) && source != target) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
        if (OpenHandleRefuses(target, FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION);
        for (const auto& open : h.files)
          if (open.second.key == target) return Fail(ERROR_ACCESS_DENIED);
        if (w.IsHeld(target) || w.files[target].mapped) return Fail(ERROR_ACCESS_DENIED);
      }
      WorldFile moved = w.files[source];
      w.files.erase(source);
      w.files[target] = moved;
      return TRUE;
    }
    if (to || flags != MOVEFILE_DELAY_UNTIL_REBOOT) return Fail(ERROR_INVALID_PARAMETER);
    // Windows queues the pair in the session manager's value: "\??\path",
    // then an empty destination.
    std::wstring entry = L"\\??\\" + Str(from);
    WorldRegValue& value = w.registry[Lower(std::string(kSessionManagerKey))]
                                     [Lower(std::string("PendingFileRenameOperations"))];
    value.type = REG_MULTI_SZ;
    std::wstring list;
    if (value.bytes.size() >= 2) {
      list.assign(value.bytes.size() / 2, L'\0');
      std::memcpy(&list[0], value.bytes.data(), list.size() * 2);
      while (!list.empty() && list.back() == L'\0') list.pop_back();
      list.push_back(L'\0');
    }
    list += entry;
    list.push_back(L'\0');
    list.push_back(L'\0');  // the empty destination
    list.push_back(L'\0');  // the end of the list
    value.bytes.assign(reinterpret_cast<const char*>(list.data()), list.size() * 2);
    w.bootDeletes.push_back(Str(from));
    return TRUE;
  });
  Set<&Platform::FlushFileBuffers>([&h](HANDLE file) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (!(it->second.access & (GENERIC_WRITE | GENERIC_ALL))) return Fail(ERROR_ACCESS_DENIED);
    return TRUE;
  });
  Set<&Platform::GetFileInformationByHandle>([&w, &h](HANDLE file,
                                                     LPBY_HANDLE_FILE_INFORMATION info) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (!info) return Fail(ERROR_INVALID_PARAMETER);
    // The volume by its drive, the file by its resolved path: two spellings
    // of one path are one file.
    const std::wstring& key = it->second.key;
    *info = BY_HANDLE_FILE_INFORMATION{};
    info->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    info->dwVolumeSerialNumber =
        static_cast<DWORD>(std::hash<std::wstring>()(key.substr(0, key.find(L'\\'))));
    uint64_t index = std::hash<std::wstring>()(key);
    info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(index);
    info->nFileSizeLow = static_cast<DWORD>(w.files[key].bytes.size());
    info->nNumberOfLinks = 1;
    return TRUE;
  });
  Set<&Platform::GetModuleFileNameW>([](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
    std::wstring path = WorldModuleDirectory() + L"install.exe";
    if (size == 0) return 0;
    wcsncpy_s(buffer, size, path.c_str(), _TRUNCATE);
    return static_cast<DWORD>(std::wcslen(buffer));
  });
  Set<&Platform::GetSystemDirectoryW>([](LPWSTR buffer, UINT size) -> UINT {
    size_t n = std::wcslen(kSystemDir);
    if (!buffer || size <= n) return static_cast<UINT>(n + 1);
    wcscpy_s(buffer, size, kSystemDir);
    return static_cast<UINT>(n);
  });
  Set<&Platform::GetTempPathW>([](DWORD size, LPWSTR buffer) -> DWORD {
    size_t n = std::wcslen(kTempDir);
    if (!buffer || size <= n) return static_cast<DWORD>(n + 1);
    wcscpy_s(buffer, size, kTempDir);
    return static_cast<DWORD>(n);
  });

  // --- registry ------------------------------------------------------------
  Set<&Platform::RegOpenKeyExA>([&w, &h](HKEY root, LPCSTR sub, DWORD, REGSAM, PHKEY result) {
    std::string path = KeyPath(root, sub);
    if (!w.registry.count(path)) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    HKEY key = reinterpret_cast<HKEY>(h.New());
    h.keys[key] = path;
    *result = key;
    return static_cast<LSTATUS>(ERROR_SUCCESS);
  });
  Set<&Platform::RegQueryValueExW>([&w, &h](HKEY key, LPCWSTR name, LPDWORD, LPDWORD type,
                                            LPBYTE data, LPDWORD size) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    WorldRegValue* value = w.FindRegValue(it->second, Narrow(name));
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->type;
    DWORD bytes = static_cast<DWORD>(value->bytes.size());
    if (!data) {
      if (size) *size = bytes;
      return ERROR_SUCCESS;
    }
    if (!size || *size < bytes) {
      if (size) *size = bytes;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, value->bytes.data(), bytes);
    *size = bytes;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegSetValueExW>([&w, &h](HKEY key, LPCWSTR name, DWORD, DWORD type,
                                          const BYTE* data, DWORD size) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    WorldRegValue& value = w.registry[it->second][Lower(Narrow(name))];
    value.type = type;
    value.bytes.assign(reinterpret_cast<const char*>(data), size);
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegDeleteValueA>([&w, &h](HKEY key, LPCSTR name) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    return w.registry[it->second].erase(Lower(std::string(name ? name : ""))) ? ERROR_SUCCESS
                                                                              : ERROR_FILE_NOT_FOUND;
  });
  Set<&Platform::RegOpenKeyExW>([&w, &h](HKEY root, LPCWSTR sub, DWORD, REGSAM,
                                         PHKEY result) -> LSTATUS {
    std::string path = KeyPathBelow(root, sub);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    if (!w.registry.count(path)) return ERROR_FILE_NOT_FOUND;
    HKEY key = reinterpret_cast<HKEY>(h.New());
    h.keys[key] = path;
    *result = key;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegCreateKeyExW>([&w, &h](HKEY root, LPCWSTR sub, DWORD, LPWSTR, DWORD, REGSAM,
                                           const LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                                           LPDWORD disposition) -> LSTATUS {
    std::string path = KeyPathBelow(root, sub);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    bool exists = w.registry.count(path) != 0;
    if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    if (!exists && attributes && attributes->lpSecurityDescriptor)
      w.registrySddl[path] = SddlOf(attributes->lpSecurityDescriptor);
    // Every key on the way is made as well.
    for (size_t cut = path.find('\\'); cut != std::string::npos; cut = path.find('\\', cut + 1))
      w.registry[path.substr(0, cut)];
    w.registry[path];
    HKEY key = reinterpret_cast<HKEY>(h.New());
    h.keys[key] = path;
    *result = key;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegEnumKeyExW>([&w, &h](HKEY key, DWORD index, LPWSTR name, LPDWORD chars,
                                         LPDWORD, LPWSTR, LPDWORD, PFILETIME) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    std::vector<std::string> names = ChildKeys(w, it->second);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& child = names[index];
    if (!chars || *chars <= child.size()) return ERROR_MORE_DATA;
    for (size_t i = 0; i < child.size(); ++i) name[i] = static_cast<unsigned char>(child[i]);
    name[child.size()] = L'\0';
    *chars = static_cast<DWORD>(child.size());
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegQueryInfoKeyW>([&w, &h](HKEY key, LPWSTR, LPDWORD, LPDWORD, LPDWORD subKeys,
                                            LPDWORD, LPDWORD, LPDWORD values, LPDWORD, LPDWORD,
                                            LPDWORD, PFILETIME) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    if (subKeys) *subKeys = static_cast<DWORD>(ChildKeys(w, it->second).size());
    if (values) *values = static_cast<DWORD>(w.registry[it->second].size());
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegDeleteTreeW>([&w](HKEY root, LPCWSTR sub) -> LSTATUS {
    std::string path = KeyPathBelow(root, sub);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    if (!w.registry.count(path)) return ERROR_FILE_NOT_FOUND;
    std::string prefix = path + "\\";
    for (auto it = w.registry.begin(); it != w.registry.end();)
      it = it->first.compare(0, prefix.size(), prefix) == 0 ? w.registry.erase(it) : std::next(it);
    // With a sub-key the key itself goes; without one only its content.
    if (sub && *sub)
      w.registry.erase(path);
    else
      w.registry[path].clear();
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegFlushKey>([&w, &h](HKEY key) -> LSTATUS {
    std::string path;
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) {
      path = KeyPath(key, nullptr);
      // The machine's hives as a whole: the spooler's data among them.
      if (key == HKEY_LOCAL_MACHINE) w.FlushSpooler();
    } else {
      auto it = h.keys.find(key);
      if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
      path = it->second;
    }
    w.FlushHive(path.substr(0, 4));
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegEnumValueW>([&w, &h](HKEY key, DWORD index, LPWSTR name, LPDWORD chars,
                                         LPDWORD, LPDWORD type, LPBYTE data,
                                         LPDWORD size) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    const auto& values = w.registry[it->second];
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    auto value = std::next(values.begin(), index);
    const std::string& n = value->first;
    if (!chars || *chars <= n.size()) return ERROR_MORE_DATA;
    for (size_t i = 0; i < n.size(); ++i) name[i] = static_cast<unsigned char>(n[i]);
    name[n.size()] = L'\0';
    *chars = static_cast<DWORD>(n.size());
    if (type) *type = value->second.type;
    DWORD bytes = static_cast<DWORD>(value->second.bytes.size());
    if (data && size && *size < bytes) {
      *size = bytes;
      return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, value->second.bytes.data(), bytes);
    if (size) *size = bytes;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegDeleteValueW>([&w, &h](HKEY key, LPCWSTR name) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    return w.registry[it->second].erase(Lower(Narrow(name))) ? ERROR_SUCCESS
                                                             : ERROR_FILE_NOT_FOUND;
  });
  Set<&Platform::RegSetKeySecurity>([&w, &h](HKEY key, SECURITY_INFORMATION,
                                             PSECURITY_DESCRIPTOR descriptor) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    w.registrySddl[it->second] = SddlOf(descriptor);
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegCloseKey>([&h](HKEY key) -> LSTATUS {
    return h.keys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  });

  // --- version resources -----------------------------------------------------
  Set<&Platform::GetFileVersionInfoSizeW>([&w](LPCWSTR path, LPDWORD handle) -> DWORD {
    if (handle) *handle = 0;
    WorldFile* file = w.FindFile(Str(path));
    if (!file) return Fail(ERROR_FILE_NOT_FOUND), 0;
    if (BuildOf(file->bytes) < 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND), 0;
    return static_cast<DWORD>(sizeof(VS_FIXEDFILEINFO) + 64);
  });
  Set<&Platform::GetFileVersionInfoW>([&w](LPCWSTR path, DWORD, DWORD size, LPVOID data) {
    WorldFile* file = w.FindFile(Str(path));
    if (!file) return Fail(ERROR_FILE_NOT_FOUND);
    int build = BuildOf(file->bytes);
    if (build < 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    if (size < sizeof(VS_FIXEDFILEINFO)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    VS_FIXEDFILEINFO info{};
    info.dwSignature = 0xFEEF04BD;
    info.dwStrucVersion = 0x10000;
    info.dwProductVersionMS = info.dwFileVersionMS = 0x00010000;
    info.dwProductVersionLS = info.dwFileVersionLS = static_cast<DWORD>(build & 0xFFFF);
    std::memcpy(data, &info, sizeof(info));
    return TRUE;
  });
  Set<&Platform::VerQueryValueW>([](LPCVOID block, LPCWSTR sub, LPVOID* out, PUINT length) {
    if (!block || !sub || std::wcscmp(sub, L"\\") != 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    *out = const_cast<LPVOID>(block);
    if (length) *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
  });

  // --- tray program, processes, windows ---------------------------------------
  Set<&Platform::GetVersionExA>([](LPOSVERSIONINFOA info) {
    if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA))
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    info->dwMajorVersion = 10;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 19045;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = '\0';
    return TRUE;
  });
  Set<&Platform::CreateMutexA>([&w, &h](LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    HANDLE mutex = h.New();
    h.mutexes.push_back(mutex);
    bool exists = name && std::strcmp(name, kTrayMutex) == 0 && w.trayRunning;
    ::SetLastError(exists ? ERROR_ALREADY_EXISTS : 0);
    return mutex;
  });
  Set<&Platform::ReleaseMutex>([&h](HANDLE mutex) {
    return std::count(h.mutexes.begin(), h.mutexes.end(), mutex) ? TRUE
                                                                  : Fail(ERROR_NOT_OWNER);
  });
  Set<&Platform::WaitForSingleObject>([&w, &h](HANDLE handle, DWORD ms) -> DWORD {
    bool mutex = std::count(h.mutexes.begin(), h.mutexes.end(), handle) != 0;
    if (!mutex || !w.trayRunning) return WAIT_OBJECT_0;
    if (ms != INFINITE) {
      TheClock().now += ms;
      TheClock().slept += ms;
    }
    return WAIT_TIMEOUT;
  });
  Set<&Platform::FindWindowW>([&w](LPCWSTR windowClass, LPCWSTR) -> HWND {
    if (windowClass && std::wcscmp(windowClass, kTrayClass) == 0 && w.trayRunning)
      return kTrayWindow;
    return nullptr;
  });
  Set<&Platform::PostMessageW>([&w](HWND window, UINT message, WPARAM, LPARAM) {
    if (window != kTrayWindow || !w.trayRunning) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (message == kTrayQuit && w.trayQuitsOnRequest) w.trayRunning = false;
    return TRUE;
  });
  Set<&Platform::IsWindow>([](HWND window) { return window == kTrayWindow ? TRUE : FALSE; });
  Set<&Platform::CreateProcessW>([&w, &h](LPCWSTR application, LPWSTR commandLine,
                                          LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                          DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                          LPPROCESS_INFORMATION info) {
    std::wstring path = Str(application);
    if (path.empty()) {
      std::wstring line = Str(commandLine);
      if (!line.empty() && line[0] == L'"') {
        size_t end = line.find(L'"', 1);
        path = line.substr(1, end == std::wstring::npos ? end : end - 1);
      } else {
        path = line.substr(0, line.find(L' '));
      }
    }
    if (!w.HasFile(path)) return Fail(ERROR_FILE_NOT_FOUND);
    if (SameText(FileNameOf(path), L"lsbtray.exe")) {
      w.trayRunning = true;
      w.trayPath = path;
      ++w.trayStarts;
      w.trayStartedWith = L"run";
      w.trayDirectory.clear();
      w.trayOwnEnvironment = false;
    }
    *info = PROCESS_INFORMATION{};
    info->hProcess = h.New();
    info->hThread = h.New();
    h.others.push_back(info->hProcess);
    h.others.push_back(info->hThread);
    info->dwProcessId = 4242;
    info->dwThreadId = 4243;
    return TRUE;
  });
  Set<&Platform::GetCommandLineW>([] { return const_cast<LPWSTR>(L"install.exe install"); });
  Set<&Platform::GetAsyncKeyState>([&w](int key) -> SHORT {
    return key == VK_SHIFT && w.shiftDown ? static_cast<SHORT>(0x8001) : 0;
  });
  Set<&Platform::GetProcessWindowStation>([] { return kStation; });
  Set<&Platform::GetUserObjectInformationW>([&w](HANDLE object, int index, PVOID data,
                                                 DWORD size, LPDWORD needed) {
    if (object != kStation || index != UOI_NAME) return Fail(ERROR_INVALID_PARAMETER);
    std::wstring name = w.interactiveStation ? L"WinSta0" : L"Service-0x0-3e7$";
    DWORD bytes = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    if (needed) *needed = bytes;
    if (size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(data, name.c_str(), bytes);
    return TRUE;
  });
  Set<&Platform::DialogBoxParamW>([&w](HINSTANCE instance, LPCWSTR templateName, HWND owner,
                                       DLGPROC procedure, LPARAM parameter) -> INT_PTR {
    WorldDialog dialog;
    dialog.instance = instance;
    dialog.templateId = IS_INTRESOURCE(templateName)
                            ? static_cast<int>(reinterpret_cast<uintptr_t>(templateName))
                            : -1;
    dialog.owner = owner;
    dialog.result = -1;
    w.dialogs.push_back(dialog);
    // The dialog manager's order: WM_INITDIALOG, then the user's close.
    procedure(kDialogWindow, WM_INITDIALOG, 0, parameter);
    procedure(kDialogWindow, WM_COMMAND, MAKEWPARAM(w.dialogCloseCommand, BN_CLICKED), 0);
    return w.dialogs.back().result;
  });
  Set<&Platform::SetDlgItemTextW>([&w](HWND dialog, int id, LPCWSTR text) {
    if (dialog != kDialogWindow || w.dialogs.empty()) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (id != 1001) return Fail(ERROR_CONTROL_ID_NOT_FOUND);
    w.dialogs.back().text = Str(text);
    return TRUE;
  });
  Set<&Platform::SetWindowTextW>([&w](HWND window, LPCWSTR text) {
    if (window != kDialogWindow || w.dialogs.empty()) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    w.dialogs.back().title = Str(text);
    return TRUE;
  });
  Set<&Platform::EndDialog>([&w](HWND dialog, INT_PTR result) {
    if (dialog != kDialogWindow || w.dialogs.empty()) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    w.dialogs.back().result = result;
    return TRUE;
  });

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

#include "support/fake_world.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include <gtest/gtest.h>

#include "support/fake_world_internal.h"
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

using namespace world_internal;

namespace {

// A component file's bytes carry its build number, so a copy keeps it.
std::string ComponentBytes(const std::wstring& name, int build) {
  std::string bytes = build >= 0 ? "build=" + std::to_string(build) + ";" : std::string();
  return bytes + Narrow(name.c_str()) + std::string(100, '.');
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
  const bool cut = stopped_;
  stopAfter_ = -1;
  stopped_ = false;
  spoolerRunning = true;
  lingeringModules.clear();
  trayRunning = false;
  for (auto& file : files) {
    file.second.lockedForever = file.second.mapped = false;
    if (cut && file.second.unflushed) file.second.bytes = file.second.flushedBytes;
    file.second.unflushed = false;
  }
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
  AddRunHandles(open, nullptr);
  return open;
}

std::string WorldOpenHandles::Kinds() const {
  std::string text;
  auto add = [&text](const char* kind, int n) {
    if (n) text += (text.empty() ? "" : ", ") + std::string(kind) + " " + std::to_string(n);
  };
  add("files", files);
  add("printers", printers);
  add("keys", keys);
  add("mutexes", mutexes);
  add("processes", processes);
  add("services", services);
  add("folders", folders);
  add("searches", searches);
  add("tokens", tokens);
  add("environments", environments);
  return text;
}

std::vector<std::string> World::OpenHandleNames() const {
  const Handles& h = TheHandles();
  std::vector<std::string> names;
  for (const auto& file : h.files) names.push_back("file " + Narrow(file.second.key.c_str()));
  for (const auto& printer : h.printers) names.push_back("printer " + Narrow(printer.second.c_str()));
  for (const auto& key : h.keys) names.push_back("key " + key.second);
  if (!h.mutexes.empty()) names.push_back("unnamed mutexes " + std::to_string(h.mutexes.size()));
  if (!h.others.empty()) names.push_back("processes/threads " + std::to_string(h.others.size()));
  if (h.scm) names.push_back("service manager " + std::to_string(h.scm));
  if (h.services) names.push_back("services " + std::to_string(h.services));
  WorldOpenHandles run;
  AddRunHandles(run, &names);
  return names;
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

World::~World() {
  if (expectNothingOpenAtEnd && OpenHandles().all() != 0) {
    std::string names;
    for (const std::string& name : OpenHandleNames()) names += "\n  " + name;
    ADD_FAILURE() << "left open at the end: " << OpenHandles().Kinds() << names;
  }
  if (expectNothingOpenAtEnd && LiveBlocks() != 0)
    ADD_FAILURE() << "memory blocks never given back: " << LiveBlocks();
  TheHandles() = Handles{};
}

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
  InstallServiceHooks();
  InstallFileHooks();
  InstallRegistryHooks();
  InstallProcessHooks();
  InstallMemoryHooks();
  InstallSpoolerHooks();
}

}  // namespace fake

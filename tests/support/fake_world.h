// A small in-memory Windows behind the fake seam, for unit tests of whole
// install and uninstall runs.
//
// It models what the setup tool touches: the spooler service and its SCM
// states, port monitors (with their ports), printer drivers (with their
// files), printers (PRINTER_INFO_2 fields, printer data, the default
// printer), a file system of paths and bytes (files can be held open),
// registry values, the tray program (mutex, window, process), version
// resources (a build number per file) and the Shift key. The spooler calls
// answer with the real two-call protocol: a size query that fails with
// ERROR_INSUFFICIENT_BUFFER, then one packed block of records followed by
// their strings. While the spooler service is stopped, every spooler call
// fails with RPC_S_SERVER_UNAVAILABLE.
//
// Usage: create a fake::FakePlatform first, then a World (its constructor
// sets the hooks). fake::FailNth / FailFrom may be layered on top afterwards.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/fake_platform.h"

namespace fake {

// A spooler string: the spooler gives a null pointer for a field never set
// and "" for one set empty, and the two are kept apart here.
struct Text : std::wstring {
  bool null = true;
  Text() = default;
  Text(const wchar_t* text) : std::wstring(text ? text : L""), null(!text) {}
  Text(const std::wstring& text) : std::wstring(text), null(false) {}
  const wchar_t* get() const { return null ? nullptr : c_str(); }
};

// A file's version resource travels with its bytes (a copy keeps it): bytes
// that begin with "build=N;" carry product version 1.0.0.N, others none.
struct WorldFile {
  std::string bytes;
  bool lockedForever = false;  // held open by some other process for good
  // Mapped by another process (a loaded DLL), no handle open: opens for
  // writing, deletion and replacement are refused, opens for reading or
  // for delete access alone are not.
  bool mapped = false;
  int links = 1;               // names the file has (hard links)
  bool reparsePoint = false;   // a symbolic link or junction stands at the name
  uint64_t created = 0;        // the machine's file-time order of its creation (CREATE_NEW)
  std::wstring sddl;           // access list it was created with (SDDL), when one was given
  // Data written since the last FlushFileBuffers is lost at a power cut:
  // the file then holds what it held at its last flush (a rename keeps this).
  bool unflushed = false;
  std::string flushedBytes;
};

// A process token as the tray start reads it.
struct WorldToken {
  std::wstring user;           // SID text; empty: the world's accountSid
  bool service = false;        // carries the SERVICE group (a service's account)
  DWORD session = 1;
  TOKEN_ELEVATION_TYPE elevationType = TokenElevationTypeFull;
  DWORD linkedIntegrity = 0x3000;  // of its linked token
  bool elevated = true;
};

// A folder with its owner and access list, as SDDL ("O:...D:...").
struct WorldDirectory {
  std::wstring sddl;
  bool reparsePoint = false;
};

// A named mutex of this machine. One process is modelled: "another run" is a
// flag a test sets.
struct WorldMutex {
  std::wstring sddl;           // the access list it was created with
  HANDLE owner = nullptr;      // the handle through which this process owns it
  bool heldByOther = false;    // another run owns it
  int otherLetsGoAfterMs = -1; // ... and lets go after this much waiting (-1: never)
  bool abandoned = false;      // its owner ended without letting go
  int handles = 0;             // open handles of this process
};

// An empty name or file name is listed as a null pointer.
struct WorldMonitor {
  std::wstring name;
  std::wstring environment;
  std::wstring dll;  // bare file name in the system directory
};

struct WorldDriver {
  std::wstring name;
  std::wstring environment;
  DWORD version = 3;
  std::wstring driverPath, dataFile, configFile, helpFile;
  std::wstring manufacturer, provider;
};

struct WorldPrinterValue {
  DWORD type = REG_SZ;
  std::string bytes;  // as stored, terminator included for REG_SZ
};

struct WorldPrinter {
  std::wstring name;
  std::wstring port;
  std::wstring driver;
  Text share, comment, location, sepFile, parameters;
  std::wstring processor = L"WinPrint";
  Text datatype = L"RAW";
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  // Printer data: key ("" for the printer's own values) -> value name -> value.
  std::map<std::string, std::map<std::string, WorldPrinterValue>> data;
};

// What AddPrinterW was asked for.
struct WorldPrinterRequest {
  LPWSTR server = nullptr;
  DWORD level = 0;
  PRINTER_INFO_2W record{};  // as given, with its strings cleared: they follow
  Text name, share, port, driver, comment, location, sepFile, processor, datatype, parameters;
};

// Handles this process holds open, by kind: files, printers, registry keys,
// mutexes (named or not), process and thread handles, the service manager
// and services, folders, file searches (FindFirstFileW), tokens (and the
// shell's process) and environment blocks.
struct WorldOpenHandles {
  int files = 0, printers = 0, keys = 0, mutexes = 0, processes = 0, services = 0;
  int folders = 0, searches = 0, tokens = 0, environments = 0;
  int all() const {
    return files + printers + keys + mutexes + processes + services + folders + searches +
           tokens + environments;
  }
  // "files 1, searches 1" for the kinds with open handles; "" for none.
  std::string Kinds() const;
};

struct WorldRegValue {
  DWORD type = REG_SZ;
  std::string bytes;
};

struct WorldDialog {
  HINSTANCE instance = nullptr;
  int templateId = 0;
  HWND owner = nullptr;
  std::wstring title;
  std::wstring text;
  INT_PTR result = 0;
};

class World {
 public:
  // The fixed layout of this machine.
  static constexpr const wchar_t* kSystemDir = L"C:\\windows\\system32";
  static constexpr const wchar_t* kDriverDir = L"C:\\windows\\system32\\spool\\drivers\\x64";
  static constexpr const wchar_t* kProductDir = L"C:\\Program Files\\Loomscribe";
  static constexpr const wchar_t* kModuleDir = L"C:\\Program Files\\Loomscribe\\x64";
  static constexpr const wchar_t* kTempDir = L"C:\\temp\\";
  static constexpr const char* kRunKey = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
  static constexpr const char* kSessionManagerKey =
      "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

  // A clean machine: spooler running, the "Local Port" monitor with its
  // ports, no driver, no printer, the product folder with install.exe, the
  // four 64-bit component files (build 2070) and lsbtray.exe.
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // --- state, free to read and change from a test --------------------------
  bool spoolerRunning = true;
  bool spoolerRefusesStop = false;   // the stop control is taken, the state stays
  bool spoolerRefusesStart = false;  // StartServiceW succeeds, the state stays stopped
  // After the stop control, QueryServiceStatus reports STOP_PENDING this many
  // times before STOPPED (the spooler's own calls fail at once).
  int spoolerStopPolls = 0;
  // Windows keeps a deleted monitor's DLL loaded until the spooler stops.
  bool monitorStaysLoadedAfterDelete = false;
  std::vector<std::wstring> lingeringModules;  // such DLLs (full paths)

  std::map<std::wstring, WorldFile> files;  // key: lower-case full path
  std::vector<WorldMonitor> monitors;
  std::vector<std::wstring> extraPorts;  // ports of the built-in monitors
  std::vector<WorldDriver> drivers;
  std::vector<WorldPrinter> printers;
  std::wstring defaultPrinter;
  // key: "HKLM\..." or "HKCU\..." (compared case-insensitively) -> value name.
  std::map<std::string, std::map<std::string, WorldRegValue>> registry;

  bool trayRunning = false;
  bool trayQuitsOnRequest = true;
  std::wstring trayPath;  // the file the running tray program was started from
  int trayStarts = 0;
  bool shiftDown = false;
  bool interactiveStation = true;
  std::vector<WorldDialog> dialogs;
  INT_PTR dialogCloseCommand = IDOK;
  std::vector<std::wstring> bootDeletes;  // paths MoveFileExW scheduled

  // --- power cut -------------------------------------------------------------
  // The machine stops after the n-th state-changing call from now (n >= 1;
  // the entries that count are listed in LMX_WORLD_STATE_CHANGING in
  // fake_world.cpp): every later such call fails and changes nothing, and
  // the registry loses what was written since the last RegFlushKey (or since
  // this call). A negative n never stops.
  void StopAfter(int n);
  bool Stopped() const { return stopped_; }
  // State-changing calls since the last StopAfter.
  int stateChanges = 0;
  // Each hive reaches the disk on its own: at a stop the machine's registry
  // keeps what was written up to its last RegFlushKey of an HKLM key, the
  // user's (HKCU values and the default printer) up to its last flush of
  // HKCU, and the spooler's printers, drivers and monitors up to the last
  // RegFlushKey(HKEY_LOCAL_MACHINE) or stop of the spooler service (which
  // writes its data when it stops). With this set, Windows' lazy writer has
  // just written the machine's registry (the journal's hive): it keeps every
  // change, while the spooler's and the user's wait for their flush.
  bool machineRegistryWrittenLazily = false;
  // Access lists given to registry keys (SDDL), by lower-case key path.
  std::map<std::string, std::wstring> registrySddl;
  // The machine runs again after a stop, as after a reboot: the spooler runs,
  // processes of the stopped run and the tray program are gone, nothing is
  // held open, Windows keeps no DLL loaded.
  void PowerOn();
  // The run lock and the log folder.
  static constexpr const wchar_t* kProgramData = L"C:\\ProgramData";
  static constexpr const wchar_t* kLogDir = L"C:\\ProgramData\\Loomscribe\\Logs";
  std::map<std::wstring, WorldDirectory> directories;  // key: lower-case full path
  std::map<std::wstring, WorldMutex> mutexes;          // key: the name as given
  std::wstring accountSid = L"S-1-5-21-1-2-3-500";    // the account the program runs as
  // This run's token: by default elevated with a linked token at high
  // integrity (not split), as Wine 8 gives it.
  WorldToken processToken;
  // The desktop's shell (Explorer) of this session, and its token.
  bool shellRunning = true;
  WorldToken shellToken = {L"", false, 1, TokenElevationTypeLimited, 0x3000, false};
  // How the tray program was last started: "run" (this run's own token,
  // CreateProcessW) or "shell" (the shell's token); its working directory
  // and whether it got an environment block of its own.
  std::wstring trayStartedWith, trayDirectory;
  bool trayOwnEnvironment = false;
  uint64_t fileClock = 0;                              // counts file creations

  // Names of the files in a folder, oldest first; a file's text (UTF-16
  // bytes, the byte-order mark included).
  std::vector<std::wstring> FilesIn(const std::wstring& directory) const;
  std::wstring TextOf(const std::wstring& path) const;

  // --- helpers -------------------------------------------------------------
  // `build` >= 0 gives the file a version resource with that build number.
  void AddFile(const std::wstring& path, const std::string& bytes = "x", int build = -1);
  // The build number of a file's version resource, or -1.
  int FileBuild(const std::wstring& path) const;
  void RemoveFile(const std::wstring& path);
  bool HasFile(const std::wstring& path) const;
  WorldFile* FindFile(const std::wstring& path);
  WorldOpenHandles OpenHandles() const;
  // Heap and global blocks taken through the seam and not given back.
  int LiveBlocks() const;
  // What a run leaves open fails the test when the world goes (with the kinds
  // and names left open); a test that holds a handle on purpose closes it, or
  // clears this.
  bool expectNothingOpenAtEnd = true;
  // The open handles by name: "file c:\\...", "printer P", "key hklm\\...".
  std::vector<std::string> OpenHandleNames() const;
  // Whether someone holds the file open now (spooler, tray or other).
  bool IsHeld(const std::wstring& path) const;
  WorldPrinter* FindPrinter(const std::wstring& name);
  const WorldMonitor* FindMonitor(const std::wstring& name) const;
  const WorldDriver* FindDriver(const std::wstring& name) const;
  WorldRegValue* FindRegValue(const std::string& key, const std::string& name);
  void SetRegString(const std::string& key, const std::string& name, const std::wstring& text);
  // Text of a REG_SZ value (UTF-16), or "" when absent.
  std::wstring RegString(const std::string& key, const std::string& name);
  // A product installation as a previous install leaves it: monitor, driver
  // with its files, Run value, running tray; printers are added by the test.
  void InstallProduct(int monitorBuild = 2070);
  // A printer of the product with its "SubKey" value.
  WorldPrinter& AddProductPrinter(const std::wstring& name, const std::string& subKey);
  static std::wstring Lower(const std::wstring& text);
  static std::string Lower(const std::string& text);

 private:
  // The hooks, one part per subsystem (fake_world_<subsystem>.cpp).
  void InstallHooks();
  void InstallServiceHooks();
  void InstallFileHooks();
  void InstallRegistryHooks();
  void InstallProcessHooks();
  void InstallMemoryHooks();
  void InstallSpoolerHooks();
  void InstallPowerSwitch();
  int stopAfter_ = -1;
  int stopPollsLeft_ = 0;
  bool stopped_ = false;
  std::map<std::string, std::map<std::string, WorldRegValue>> flushedRegistry_;
  struct SpoolerData {
    std::vector<WorldMonitor> monitors;
    std::vector<WorldDriver> drivers;
    std::vector<WorldPrinter> printers;
  };
  SpoolerData flushedSpooler_;
  std::wstring flushedDefault_;
  void FlushHive(const std::string& root);
  void FlushSpooler();
  void Cut();
  void InstallRunHooks();
};

// The module directory, "...\x64\" with its separator.
std::wstring WorldModuleDirectory();
// The system directory, "...\system32\" with its separator.
std::wstring WorldSystemDirectory();

// Records every AddPrinterW request from now on into `requests`; layered
// after a refusal, it sees the refused requests too.
void RecordPrinterRequests(std::vector<WorldPrinterRequest>* requests);

// A printer snapshot in global memory with only names and ports, each port
// text followed at once by the next record's name, so that a port text
// written past its end shows in the neighbour's name. Null for no printers.
PRINTER_INFO_2W* PackNamesAndPorts(const std::vector<std::pair<std::wstring, std::wstring>>& printers);

}  // namespace fake

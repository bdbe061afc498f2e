// spooler_bench: install, re-install and uninstall of the product against the
// Wine spooler, with a crowd of other printers around, and what each costs.
//
//   spooler_bench N [OTHERS]      N product printers among OTHERS (500) others
//   spooler_bench log [LINES]     the log's growth alone (100 000 lines)
//
// One scene, in this order, in the prefix it is given (scripts/bench.sh gives
// each scene a fresh one):
//  1. set-up: the driver "Bench other driver" (the product's DLLs under other
//     names) and OTHERS printers on it on the port "FILE:";
//  2. install.exe as a separate process, as the product's installer starts
//     it: a first install, then N product printers with "SubKey", comment and
//     location are added, a re-install, an uninstall;
//  3. the same three steps with minimal_setup.exe, which makes only the
//     spooler calls that work needs;
//  4. the same three steps once more inside this process through RunInstall
//     and RunUninstall, with every entry of the platform seam counted and
//     timed: which calls, and which sleeps, the time goes to.
// Each timed process is measured from CreateProcessW to its end (wall), by
// its own CPU time (user + kernel, sampled from /proc through Z: while it
// runs: Wine's GetProcessTimes gives the caller's own times for any other
// process; its answer is printed beside for comparison), and by the CPU time
// of the wineserver over the same span (LMX_WINESERVER_PID), which does the
// registry work of every Wine process.
// After every step the spooler's state is checked; anything unexpected is
// printed with a "!!" mark. This is a benchmark, not a test: it only prints.
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sequences/sequences.h"
#include "session/session.h"
#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

const wchar_t kOtherDriver[] = L"Bench other driver";
const wchar_t kOtherPort[] = L"FILE:";
const wchar_t kProductFolder[] = L"C:\\Program Files\\Loomscribe";

// ---------------------------------------------------------------- clocks

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Seconds(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 1e7;
}

// The whole text of a small file, or empty (files under Z:\proc read fine).
// CPU seconds (user + kernel, all threads) of a Linux process, from
// /proc/PID/stat, or -1 when it is gone.
double UnixCpu(const std::wstring& pid) {
  std::string text = testutil::ReadFileBytes(L"Z:\\proc\\" + pid + L"\\stat");
  // Fields after "(comm)": state is field 3; utime and stime are 14 and 15.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  const char* p = text.c_str() + close + 1;
  unsigned long long values[16] = {};
  int field = 2;
  while (*p && field < 15) {
    while (*p == ' ') ++p;
    ++field;
    if (field >= 14) values[field] = std::strtoull(p, nullptr, 10);
    while (*p && *p != ' ') ++p;
  }
  return static_cast<double>(values[14] + values[15]) / 100.0;  // clock ticks of 10 ms
}

// CPU seconds of the wineserver named by LMX_WINESERVER_PID, or -1.
double ServerCpu() {
  static std::wstring pid = [] {
    wchar_t text[32] = {};
    if (!::GetEnvironmentVariableW(L"LMX_WINESERVER_PID", text, 32)) return std::wstring();
    return std::wstring(text);
  }();
  return pid.empty() ? -1 : UnixCpu(pid);
}

// The Linux process id of a Wine process of this prefix running the program
// `image` (Wine shows the Windows path of the program as the process's
// cmdline), looked for among the ids above this process's own; empty when
// not found.
std::wstring UnixPidOf(const std::wstring& image) {
  static long self = std::atol(testutil::ReadFileBytes(L"Z:\\proc\\self\\stat").c_str());
  static std::string prefix = [] {
    char text[1024] = {};
    ::GetEnvironmentVariableA("WINEPREFIX", text, sizeof(text));
    return std::string("WINEPREFIX=") + text + '\0';
  }();
  std::string wanted(image.begin(), image.end());
  wanted += '\0';
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW(L"Z:\\proc\\*", &found);
  if (search == INVALID_HANDLE_VALUE) return L"";
  std::wstring result;
  do {
    long pid = std::wcstol(found.cFileName, nullptr, 10);
    if (pid <= self) continue;
    std::wstring dir = L"Z:\\proc\\" + std::wstring(found.cFileName);
    if (testutil::ReadFileBytes(dir + L"\\cmdline").compare(0, wanted.size(), wanted) != 0) continue;
    if (testutil::ReadFileBytes(dir + L"\\environ").find(prefix) == std::string::npos) continue;
    result = found.cFileName;
    break;
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return result;
}

// ---------------------------------------------------------------- spooler state

struct State {
  int others = 0;
  std::vector<std::wstring> product;  // printers on the product driver
  bool driver = false;
  bool monitor = false;
  std::wstring defaultPrinter;
};

State ReadState() {
  State state;
  for (const winespool::PrinterRow& row : winespool::Printers()) {
    if (row.driver == winespool::kDriver) state.product.push_back(row.name);
    if (row.driver == kOtherDriver) ++state.others;
  }
  std::sort(state.product.begin(), state.product.end());
  state.driver = winespool::Contains(winespool::DriverNames(), winespool::kDriver);
  state.monitor = winespool::Contains(winespool::MonitorNames(), winespool::kPort);
  state.defaultPrinter = winespool::DefaultPrinter();
  return state;
}

std::wstring ProductPrinterName(int i) {
  wchar_t name[64];
  std::swprintf(name, 64, L"Bench product %03d", i);
  return name;
}

std::string SubKeyOf(int i) {
  char text[32];
  std::snprintf(text, sizeof(text), "bench-subkey-%03d", i);
  return text;
}

int g_unexpected = 0;

void Unexpected(const char* step, const std::string& what) {
  ++g_unexpected;
  std::printf("  !! %s: %s\n", step, what.c_str());
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// Reads "SubKey" of a printer from its own data, else from "DsUser".
std::string ReadSubKey(const std::wstring& name) {
  HANDLE printer = nullptr;
  if (!::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, nullptr)) return "";
  char value[64] = {};
  DWORD type = 0, size = 0;
  if (::GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                        reinterpret_cast<BYTE*>(value), sizeof(value), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    value[0] = '\0';
    if (::GetPrinterDataExA(printer, "DsUser", "SubKey", &type, reinterpret_cast<BYTE*>(value),
                            sizeof(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
      value[0] = '\0';
  }
  value[sizeof(value) - 1] = '\0';
  ::ClosePrinter(printer);
  return value;
}

// What the spooler must hold after each step of a scene with n product
// printers and `others` other printers; prints every difference.
void Check(const char* step, int n, int others) {
  State s = ReadState();
  if (s.others != others)
    Unexpected(step, std::to_string(s.others) + " other printers, expected " + std::to_string(others));
  bool uninstalled = std::strstr(step, "uninstall") && !std::strstr(step, "re-install");
  std::vector<std::wstring> expected;
  if (uninstalled) {
    // nothing of the product
  } else if (std::strstr(step, "re-install") && n > 0) {
    for (int i = 0; i < n; ++i) expected.push_back(ProductPrinterName(i));
  } else {
    expected.push_back(L"Loomscribe");
  }
  std::sort(expected.begin(), expected.end());
  if (s.product != expected) {
    std::string names;
    for (size_t i = 0; i < s.product.size() && i < 4; ++i) names += " '" + Narrow(s.product[i]) + "'";
    Unexpected(step, std::to_string(s.product.size()) + " product printers (" + names +
                         (s.product.size() > 4 ? " ..." : "") + " ), expected " +
                         std::to_string(expected.size()));
  }
  if (s.driver == uninstalled) Unexpected(step, uninstalled ? "driver still there" : "driver missing");
  if (s.monitor == uninstalled) Unexpected(step, uninstalled ? "monitor still there" : "monitor missing");
  if (std::strstr(step, "re-install") && n > 0) {
    if (s.defaultPrinter != ProductPrinterName(0))
      Unexpected(step, "default printer is '" + Narrow(s.defaultPrinter) + "'");
    int wrong = 0, wrongText = 0;
    for (const winespool::PrinterRow& row : winespool::Printers()) {
      if (row.driver != winespool::kDriver) continue;
      int i = std::wcstol(row.name.c_str() + 14, nullptr, 10);
      if (ReadSubKey(row.name) != SubKeyOf(i)) ++wrong;
      if (row.comment != L"Bench comment " + std::to_wstring(i) ||
          row.location != L"Room " + std::to_wstring(i))
        ++wrongText;
    }
    if (wrong) Unexpected(step, std::to_string(wrong) + " printers without their SubKey");
    if (wrongText) Unexpected(step, std::to_string(wrongText) + " printers without comment/location");
  }
}

// ---------------------------------------------------------------- scene set-up

bool AddOtherDriver() {
  std::wstring directory = winespool::DriverDirectory();
  std::wstring source = testutil::ProductX64Directory();
  std::wstring driver = directory + L"benchdrv64.dll";
  std::wstring ui = directory + L"benchui64.dll";
  if (!::CopyFileW((source + L"\\lmxdrv64.dll").c_str(), driver.c_str(), FALSE) ||
      !::CopyFileW((source + L"\\lmxui64.dll").c_str(), ui.c_str(), FALSE))
    return false;
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = const_cast<LPWSTR>(kOtherDriver);
  info.pEnvironment = const_cast<LPWSTR>(winespool::kEnvironment);
  info.pDriverPath = &driver[0];
  info.pDataFile = &driver[0];
  info.pConfigFile = &ui[0];
  BOOL ok = ::AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES);
  DWORD error = ::GetLastError();
  ::DeleteFileW(driver.c_str());
  ::DeleteFileW(ui.c_str());
  if (!ok) std::printf("  !! AddPrinterDriverExW(%ls) failed, error %lu\n", kOtherDriver, error);
  return ok != FALSE;
}

// The product's printers as a customer would have them: "SubKey" (every
// fourth one only under "DsUser"), a comment, a location; the first one is
// the default printer.
int AddProductPrinters(int n) {
  int failed = 0;
  for (int i = 0; i < n; ++i) {
    std::wstring name = ProductPrinterName(i);
    if (!winespool::AddPrinterOn(name, winespool::kDriver, winespool::kPort)) {
      ++failed;
      continue;
    }
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (!::OpenPrinterW(&name[0], &printer, &access)) {
      ++failed;
      continue;
    }
    std::string subKey = SubKeyOf(i);
    BYTE* data = reinterpret_cast<BYTE*>(&subKey[0]);
    DWORD size = static_cast<DWORD>(subKey.size() + 1);
    DWORD rc = i % 4 == 3 ? ::SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, size)
                          : ::SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, size);
    if (rc != ERROR_SUCCESS) ++failed;
    DWORD needed = 0;
    ::GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> block(needed ? needed : 1);
    if (needed && ::GetPrinterW(printer, 2, block.data(), needed, &needed)) {
      auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
      std::wstring comment = L"Bench comment " + std::to_wstring(i);
      std::wstring location = L"Room " + std::to_wstring(i);
      info->pComment = &comment[0];
      info->pLocation = &location[0];
      if (!::SetPrinterW(printer, 2, block.data(), 0)) ++failed;
    } else {
      ++failed;
    }
    ::ClosePrinter(printer);
    if (i == 0 && !::SetDefaultPrinterW(name.c_str())) ++failed;
  }
  return failed;
}

// ---------------------------------------------------------------- timed processes

struct Figures {
  double wall = 0;      // s, CreateProcessW to the end of the process
  double cpu = -1;      // s, user + kernel of the process, last /proc sample
  double reported = 0;  // s, user + kernel as GetProcessTimes reports them
  double server = -1;   // s, wineserver CPU over the same span
  DWORD exitCode = 0;
  bool logWindow = false;
};

struct WindowSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindVisibleWindowOf(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  if (pid == search->pid && ::IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK PrintChildText(HWND child, LPARAM) {
  int length = ::GetWindowTextLengthW(child);
  if (length > 200) {
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(child, &text[0], length + 1);
    std::printf("     ---- log window text (lines with Error):\n");
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(L"\r\n", start);
      if (end == std::wstring::npos) end = text.size();
      std::wstring line = text.substr(start, end - start);
      if (line.find(L"Error") != std::wstring::npos) std::printf("     %ls\n", line.c_str());
      start = end + 2;
    }
  }
  return TRUE;
}

// Starts `commandLine`, waits for its end and measures it. A process that
// shows a window (install.exe's log window after an error) has that window's
// error lines printed and the window closed; the figures then include the
// time the window was up.
Figures RunTimed(const std::wstring& image, const std::wstring& arguments, bool inheritOutput) {
  const std::wstring commandLine = L"\"" + image + L"\" " + arguments;
  Figures figures;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  if (inheritOutput) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION process = {};
  std::wstring line = commandLine;
  std::fflush(stdout);
  double server = ServerCpu();
  double start = Now();
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, inheritOutput, 0, nullptr, nullptr,
                        &startup, &process)) {
    std::printf("  !! CreateProcessW(%ls) failed, error %lu\n", commandLine.c_str(), ::GetLastError());
    figures.exitCode = 0xFFFFFFFF;
    return figures;
  }
  // Wine's GetProcessTimes answers with the caller's own CPU time for any
  // other process, so the child's is sampled from /proc every 10 ms while it
  // runs (the last sample misses at most its final 10 ms).
  std::wstring unixPid;
  int polls = 0;
  while (::WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
    if (unixPid.empty() && polls < 50) unixPid = UnixPidOf(image);
    if (!unixPid.empty()) {
      double cpu = UnixCpu(unixPid);
      if (cpu >= 0) figures.cpu = cpu;
    }
    if (++polls % 100 != 0) continue;
    WindowSearch search = {process.dwProcessId, nullptr};
    ::EnumWindows(&FindVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
      wchar_t title[256] = {};
      ::GetWindowTextW(search.found, title, 256);
      std::printf("  !! window '%ls' shown after %.1f s\n", title, Now() - start);
      figures.logWindow = true;
      ::EnumChildWindows(search.found, &PrintChildText, 0);
      ::PostMessageW(search.found, WM_COMMAND, IDOK, 0);
      ::PostMessageW(search.found, WM_CLOSE, 0, 0);
    }
    if (polls >= 30000) {  // 300 s
      std::printf("  !! %ls still running after 300 s: terminated\n", commandLine.c_str());
      ::TerminateProcess(process.hProcess, 0xDEAD);
      ::WaitForSingleObject(process.hProcess, INFINITE);
    }
  }
  figures.wall = Now() - start;
  if (server >= 0) figures.server = ServerCpu() - server;
  FILETIME created, exited, kernel, user;
  if (::GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user))
    figures.reported = Seconds(kernel) + Seconds(user);
  ::GetExitCodeProcess(process.hProcess, &figures.exitCode);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return figures;
}

void PrintFigures(const char* label, const Figures& f, DWORD expectedExit) {
  char server[32] = "      -", cpu[32] = "       -";
  if (f.server >= 0) std::snprintf(server, sizeof(server), "%7.0f", f.server * 1e3);
  if (f.cpu >= 0) std::snprintf(cpu, sizeof(cpu), "%8.0f", f.cpu * 1e3);
  std::printf("  %-28s %8.0f %s %s %7.0f %5lu%s\n", label, f.wall * 1e3, cpu, server,
              f.reported * 1e3, f.exitCode, f.exitCode == expectedExit ? "" : "  !! unexpected exit code");
  if (f.exitCode != expectedExit) ++g_unexpected;
}

// The product folder as the product's installer lays it out. Uninstall
// deletes the tray program, so it is laid out again before every install.
void LayOutProductFolder() {
  productrun::CopyFilesOf(testutil::ProductDirectory(), kProductFolder);
  productrun::CopyFilesOf(testutil::ProductX64Directory(), std::wstring(kProductFolder) + L"\\x64");
}

std::wstring InstallExe() { return std::wstring(kProductFolder) + L"\\x64\\install.exe"; }

std::wstring MinimalExe() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring self = path;
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"minimal_setup.exe";
}

// ---------------------------------------------------------------- the counted seam

enum Entry {
#define LMX_BENCH_ENTRY(name, lib, fail) k##name,
  LMX_PLATFORM_ENTRIES(LMX_BENCH_ENTRY)
#undef LMX_BENCH_ENTRY
      kEntryCount
};

const char* const kEntryNames[] = {
#define LMX_BENCH_NAME(name, lib, fail) #name,
    LMX_PLATFORM_ENTRIES(LMX_BENCH_NAME)
#undef LMX_BENCH_NAME
};

// The library of each entry: 'W' the spooler (winspool.drv), 'A' advapi32
// (the registry among it), ...
const char kEntryLibraries[] = {
#define LMX_BENCH_LIB(name, lib, fail) #lib[0],
    LMX_PLATFORM_ENTRIES(LMX_BENCH_LIB)
#undef LMX_BENCH_LIB
};

struct Tally {
  long long calls = 0;
  double seconds = 0;
};
Tally g_tally[kEntryCount];
Platform g_real;
double g_sleepRequested = 0;  // s asked of Sleep
std::map<DWORD, int> g_sleeps; // Sleep calls by the ms asked
std::wstring g_moduleFile;    // what GetModuleFileNameW(nullptr) answers
bool g_windowWanted = false;

struct Stamp {
  int entry;
  double start = Now();
  explicit Stamp(int e) : entry(e) {}
  ~Stamp() {
    g_tally[entry].calls++;
    g_tally[entry].seconds += Now() - start;
  }
};

template <auto Member, int I, class F>
struct Timed;
template <auto Member, int I, class R, class... A>
struct Timed<Member, I, R(WINAPI*)(A...)> {
  static R WINAPI Call(A... args) {
    Stamp stamp(I);
    return (g_real.*Member)(args...);
  }
};

void WINAPI CountedSleep(DWORD ms) {
  Stamp stamp(kSleep);
  g_sleepRequested += ms / 1000.0;
  g_sleeps[ms]++;
  g_real.Sleep(ms);
}

// The program's own path is that of install.exe in the product folder, so
// that the run copies the component files from there and finds the tray
// program beside it.
DWORD WINAPI BenchModuleFileName(HMODULE module, LPWSTR path, DWORD size) {
  Stamp stamp(kGetModuleFileNameW);
  if (module) return g_real.GetModuleFileNameW(module, path, size);
  if (g_moduleFile.size() + 1 > size) return 0;
  std::wmemcpy(path, g_moduleFile.c_str(), g_moduleFile.size() + 1);
  return static_cast<DWORD>(g_moduleFile.size());
}

// The log window is not shown: its error lines are printed instead.
INT_PTR WINAPI BenchDialog(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM param) {
  Stamp stamp(kDialogBoxParamW);
  g_windowWanted = true;
  const auto* session = reinterpret_cast<const InstallSession*>(param);
  for (const std::wstring& line : testutil::LogLines(*session))
    if (line.find(L"Error") != std::wstring::npos) std::printf("     log: %ls\n", line.c_str());
  return 0;
}

Platform CountedPlatform() {
  g_real = RealPlatform();
  Platform table = g_real;
#define LMX_BENCH_WRAP(name, lib, fail) \
  table.name = &Timed<&Platform::name, k##name, decltype(Platform::name)>::Call;
  LMX_PLATFORM_ENTRIES(LMX_BENCH_WRAP)
#undef LMX_BENCH_WRAP
  table.Sleep = &CountedSleep;
  table.GetModuleFileNameW = &BenchModuleFileName;
  table.DialogBoxParamW = &BenchDialog;
  return table;
}

// Runs one sequence in this process and prints where its time went: the
// entries of the seam by time, with their call counts.
void Profile(const char* label, bool install, int n, int others) {
  for (Tally& t : g_tally) t = Tally{};
  g_sleepRequested = 0;
  g_sleeps.clear();
  g_windowWanted = false;
  double server = ServerCpu();
  FILETIME c, e, k0, u0, k1, u1;
  ::GetProcessTimes(::GetCurrentProcess(), &c, &e, &k0, &u0);
  double start = Now();
  RunResult result = install ? RunInstall(nullptr) : RunUninstall(nullptr);
  double wall = Now() - start;
  ::GetProcessTimes(::GetCurrentProcess(), &c, &e, &k1, &u1);
  double cpu = Seconds(k1) + Seconds(u1) - Seconds(k0) - Seconds(u0);
  double serverCpu = server >= 0 ? ServerCpu() - server : -1;

  double seam = 0;
  long long calls = 0;
  for (const Tally& t : g_tally) {
    seam += t.seconds;
    calls += t.calls;
  }
  std::printf("  %s in this process: %.0f ms wall, %.0f ms CPU, wineserver %.0f ms CPU;"
              " errors %s, %u scheduled, log window %s\n",
              label, wall * 1e3, cpu * 1e3, serverCpu * 1e3, result.errorsCounted ? "yes" : "no",
              result.scheduledForRestart, g_windowWanted ? "wanted" : "not wanted");
  std::printf("    %lld calls through the seam, %.0f ms in them; Sleep asked %.0f ms", calls,
              seam * 1e3, g_sleepRequested * 1e3);
  const char* separator = " (";
  for (const auto& sleep : g_sleeps) {
    std::printf("%s%d x %lu ms", separator, sleep.second, sleep.first);
    separator = ", ";
  }
  std::printf("%s\n", g_sleeps.empty() ? "" : ")");
  long long registryCalls = 0, spoolerCalls = 0;
  for (int i = 0; i < kEntryCount; ++i) {
    if (std::strncmp(kEntryNames[i], "Reg", 3) == 0) registryCalls += g_tally[i].calls;
    if (kEntryLibraries[i] == 'W') spoolerCalls += g_tally[i].calls;
  }
  std::printf("    registry calls %lld, spooler calls %lld", registryCalls, spoolerCalls);
  if (n > 0)
    std::printf(" (per product printer: %.1f registry, %.1f spooler)",
                static_cast<double>(registryCalls) / n, static_cast<double>(spoolerCalls) / n);
  std::printf("\n");
  std::printf("    spooler stops %lld, starts %lld; tray: CreateMutexA %lld, FindWindowW %lld,"
              " WaitForSingleObject %lld (%.0f ms); log growth: HeapReAlloc %lld (%.1f ms)\n",
              g_tally[kControlService].calls, g_tally[kStartServiceW].calls,
              g_tally[kCreateMutexA].calls, g_tally[kFindWindowW].calls,
              g_tally[kWaitForSingleObject].calls, g_tally[kWaitForSingleObject].seconds * 1e3,
              g_tally[kHeapReAlloc].calls, g_tally[kHeapReAlloc].seconds * 1e3);
  std::vector<int> order;
  for (int i = 0; i < kEntryCount; ++i)
    if (g_tally[i].calls) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [](int a, int b) { return g_tally[a].seconds > g_tally[b].seconds; });
  double shown = 0;
  for (size_t j = 0; j < order.size() && j < 10; ++j) {
    const Tally& t = g_tally[order[j]];
    shown += t.seconds;
    std::printf("    %-26s %6lld calls %8.1f ms %6.1f ms/call\n", kEntryNames[order[j]], t.calls,
                t.seconds * 1e3, t.seconds * 1e3 / t.calls);
  }
  std::printf("    %-26s %6s       %8.1f ms\n", "(all other entries)", "", (seam - shown) * 1e3);
  Check(label, n, others);
}

long long g_moves = 0;  // reallocations that moved the block

LPVOID WINAPI CountedReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  Stamp stamp(kHeapReAlloc);
  LPVOID result = g_real.HeapReAlloc(heap, flags, block, bytes);
  if (result && result != block) ++g_moves;
  return result;
}

// The log's growth alone: `lines` LogLine calls (as log_bench makes them),
// with the time spent in HeapReAlloc measured apart from the rest.
void LogGrowth(int lines) {
  Platform table = CountedPlatform();
  table.HeapReAlloc = &CountedReAlloc;
  SetPlatform(&table);
  for (Tally& t : g_tally) t = Tally{};
  g_moves = 0;
  InstallSession session;
  BeginSession(session);
  session.IndentDepth = 3;
  FILETIME c, e, k0, u0, k1, u1;
  ::GetProcessTimes(::GetCurrentProcess(), &c, &e, &k0, &u0);
  double start = Now();
  for (int i = 0; i < lines; ++i)
    LogLine(session, L"SetPrinter(%s) - ok %d", L"Loomscribe printer number", i);
  double wall = Now() - start;
  ::GetProcessTimes(::GetCurrentProcess(), &c, &e, &k1, &u1);
  double cpu = Seconds(k1) + Seconds(u1) - Seconds(k0) - Seconds(u0);
  const Tally& realloc = g_tally[kHeapReAlloc];
  std::printf("log growth: %d lines with LogLine, %llu characters\n", lines,
              static_cast<unsigned long long>(Length(session.InstallLog)));
  std::printf("  wall %.0f ms, CPU %.0f ms\n", wall * 1e3, cpu * 1e3);
  std::printf("  HeapReAlloc: %lld calls, %.0f ms (%.1f us each), %lld of them moved the block\n",
              realloc.calls, realloc.seconds * 1e3, realloc.seconds * 1e6 / (realloc.calls ? realloc.calls : 1),
              g_moves);
  std::printf("  everything else (formatting, indentation, copying the line in): %.0f ms\n",
              (wall - realloc.seconds) * 1e3);
  EndSession(session);
  SetPlatform(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 4096);
  if (argc > 1 && std::strcmp(argv[1], "log") == 0) {
    LogGrowth(argc > 2 ? std::atoi(argv[2]) : 100000);
    return 0;
  }
  int n = argc > 1 ? std::atoi(argv[1]) : 50;
  int others = argc > 2 ? std::atoi(argv[2]) : 500;
  std::printf("spooler_bench: %d product printers among %d other printers\n", n, others);

  // 1. The scene.
  double t = Now();
  if (!AddOtherDriver()) return 1;
  int failed = 0;
  for (int i = 0; i < others; ++i) {
    wchar_t name[64];
    std::swprintf(name, 64, L"Bench other %03d", i);
    if (!winespool::AddPrinterOn(name, kOtherDriver, kOtherPort)) ++failed;
  }
  std::printf("  set-up: %d other printers added in %.1f s (%.1f ms each)%s\n", others, Now() - t,
              (Now() - t) * 1e3 / (others ? others : 1), failed ? "  !! some failed" : "");
  if (failed) std::printf("  !! %d AddPrinterW failed, last error %lu\n", failed, ::GetLastError());

  std::printf("  %-28s %8s %8s %7s %7s %5s\n", "", "wall ms", "CPU ms", "server", "GPT ms",
              "exit");
  std::printf("  (CPU: the process's own, from /proc; server: wineserver CPU over the same span;\n"
              "   GPT: what GetProcessTimes reports for the child - on Wine this process's own)\n");
  PrintFigures("process start alone", RunTimed(MinimalExe(), L"none", true), 0);

  // 2. install.exe, and 3. the minimal program, on the same scene, a few
  // rounds (the order alternates); the medians follow.
  int rounds = 3;
  if (const char* text = std::getenv("LMX_BENCH_ROUNDS")) rounds = std::max(1, std::atoi(text));
  std::vector<Figures> runs[2][3];  // [install.exe, minimal][install, re-install, uninstall]
  const char* const steps[3] = {"install", "re-install", "uninstall"};
  const char* const who[2] = {"install.exe", "minimal"};
  const std::wstring source = L"\"" + std::wstring(kProductFolder) + L"\\x64\"";
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      int pass = (round + k) % 2;
      bool product = pass == 0;
      std::wstring exe = product ? InstallExe() : MinimalExe();
      std::wstring tail = product ? L"" : L" " + source;
      DWORD okInstall = product ? 1 : 0, okUninstall = product ? 2 : 0;
      char label[64];

      LayOutProductFolder();
      std::snprintf(label, sizeof(label), "%s %s", who[pass], steps[0]);
      runs[pass][0].push_back(RunTimed(exe, L"install" + tail, !product));
      PrintFigures(label, runs[pass][0].back(), okInstall);
      Check(label, n, others);

      t = Now();
      int bad = AddProductPrinters(n);
      if (bad) std::printf("  !! adding %d product printers: %d steps failed\n", n, bad);
      if (round == 0 && k == 0) std::printf("  (%d product printers added in %.1f s)\n", n, Now() - t);

      LayOutProductFolder();
      std::snprintf(label, sizeof(label), "%s %s", who[pass], steps[1]);
      runs[pass][1].push_back(RunTimed(exe, (product ? L"install" : L"reinstall") + tail, !product));
      PrintFigures(label, runs[pass][1].back(), okInstall);
      Check(label, n, others);

      std::snprintf(label, sizeof(label), "%s %s", who[pass], steps[2]);
      // Wine's spooler runs inside this process: adding the product printers
      // loaded the driver's configuration DLL here, and an uninstall rightly
      // queues a driver file another process holds for the restart (101).
      if (product && ::GetModuleHandleW(L"lmxui64.dll")) okUninstall = 101;
      runs[pass][2].push_back(RunTimed(exe, L"uninstall" + tail, !product));
      PrintFigures(label, runs[pass][2].back(), okUninstall);
      Check(label, n, others);
    }
  }

  // Medians, and minimums: on a machine shared with other work the least of
  // a few runs comes closest to what the step itself costs.
  auto median = [](std::vector<double> v) {
    if (v.empty()) return -1.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  auto least = [](const std::vector<double>& v) {
    return v.empty() ? -1.0 : *std::min_element(v.begin(), v.end());
  };
  std::printf("  %d rounds (ms)                  median: wall      CPU   server |  min: wall      CPU   server\n",
              rounds);
  for (int step = 0; step < 3; ++step) {
    double m[2][6];
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<double> v[3];
      for (const Figures& f : runs[pass][step]) {
        v[0].push_back(f.wall);
        v[1].push_back(f.cpu);
        v[2].push_back(f.server);
      }
      for (int i = 0; i < 3; ++i) {
        m[pass][i] = median(v[i]);
        m[pass][3 + i] = least(v[i]);
      }
      std::printf("  %-32s %8.0f %8.0f %8.0f | %8.0f %8.0f %8.0f\n",
                  (std::string(who[pass]) + " " + steps[step]).c_str(), m[pass][0] * 1e3,
                  m[pass][1] * 1e3, m[pass][2] * 1e3, m[pass][3] * 1e3, m[pass][4] * 1e3,
                  m[pass][5] * 1e3);
    }
    std::printf("  %-32s %8.0f %8.0f %8.0f | %8.0f %8.0f %8.0f\n", "  added by install.exe",
                (m[0][0] - m[1][0]) * 1e3, (m[0][1] - m[1][1]) * 1e3, (m[0][2] - m[1][2]) * 1e3,
                (m[0][3] - m[1][3]) * 1e3, (m[0][4] - m[1][4]) * 1e3, (m[0][5] - m[1][5]) * 1e3);
    if (m[1][0] > 0)
      std::printf("  %-32s %7.2fx %7.2fx          | %7.2fx %7.2fx\n", "  install.exe / minimal",
                  m[0][0] / m[1][0], m[1][1] > 0 ? m[0][1] / m[1][1] : 0.0,
                  m[1][3] > 0 ? m[0][3] / m[1][3] : 0.0, m[1][4] > 0 ? m[0][4] / m[1][4] : 0.0);
  }
  std::fflush(stdout);

  // 4. The same through RunInstall / RunUninstall in this process, counted.
  if (std::getenv("LMX_BENCH_NO_PROFILE") == nullptr) {
    g_moduleFile = InstallExe();
    Platform table = CountedPlatform();
    SetPlatform(&table);
    LayOutProductFolder();
    Profile("install", true, n, others);
    AddProductPrinters(n);
    LayOutProductFolder();
    Profile("re-install", true, n, others);
    Profile("uninstall", false, n, others);
    SetPlatform(nullptr);
  }
  std::printf("  %s\n", g_unexpected ? "!! something above was unexpected" : "all steps left the expected spooler state");
  return 0;
}

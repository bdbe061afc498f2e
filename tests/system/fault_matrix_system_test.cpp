// Every error the setup tool can log, provoked in a whole install or
// uninstall run inside this process on Wine's real spooler, SCM, registry
// and files. Each fault is a layer over the real call (fake::Wrap and its
// users), so everything but the provoked fault really happens. Each run must count
// the error, show the log with the error's line, and still run every later
// step; faults in the uninstall half of an install still give the carried
// printer back with its settings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cwctype>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dispatch.h"
#include "platform/platform.h"
#include "sequences/sequences.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

using namespace productrun;

using fake::FailCalls;
using fake::FailWhen;

const wchar_t kOffice[] = L"Loomscribe Office";

// The spooler running again, whatever a test did to it.
void EnsureSpoolerRuns() {
  SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return;
  SC_HANDLE service = ::OpenServiceW(scm, L"spooler", SERVICE_START | SERVICE_QUERY_STATUS);
  if (service) {
    ::StartServiceW(service, 0, nullptr);
    SERVICE_STATUS status = {};
    for (int i = 0; i < 100 && ::QueryServiceStatus(service, &status) &&
                    status.dwCurrentState != SERVICE_RUNNING;
         ++i)
      ::Sleep(100);
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(scm);
}

enum Present : unsigned { kMonitor = 1, kDriver = 2, kPrinter = 4, kTray = 8,
                          kAll = kMonitor | kDriver | kPrinter | kTray };

struct Case {
  const char* name;
  int code;
  bool install;
  bool productFirst;        // the product with a carried printer is there before the run
  std::wstring message;     // the line begins with "Error(N): " and this
  std::vector<std::wstring> laterSteps;  // title lines that must follow the error line
  unsigned present;         // install only: what is there afterwards
  std::function<void(const std::wstring& product)> provoke;
};

const std::wstring kAddDriver = L">Add Printer Driver";
const std::wstring kAddOffice = L">AddPrinter(Loomscribe Office)";
const std::wstring kAddPlain = L">AddPrinter(Loomscribe)";
const std::wstring kDelDriver = L">DeletePrinterDriver for Windows x64";
const std::wstring kDelMonitor = L">DeleteMonitor";

// A removal of the driver that fails once makes the run restart the spooler.
void NeedARestart() {
  FailCalls<&Platform::DeletePrinterDriverExW>(1, 1, ERROR_PRINTER_DRIVER_IN_USE);
}

std::vector<Case> Cases() {
  const std::vector<std::wstring> afterSetUp = {L">UnInstall", L">DeleteAllPrinters", kDelDriver,
                                                kDelMonitor, kAddDriver, kAddOffice};
  const std::vector<std::wstring> afterDriverRemoval = {kDelMonitor, kAddDriver, kAddOffice};
  return {
      {"OpenScm", 1, true, true, L"Can't open service manager.", afterSetUp, kAll,
       [](const std::wstring&) {
         FailCalls<&Platform::OpenSCManagerW>(1, 1, ERROR_ACCESS_DENIED);
       }},
      {"OpenService", 2, true, true, L"Can't open the spooler", afterSetUp, kAll,
       [](const std::wstring&) {
         FailCalls<&Platform::OpenServiceW>(1, 1, ERROR_ACCESS_DENIED);
       }},
      {"NeverStops", 3, true, true, L"Can't stop the spooler", afterDriverRemoval, kAll,
       [](const std::wstring&) {
         NeedARestart();
         // The stop is accepted but never carried out.
         fake::Set<&Platform::ControlService>([](SC_HANDLE, DWORD, LPSERVICE_STATUS status) {
           if (status) *status = SERVICE_STATUS{};
           return TRUE;
         });
       }},
      {"NeverStarts", 4, true, true, L"Can't start the spooler", afterDriverRemoval, 0,
       [](const std::wstring&) {
         NeedARestart();
         fake::Set<&Platform::StartServiceW>([](SC_HANDLE, DWORD, LPCWSTR*) { return TRUE; });
       }},
      {"ControlFails", 5, true, true, L"ControlService failed with code 5 (0x5)",
       afterDriverRemoval, kAll,
       [](const std::wstring&) {
         NeedARestart();
         FailCalls<&Platform::ControlService>(1, 1, ERROR_ACCESS_DENIED);
       }},
      {"DriverDirectory", 6, true, true, L"Can`t retrieve printer driver directory.", afterSetUp,
       0,
       [](const std::wstring&) {
         FailCalls<&Platform::GetPrinterDriverDirectoryW>(1, 1000, ERROR_INVALID_ENVIRONMENT);
       }},
      // Without the system directory the run takes the monitor library by
      // its bare name, relative to the current directory: that directory is
      // a scratch one here.
      {"SystemDirectory", 7, true, true, L"Can`t retrieve system directory.", afterSetUp,
       kAll,
       [](const std::wstring& product) {
         ::CreateDirectoryW((product + L"\\cwd").c_str(), nullptr);
         ::SetCurrentDirectoryW((product + L"\\cwd").c_str());
         FailCalls<&Platform::GetSystemDirectoryW>(1, 1, ERROR_INVALID_PARAMETER);
       }},
      {"ShortWrite", 8, true, true, L"CopyFile(..,", {kAddOffice}, kMonitor | kTray,
       [](const std::wstring&) {
         // The run lock's mark and the check's scratch files (gone when
         // closed) are written first; a copy writes its "<name>.tmp".
         fake::ReportShortWriteInto([](LPCWSTR path, DWORD flags) {
           size_t n = path ? wcslen(path) : 0;
           // The kept copies of the installation come before any copy.
           return !(flags & FILE_FLAG_DELETE_ON_CLOSE) && n > 4 &&
                  _wcsicmp(path + n - 4, L".tmp") == 0 &&
                  !wcsstr(path, L"\\Loomscribe-previous\\");
         });
       }},
      {"DestinationLocked", 9, true, true, L"Cant't open destination file: ", {kAddOffice},
       kMonitor | kTray,
       [](const std::wstring&) {
         // The copy takes the destination's place by MoveFileExW.
         FailWhen<&Platform::MoveFileExW>(
             [](LPCWSTR, LPCWSTR to, DWORD) {
               std::wstring p = to ? to : L"";
               return p.size() > 11 && p.compare(p.size() - 11, 11, L"lmxui64.dll") == 0 &&
                      p.find(L"\\Loomscribe-previous\\") == std::wstring::npos;
             },
             ERROR_SHARING_VIOLATION);
       }},
      {"HelpMissing", 10, true, true, L"Cant't open source file: lmxhelp.chm", {kAddOffice},
       kMonitor | kTray,
       [](const std::wstring& product) {
         ASSERT_TRUE(::DeleteFileW((product + L"\\x64\\lmxhelp.chm").c_str()));
       }},
      {"AddMonitor", 11, true, false, L"Can`t install a local port monitor'Loomscribe:'",
       {kAddDriver, kAddPlain}, kDriver | kTray,
       [](const std::wstring&) {
         FailCalls<&Platform::AddMonitorW>(1, 1000, ERROR_ACCESS_DENIED);
       }},
      {"DeleteMonitor", 12, false, true, L"Can`t remove the port monitor 'Loomscribe:'", {}, 0,
       [](const std::wstring&) {
         FailCalls<&Platform::DeleteMonitorW>(1, 1000, ERROR_ACCESS_DENIED);
       }},
      {"AddDriver", 13, true, true, L"Can`t install a printer driver 'Loomscribe printer'",
       {kAddOffice}, kMonitor | kTray,
       [](const std::wstring&) {
         FailCalls<&Platform::AddPrinterDriverExW>(1, 1000, ERROR_ACCESS_DENIED);
       }},
      {"DeleteDriver", 14, true, true, L"Can`t remove the printer-driver 'Loomscribe printer'",
       {kDelMonitor, kAddDriver, kAddOffice}, kAll,
       [](const std::wstring&) {
         FailCalls<&Platform::DeletePrinterDriverExW>(1, 2, ERROR_PRINTER_DRIVER_IN_USE);
       }},
      {"AddPrinter", 15, true, true, L"Can`t add printer 'Loomscribe Office'", {},
       kMonitor | kDriver | kTray,
       [](const std::wstring&) {
         FailCalls<&Platform::AddPrinterW>(1, 1000, ERROR_ACCESS_DENIED);
       }},
      {"OpenPrinter", 16, true, true, L"Can`t open printer 'Loomscribe Office'",
       {kDelDriver, kDelMonitor, kAddDriver}, kAll,
       [](const std::wstring&) {
         // Only the opening for the deletion (the one asking for DELETE).
         FailWhen<&Platform::OpenPrinterW>(
             [](LPWSTR name, LPHANDLE, LPPRINTER_DEFAULTSW defaults) {
               return name && std::wstring(name) == kOffice && defaults &&
                      (defaults->DesiredAccess & DELETE);
             },
             ERROR_ACCESS_DENIED);
       }},
      {"DeletePrinter", 17, true, true, L"Can`t delete printer 'Loomscribe Office'",
       {kDelDriver, kDelMonitor, kAddDriver}, kAll,
       [](const std::wstring&) {
         FailCalls<&Platform::DeletePrinter>(1, 1000, ERROR_ACCESS_DENIED);
       }},
  };
}

std::wstring g_shownLog;
int g_shown = 0;

INT_PTR WINAPI CaptureDialog(HINSTANCE, LPCWSTR name, HWND, DLGPROC, LPARAM parameter) {
  ++g_shown;
  if (IS_INTRESOURCE(name) && reinterpret_cast<uintptr_t>(name) == 101 && parameter)
    g_shownLog = Text(reinterpret_cast<const InstallSession*>(parameter)->InstallLog);
  return IDOK;
}

std::wstring g_modulePath;
bool g_trayStarted = false;

std::wstring RunValue() {
  wchar_t value[1024] = {};
  DWORD bytes = sizeof(value) - sizeof(wchar_t);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, L"LoomscribeTray", RRF_RT_REG_SZ, nullptr, value,
                     &bytes) != ERROR_SUCCESS)
    return L"";
  return value;
}

class FaultMatrixSystemTest : public ::testing::TestWithParam<Case> {
 protected:
  static void CleanUp() {
    EnsureSpoolerRuns();
    QuitAnyTray();
    DeleteRunValue();
    winespool::RemoveAllProductState();
  }

  void SetUp() override {
    CleanUp();
    savedDefault = winespool::DefaultPrinter();
    product = testutil::ScratchDirectory(L"faults");
    ::CreateDirectoryW((product + L"\\x64").c_str(), nullptr);
    CopyFilesOf(testutil::ProductDirectory(), product);
    CopyFilesOf(testutil::ProductX64Directory(), product + L"\\x64");
    ASSERT_TRUE(testutil::FileExists(product + L"\\x64\\lmxhelp.chm"));
    g_modulePath = product + L"\\x64\\install.exe";
    wchar_t current[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    savedDirectory = current;
    g_shownLog.clear();
    g_shown = 0;

    if (GetParam().productFirst) {
      ASSERT_TRUE(winespool::InstallProductMonitor());
      ASSERT_TRUE(winespool::InstallProductDriver());
      ASSERT_TRUE(winespool::AddPrinterOn(kOffice, winespool::kDriver, winespool::kPort));
      Customise(kOffice, "lmx-office", L"second floor", L"room 12");
      ASSERT_TRUE(::SetDefaultPrinterW(kOffice));
    }

    seam.emplace(fake::Behind::RealWindows);
    fake::Set<&Platform::DialogBoxParamW>(&CaptureDialog);
    // The program's own file is the copy in the scratch product folder.
    fake::Wrap<&Platform::GetModuleFileNameW>(
        [](auto& real, HMODULE module, LPWSTR buffer, DWORD size) -> DWORD {
          if (module && module != ::GetModuleHandleW(nullptr)) return real(module, buffer, size);
          if (size == 0) return 0;
          size_t n = g_modulePath.size() < size - 1 ? g_modulePath.size() : size - 1;
          wmemcpy(buffer, g_modulePath.c_str(), n);
          buffer[n] = L'\0';
          return static_cast<DWORD>(n);
        });
    // Processes start for real; a start of the tray program is noted.
    g_trayStarted = false;
    fake::Wrap<&Platform::CreateProcessW>([](auto& real, LPCWSTR application, LPWSTR commandLine,
                                             auto... rest) {
      BOOL started = real(application, commandLine, rest...);
      std::wstring text = std::wstring(application ? application : L"") + L" " +
                          (commandLine ? commandLine : L"");
      if (started && text.find(L"lsbtray.exe") != std::wstring::npos) g_trayStarted = true;
      return started;
    });
  }

  void TearDown() override {
    seam.reset();
    if (!savedDirectory.empty()) ::SetCurrentDirectoryW(savedDirectory.c_str());
    CleanUp();
    if (!savedDefault.empty()) ::SetDefaultPrinterW(savedDefault.c_str());
  }

  std::wstring product;
  std::wstring savedDefault;
  std::wstring savedDirectory;
  std::optional<fake::FakePlatform> seam;  // the real calls, with the test's layers in front
};

TEST_P(FaultMatrixSystemTest, RunCountsTheErrorShowsItAndRunsEveryLaterStep) {
  const Case& c = GetParam();
  c.provoke(product);
  if (HasFatalFailure()) return;

  int exit = testutil::RunCommand({c.install ? L"install" : L"uninstall"});
  seam.reset();
  EnsureSpoolerRuns();

  EXPECT_EQ(exit, kExitErrors);
  EXPECT_EQ(g_shown, 1);
  std::vector<std::wstring> log = testutil::TrimmedLines(g_shownLog);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], L"Loomscribe 2070");
  const std::wstring head = L"Error(" + std::to_wstring(c.code) + L"): " + c.message;
  size_t at = log.size();
  for (size_t i = 0; i < log.size() && at == log.size(); ++i)
    if (log[i].compare(0, head.size(), head) == 0) at = i;
  ASSERT_LT(at, log.size()) << "no line for error " << c.code << " in\n" << g_shownLog;
  for (const std::wstring& step : c.laterSteps) {
    size_t found = at;
    while (found < log.size() && log[found] != step) ++found;
    EXPECT_LT(found, log.size()) << step << " missing in\n" << g_shownLog;
    if (found < log.size()) at = found;
  }

  if (!c.install) return;
  if (c.present & kMonitor) {
    EXPECT_TRUE(winespool::Contains(winespool::MonitorNames(), winespool::kPort));
  }
  if (c.present & kDriver) {
    EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
  }
  if (c.present & kTray) {
    EXPECT_EQ(RunValue(), product + L"\\lsbtray.exe");
    EXPECT_TRUE(g_trayStarted) << "the tray program was not started";
  }
  if (c.present & kPrinter) {
    const winespool::PrinterRow* office = nullptr;
    std::vector<winespool::PrinterRow> rows = winespool::Printers();
    for (const winespool::PrinterRow& row : rows)
      if (row.name == kOffice) office = &row;
    ASSERT_NE(office, nullptr) << "the carried printer is missing";
    EXPECT_EQ(office->comment, L"second floor");
    EXPECT_EQ(office->location, L"room 12");
    EXPECT_EQ(office->port, winespool::kPort);
    EXPECT_EQ(winespool::DefaultPrinter(), kOffice);
    EXPECT_EQ(SubKeyOf(kOffice, "DsUser"), "lmx-office");
  }
}

INSTANTIATE_TEST_SUITE_P(EveryCode, FaultMatrixSystemTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

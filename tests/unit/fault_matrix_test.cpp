// Every error the setup tool can log, provoked in a whole install or
// uninstall run on the in-memory Windows: the run survives, counts the error,
// shows its log with the error's line, ends with exit code 100, and every
// later step still runs. Faults in the uninstall half of an install still
// give the carried printers back with their settings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "carried_printers.h"
#include "dispatch.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

namespace {

using fake::FailCalls;
using fake::FailWhen;
using fake::World;

constexpr DWORD kAnyError = 0xFFFFFFFF;  // the line's system text is not checked

// Whether the run leaves the product in place afterwards.
enum Present : unsigned {
  kMonitor = 1,
  kDriver = 2,
  kPrinters = 4,  // the carried printers, with their settings
  kTray = 8,
  kAll = kMonitor | kDriver | kPrinters | kTray,
};

// A spooler restart is needed in a re-install when the first removal of
// the driver fails.
void NeedARestart() {
  FailCalls<&Platform::DeletePrinterDriverExW>(1, 1, ERROR_PRINTER_DRIVER_IN_USE);
}

struct Case {
  int code;
  bool install;     // RunInstall, else RunUninstall
  int faultStep;    // index of the step the fault lies in; later steps must run
  std::wstring message;  // the text behind "Error(N): "
  DWORD lastError;       // its system text follows; 0: nothing; kAnyError: not checked
  unsigned present;      // what the product holds afterwards (install only)
  std::function<void(World&)> provoke;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << (c.install ? "install" : "uninstall") << ", error " << c.code;
}

// The title lines of the steps, in the order the runs write them.
const std::vector<std::wstring> kInstallSteps = {
    L">Check Spooler",   L">ReInstall",   L">UnInstall",
    L">DeleteAllPrinters",
    L">DeletePrinterDriver for Windows x64",
    L">DeleteMonitor",   L">AddMonitor",  L">Add Printer Driver",
    L">AddPrinter(Office)",
};
const std::vector<std::wstring> kUninstallSteps = {
    L">Check Spooler", L">UnInstall", L">DeleteAllPrinters",
    L">DeletePrinterDriver for Windows x64", L">DeleteMonitor",
};
enum InstallStep { kCheck, kReinstall, kUninstallHalf, kDelPrinters, kDelDriver, kDelMonitor,
                   kAddMonitor, kAddDriver, kAddPrinters };

const std::wstring kDriverDir = L"C:\\windows\\system32\\spool\\drivers\\x64\\";

std::vector<Case> Cases() {
  return {
      {1, true, kCheck, L"Can't open service manager.", ERROR_ACCESS_DENIED, kAll,
       [](World&) { FailCalls<&Platform::OpenSCManagerW>(1, 1, ERROR_ACCESS_DENIED); }},
      {2, true, kCheck, L"Can't open the spooler", ERROR_SERVICE_DOES_NOT_EXIST, kAll,
       [](World&) { FailCalls<&Platform::OpenServiceW>(1, 1, ERROR_SERVICE_DOES_NOT_EXIST); }},
      {3, true, kDelDriver, L"Can't stop the spooler", kAnyError, kAll,
       [](World& w) {
         NeedARestart();
         w.spoolerRefusesStop = true;
       }},
      // The spooler stays down: what needs it afterwards fails as well.
      {4, true, kDelDriver, L"Can't start the spooler", kAnyError, 0,
       [](World& w) {
         NeedARestart();
         w.spoolerRefusesStart = true;
       }},
      {5, true, kDelDriver, L"ControlService failed with code 5 (0x5)", ERROR_ACCESS_DENIED, kAll,
       [](World&) {
         NeedARestart();
         FailCalls<&Platform::ControlService>(1, 1, ERROR_ACCESS_DENIED);
       }},
      {6, true, kCheck, L"Can`t retrieve printer driver directory.", ERROR_INVALID_ENVIRONMENT,
       kMonitor | kTray,
       [](World&) {
         FailCalls<&Platform::GetPrinterDriverDirectoryW>(1, 1000, ERROR_INVALID_ENVIRONMENT);
       }},
      {7, true, kCheck, L"Can`t retrieve system directory.", ERROR_INVALID_PARAMETER,
       kDriver | kTray,
       [](World&) { FailCalls<&Platform::GetSystemDirectoryW>(1, 1, ERROR_INVALID_PARAMETER); }},
      // The first copy of an install is the monitor library's.
      {8, true, kAddMonitor, L"CopyFile(..,C:\\windows\\system32\\lmxmon64.dll)", kAnyError,
       kDriver | kTray,
       [](World&) {
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
      {9, true, kAddDriver, L"Cant't open destination file: " + kDriverDir + L"lmxui64.dll",
       ERROR_SHARING_VIOLATION, kMonitor | kTray,
       [](World&) {
         // The copy is in place only when it has replaced the destination.
         FailWhen<&Platform::MoveFileExW>(
             [](LPCWSTR, LPCWSTR to, DWORD) {
               return to && World::Lower(to) == World::Lower(kDriverDir + L"lmxui64.dll");
             },
             ERROR_SHARING_VIOLATION);
       }},
      {10, true, kAddDriver, L"Cant't open source file: lmxhelp.chm", ERROR_FILE_NOT_FOUND,
       kMonitor | kTray,
       [](World& w) { w.RemoveFile(fake::WorldModuleDirectory() + L"lmxhelp.chm"); }},
      {11, true, kAddMonitor, L"Can`t install a local port monitor'Loomscribe:'",
       ERROR_ACCESS_DENIED, kDriver | kTray,
       [](World&) { FailCalls<&Platform::AddMonitorW>(1, 1000, ERROR_ACCESS_DENIED); }},
      {12, false, 4, L"Can`t remove the port monitor 'Loomscribe:'", ERROR_ACCESS_DENIED, 0,
       [](World&) { FailCalls<&Platform::DeleteMonitorW>(1, 1000, ERROR_ACCESS_DENIED); }},
      {12, true, kDelMonitor, L"Can`t remove the port monitor 'Loomscribe:'", kAnyError, kAll,
       [](World&) { FailCalls<&Platform::DeleteMonitorW>(1, 1000, ERROR_ACCESS_DENIED); }},
      {13, true, kAddDriver, L"Can`t install a printer driver 'Loomscribe printer'",
       ERROR_ACCESS_DENIED, kMonitor | kTray,
       [](World&) { FailCalls<&Platform::AddPrinterDriverExW>(1, 1000, ERROR_ACCESS_DENIED); }},
      {14, true, kDelDriver, L"Can`t remove the printer-driver 'Loomscribe printer'",
       ERROR_ACCESS_DENIED, kAll,
       [](World&) { FailCalls<&Platform::DeletePrinterDriverExW>(1, 2, ERROR_ACCESS_DENIED); }},
      {14, false, 3, L"Can`t remove the printer-driver 'Loomscribe printer'", ERROR_ACCESS_DENIED,
       0, [](World&) { FailCalls<&Platform::DeletePrinterDriverExW>(1, 2, ERROR_ACCESS_DENIED); }},
      {15, true, kAddPrinters, L"Can`t add printer 'Office'", ERROR_ACCESS_DENIED,
       kMonitor | kDriver | kTray,
       [](World&) { FailCalls<&Platform::AddPrinterW>(1, 1000, ERROR_ACCESS_DENIED); }},
      {16, true, kDelPrinters, L"Can`t open printer 'Office'", ERROR_ACCESS_DENIED, kAll,
       [](World&) {
         // Only the opening for the deletion (the one asking for DELETE).
         FailWhen<&Platform::OpenPrinterW>(
             [](LPWSTR name, LPHANDLE, LPPRINTER_DEFAULTSW defaults) {
               return name && std::wstring(name) == L"Office" && defaults &&
                      (defaults->DesiredAccess & DELETE);
             },
             ERROR_ACCESS_DENIED);
       }},
      {16, false, 2, L"Can`t open printer 'Office'", ERROR_ACCESS_DENIED, 0,
       [](World&) { FailCalls<&Platform::OpenPrinterW>(1, 1000, ERROR_ACCESS_DENIED); }},
      // Only Office stays; Lab is deleted and re-created.
      {17, true, kDelPrinters, L"Can`t delete printer 'Office'", ERROR_ACCESS_DENIED, kAll,
       [](World&) { FailCalls<&Platform::DeletePrinter>(1, 1, ERROR_ACCESS_DENIED); }},
      {17, false, 2, L"Can`t delete printer 'Office'", ERROR_ACCESS_DENIED, 0,
       [](World&) { FailCalls<&Platform::DeletePrinter>(1, 1000, ERROR_ACCESS_DENIED); }},
  };
}

bool IsErrorLine(const std::wstring& line, const Case& c) {
  const std::wstring head = L"Error(" + std::to_wstring(c.code) + L"): " + c.message;
  if (c.lastError == kAnyError)
    return line == head || (line.compare(0, head.size(), head) == 0 &&
                            line.compare(head.size(), 4, L" - (") == 0 && line.back() == L')');
  if (c.lastError == 0) return line == head;
  return line == head + L" - (" + testutil::SystemText(c.lastError) + L")";
}

class FaultMatrixTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    testmachine::OldProductWithTwoCarriedPrinters(world);

    // What the log window is given: the session's own log, at the moment it
    // is shown.
    fake::Wrap<&Platform::DialogBoxParamW>([this](auto& previous, HINSTANCE instance,
                                                  LPCWSTR name, HWND owner, DLGPROC procedure,
                                                  LPARAM parameter) {
      const auto* session = reinterpret_cast<const InstallSession*>(parameter);
      if (session) {
        sessionLog = Text(session->InstallLog);
        sessionErrors = session->ErrorCount;
      }
      return previous(instance, name, owner, procedure, parameter);
    });
  }

  int Run(bool install) {
    return testutil::RunCommand({install ? L"install" : L"uninstall"});
  }

  void ExpectPrinter(const std::wstring& name, const std::wstring& comment,
                     const std::wstring& location, const std::string& subKey) {
    fake::WorldPrinter* printer = world.FindPrinter(name);
    ASSERT_NE(printer, nullptr) << name;
    EXPECT_EQ(printer->comment, comment);
    EXPECT_EQ(printer->location, location);
    EXPECT_EQ(printer->port, L"Loomscribe:");
    EXPECT_EQ(printer->driver, L"Loomscribe printer");
    // The sub-key is stored under "DsUser" by a re-creation, and stays as
    // it was on a printer that was never deleted.
    std::string stored;
    for (const char* key : {"dsuser", ""}) {
      auto data = printer->data.find(key);
      if (data == printer->data.end()) continue;
      auto value = data->second.find("subkey");
      if (value != data->second.end()) stored = value->second.bytes;
    }
    EXPECT_EQ(stored, subKey + std::string(1, '\0')) << name;
  }

  fake::FakePlatform os;
  World world;
  std::wstring sessionLog;
  int sessionErrors = 0;
};

TEST_P(FaultMatrixTest, RunCountsTheErrorShowsItAndRunsEveryLaterStep) {
  const Case& c = GetParam();
  c.provoke(world);

  EXPECT_EQ(Run(c.install), kExitErrors);

  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_EQ(world.dialogs[0].templateId, 101);
  EXPECT_GE(sessionErrors, 1);
  // The window shows the session's log as it stood.
  EXPECT_EQ(world.dialogs[0].text, sessionLog);
  std::vector<std::wstring> log = testutil::TrimmedLines(sessionLog);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], L"Loomscribe 2070");

  size_t errorAt = log.size();
  for (size_t i = 0; i < log.size() && errorAt == log.size(); ++i)
    if (IsErrorLine(log[i], c)) errorAt = i;
  ASSERT_LT(errorAt, log.size()) << "no line for error " << c.code << " in\n" << sessionLog;

  // Each later step's title, in order, behind the error line.
  const std::vector<std::wstring>& steps = c.install ? kInstallSteps : kUninstallSteps;
  size_t at = errorAt;
  for (size_t s = static_cast<size_t>(c.faultStep) + 1; s < steps.size(); ++s) {
    size_t found = at;
    while (found < log.size() && log[found] != steps[s]) ++found;
    EXPECT_LT(found, log.size()) << "step " << steps[s] << " missing after error " << c.code
                                 << " in\n" << sessionLog;
    if (found < log.size()) at = found;
  }

  if (!c.install) return;
  if (c.present & kMonitor) {
    EXPECT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
  }
  if (c.present & kDriver) {
    EXPECT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
  }
  if (c.present & kTray) {
    EXPECT_TRUE(world.trayRunning);
    EXPECT_FALSE(world.RegString(World::kRunKey, "LoomscribeTray").empty());
  }
  if (c.present & kPrinters) {
    ExpectPrinter(L"Office", L"second floor", L"room 12", "s1");
    ExpectPrinter(L"Lab", L"bench", L"basement", "s2");
    EXPECT_EQ(world.defaultPrinter, L"Office");
    EXPECT_EQ(world.FindPrinter(L"Loomscribe"), nullptr);
  }
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.install ? "Install" : "Uninstall") + "Error" +
         std::to_string(info.param.code);
}

INSTANTIATE_TEST_SUITE_P(EveryCode, FaultMatrixTest, ::testing::ValuesIn(Cases()), CaseName);

}  // namespace

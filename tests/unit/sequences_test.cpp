// Whole install and uninstall runs against the in-memory Windows of
// fake_world: the order of the steps, the log at its depths, the files left
// for the restart of Windows, the log window and the results.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "dispatch.h"
#include "sequences/sequences.h"
#include "session/log_window.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::wstring kMonitorPath = L"C:\\windows\\system32\\lmxmon64.dll";
const std::wstring kTrayPath = L"C:\\Program Files\\Loomscribe\\lsbtray.exe";
const char kRunKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// The log text, split into lines.
// Whether `expected` occurs in `calls` in this order (other calls between).
bool InOrder(const std::vector<std::string>& calls, const std::vector<std::string>& expected) {
  size_t at = 0;
  for (const std::string& call : calls)
    if (at < expected.size() && call == expected[at]) ++at;
  return at == expected.size();
}

class SequencesTest : public ::testing::Test {
 protected:
  // The exit code of a command, as the dispatcher gives it.
  int Dispatch(const wchar_t* word) { return testutil::RunCommand({word}); }
  // The window shows the run's log; a test reads it there, after the run.
  std::vector<std::wstring> ShownLog() {
    EXPECT_EQ(world.dialogs.size(), 1u);
    return world.dialogs.empty() ? std::vector<std::wstring>() : testutil::SplitLines(world.dialogs[0].text);
  }
  // Shift makes every run show its log without touching the outcome.
  std::vector<std::wstring> LogOf(RunResult (*run)(HWND), RunResult* result = nullptr) {
    world.shiftDown = true;
    RunResult r = run(nullptr);
    world.shiftDown = false;
    if (result) *result = r;
    return ShownLog();
  }
  // The product, whose monitor library the spooler holds even after the
  // monitor's removal, and someone else holds for good.
  void HeldMonitorLibrary() {
    world.InstallProduct();
    world.monitorStaysLoadedAfterDelete = true;
    world.FindFile(kMonitorPath)->lockedForever = true;
  }
  fake::FakePlatform os;
  fake::World world;
};

// What the uninstall steps write on a machine without any part of the
// product, each line behind `indent`; `version` says what became of the
// monitor's version check.
std::vector<std::wstring> NothingToUninstall(const std::wstring& indent, const wchar_t* version) {
  std::vector<std::wstring> lines;
  for (const wchar_t* line : {
           L"EnumMonitors",
           L"1 Monitors found.",
           L"EnumPrinterDrivers for Windows x64",
           L"0 drivers found",
           L">DeleteAllPrinters",
           L">DeletePrinterDriver for Windows x64",
           L"  BTW, there is no printer drivers on this system.",
           L"  No Loomscribe driver was found",
           L">DeleteMonitor",
           L"  ------- 1 existing monitors ----------",
           L"  1. Local Port",
           L"  ---------------------------------------",
           L"  No Loomscribe port monitor was found.",
           L"  Computing monitor filename",
           L"  Auto calculated monitor file name: C:\\windows\\system32\\lmxmon64.dll",
           version,
           L"  Can't delete monitor and monitor was not found. So everything should be ok",
       })
    lines.push_back(indent + line);
  return lines;
}

std::vector<std::wstring> Joined(std::initializer_list<std::vector<std::wstring>> parts) {
  std::vector<std::wstring> all;
  for (const std::vector<std::wstring>& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The log of an install on a machine without any part of the product.
const std::vector<std::wstring> kCleanInstallLog = Joined({
    {L"Loomscribe 2070", L">Check Spooler", L">ReInstall", L"    >UnInstall"},
    NothingToUninstall(L"      ", L"  Version is unknown, proceed with reinstall"),
    {
        L"    >AddMonitor",
        L"      Copy monitor file",
        L"      >CopyFile lmxmon64.dll to C:\\windows\\system32\\ [0])",
        L"        Copy Succeeded :)",
        L"      AddMonitor - OK :)",
        L"    >Add Printer Driver",
        L"      >CopyFile lmxdrv64.dll to C:\\windows\\system32\\spool\\drivers\\x64\\ [1])",
        L"        Copy Succeeded :)",
        L"      >CopyFile lmxui64.dll to C:\\windows\\system32\\spool\\drivers\\x64\\ [1])",
        L"        Copy Succeeded :)",
        L"      >CopyFile lmxhelp.chm to C:\\windows\\system32\\spool\\drivers\\x64\\ [1])",
        L"        Copy Succeeded :)",
        L"      OK :)",
        L"    >AddPrinter(Loomscribe)",
        L"      Let's check our port monitors",
        L"      Port monitor is found",
        L"      OK :)",
    },
});

// The log of an uninstall of what that install left.
const std::vector<std::wstring> kUninstallLog = {
    L"Loomscribe 2070",
    L">Check Spooler",
    L">UnInstall",
    L"  EnumMonitors",
    L"  2 Monitors found.",
    L"  EnumPrinterDrivers for Windows x64",
    L"  1 drivers found",
    L"  >DeleteAllPrinters",
    L"    >DeletePrinter(Loomscribe)",
    L"      OK",
    L"  >DeletePrinterDriver for Windows x64",
    L"    ------------ 1 existing drivers-----------",
    L"    1. Loomscribe printer",
    L"    -------------------------------------------",
    L"    Driver is found. Index=1",
    L"    OK :)",
    L"  >DeleteMonitor",
    L"    ------- 2 existing monitors ----------",
    L"    1. Local Port",
    L"    2. Loomscribe:",
    L"    ---------------------------------------",
    L"    Port monitor is found. Index=2",
    L"    Trying to get monitor filename from MONITOR_INFO_2",
    L"    Auto calculated monitor file name: C:\\windows\\system32\\lmxmon64.dll",
    L"    There is no check for monitor version",
    L"    Monitor was removed :)",
};

TEST_F(SequencesTest, CleanInstallWritesTheWholeLogAndInstallsEverything) {
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_THAT(log, ElementsAreArray(kCleanInstallLog));
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);

  ASSERT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
  EXPECT_TRUE(world.HasFile(kMonitorPath));
  ASSERT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
  ASSERT_EQ(world.printers.size(), 1u);
  EXPECT_EQ(world.printers[0].name, L"Loomscribe");
  EXPECT_EQ(world.printers[0].port, L"Loomscribe:");
  EXPECT_EQ(world.RegString(kRunKey, "LoomscribeTray"), kTrayPath);
  EXPECT_TRUE(world.trayRunning);
  // The staged driver files went into the spooler's store and are gone.
  EXPECT_FALSE(world.HasFile(L"C:\\windows\\system32\\spool\\drivers\\x64\\lmxdrv64.dll"));
  EXPECT_TRUE(world.HasFile(L"C:\\windows\\system32\\spool\\drivers\\x64\\3\\lmxdrv64.dll"));
}

TEST_F(SequencesTest, InstallRunsSetUpUninstallHalfAndInstallHalfInOrder) {
  RunInstall(nullptr);
  EXPECT_TRUE(InOrder(fake::Calls(),
                      {"OpenSCManagerW", "GetPrinterDriverDirectoryW", "GetModuleFileNameW",
                       "GetSystemDirectoryW", "EnumPrintersW", "GetDefaultPrinterW", "CreateMutexA",
                       "EnumMonitorsW", "EnumPrinterDriversW", "DeleteMonitorW", "AddMonitorW",
                       "AddPrinterDriverExW", "AddPrinterW", "CreateProcessW", "GetAsyncKeyState"}))
      << ::testing::PrintToString(fake::Calls());
  // No error, no Shift: no window, nothing scheduled.
  EXPECT_TRUE(world.dialogs.empty());
  EXPECT_TRUE(world.bootDeletes.empty());
}

TEST_F(SequencesTest, UninstallAfterInstallWritesTheWholeLogAndLeavesNothing) {
  RunInstall(nullptr);
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunUninstall, &result);
  EXPECT_THAT(log, ElementsAreArray(kUninstallLog));
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);
  EXPECT_EQ(world.FindMonitor(L"Loomscribe:"), nullptr);
  EXPECT_FALSE(world.HasFile(kMonitorPath));
  EXPECT_TRUE(world.drivers.empty());
  EXPECT_TRUE(world.printers.empty());
  EXPECT_EQ(world.FindRegValue(kRunKey, "LoomscribeTray"), nullptr);
  EXPECT_FALSE(world.trayRunning);
  EXPECT_FALSE(world.HasFile(kTrayPath));
  // Uninstall sets no Reinstall and registers nothing.
  EXPECT_EQ(fake::CountCalls("AddMonitorW"), 1);
  EXPECT_EQ(fake::CountCalls("AddPrinterW"), 1);
}

TEST_F(SequencesTest, UninstallOnACleanMachineFindsNothingAndEndsWithTwo) {
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunUninstall, &result);
  EXPECT_THAT(log, ElementsAreArray(Joined({
                       {L"Loomscribe 2070", L">Check Spooler", L">UnInstall"},
                       NothingToUninstall(L"  ", L"  There is no check for monitor version"),
                   })));
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);
  // Nothing is registered, nothing started; the product folder stays whole.
  EXPECT_EQ(fake::CountCalls("AddMonitorW") + fake::CountCalls("AddPrinterW") +
                fake::CountCalls("CreateProcessW"),
            0);
  EXPECT_TRUE(world.HasFile(kTrayPath));
  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
}

TEST_F(SequencesTest, SecondInstallKeepsCompatibleMonitorAndReplacesDriverAndPrinter) {
  RunInstall(nullptr);
  fake::Calls().clear();
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_THAT(log, Contains(L"        Version (2070) is compatible, proceed without uninstall"));
  EXPECT_THAT(log, Contains(L"        InstallMonitor == 0, CopyMonitor == 1"));
  EXPECT_THAT(log, Not(Contains(L"    >AddMonitor")));
  EXPECT_EQ(fake::CountCalls("DeleteMonitorW"), 0);
  EXPECT_EQ(fake::CountCalls("AddMonitorW"), 0);
  EXPECT_EQ(fake::CountCalls("DeletePrinterDriverExW"), 1);
  EXPECT_EQ(fake::CountCalls("AddPrinterDriverExW"), 1);
  ASSERT_EQ(world.printers.size(), 1u);
  EXPECT_EQ(world.printers[0].name, L"Loomscribe");
  EXPECT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
  // The tray program was stopped and started again from its own file,
  // which the uninstall half must not take away.
  EXPECT_TRUE(world.HasFile(kTrayPath));
  EXPECT_TRUE(world.trayRunning);
  EXPECT_EQ(world.trayStarts, 2);
  EXPECT_EQ(world.RegString(kRunKey, "LoomscribeTray"), kTrayPath);
}

TEST_F(SequencesTest, ReinstallStillDeletesATrayProgramOfAnotherFolder) {
  world.InstallProduct();
  const std::wstring old = L"C:\\Old\\lsbtray.exe";
  world.AddFile(old, "tray");
  world.SetRegString(kRunKey, "LoomscribeTray", old);
  world.trayPath = old;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  EXPECT_FALSE(world.HasFile(old));
  EXPECT_TRUE(world.HasFile(kTrayPath));
  EXPECT_EQ(world.trayPath, kTrayPath);
  EXPECT_EQ(world.RegString(kRunKey, "LoomscribeTray"), kTrayPath);
}

TEST_F(SequencesTest, UninstallDeletesTheProductsOwnTrayProgram) {
  world.InstallProduct();
  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  EXPECT_FALSE(world.HasFile(kTrayPath));
  EXPECT_FALSE(world.trayRunning);
}

TEST_F(SequencesTest, InstallCarriesProductPrintersAcross) {
  world.InstallProduct();
  fake::WorldPrinter& a = world.AddProductPrinter(L"Office", "s1");
  a.comment = L"second floor";
  a.location = L"room 12";
  world.AddProductPrinter(L"Plain", "");  // no "SubKey": not carried
  world.defaultPrinter = L"Office";
  world.registry["hkcu\\software\\tamarel software kft\\loomscribe\\loomscribes\\s1"]["deleted"] =
      {REG_DWORD, std::string(4, '\1')};

  RunResult result = RunInstall(nullptr);
  EXPECT_FALSE(result.errorsCounted);
  ASSERT_EQ(world.printers.size(), 1u);
  const fake::WorldPrinter& office = world.printers[0];
  EXPECT_EQ(office.name, L"Office");
  EXPECT_EQ(office.comment, L"second floor");
  EXPECT_EQ(office.location, L"room 12");
  EXPECT_EQ(office.port, L"Loomscribe:");
  EXPECT_EQ(world.defaultPrinter, L"Office");
  EXPECT_EQ(office.data.at("dsuser").at("subkey").bytes, std::string("s1", 3));
  EXPECT_EQ(world.FindRegValue("HKCU\\Software\\Tamarel Software KFT\\Loomscribe\\Loomscribes\\s1",
                               "deleted"),
            nullptr);
}

TEST_F(SequencesTest, MonitorHeldByTheSpoolerGoesWithARestartOfTheSpooler) {
  world.InstallProduct();
  world.monitorStaysLoadedAfterDelete = true;
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunUninstall, &result);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);
  EXPECT_FALSE(world.HasFile(kMonitorPath));
  EXPECT_TRUE(world.spoolerRunning);
  // UnInstall's own pass fails at depth 1, FullUninstall's plain pass fails
  // at depth 0, and the pass with the spooler stopped deletes the file.
  ASSERT_GE(log.size(), 4u);
  EXPECT_THAT(std::vector<std::wstring>(log.end() - 4, log.end()),
              ElementsAreArray({L"  DeleteFile-try", L"DeleteFile-try", L">Restart Spooler",
                                L"DeleteFile-try"}));
  EXPECT_TRUE(InOrder(fake::Calls(), {"DeleteMonitorW", "DeleteFileW", "DeleteFileW",
                                      "ControlService", "DeleteFileW", "StartServiceW"}));
}

TEST_F(SequencesTest, FileThatStaysHeldIsScheduledForRestart) {
  HeldMonitorLibrary();
  EXPECT_EQ(Dispatch(L"uninstall"), kExitRestartNeeded);
  EXPECT_THAT(world.bootDeletes, ElementsAreArray({kMonitorPath}));
  EXPECT_TRUE(world.dialogs.empty());
  // Windows holds the deletion in the session manager's list.
  std::wstring pending =
      world.RegString(fake::World::kSessionManagerKey, "PendingFileRenameOperations");
  EXPECT_EQ(pending, L"\\??\\" + kMonitorPath);
}

TEST_F(SequencesTest, StagedFileTheInstallCannotDeleteIsScheduledAfterASpoolerRestart) {
  const std::wstring staged = L"C:\\windows\\system32\\spool\\drivers\\x64\\lmxhelp.chm";
  fake::FailWhen<&Platform::DeleteFileW>(
      [&](LPCWSTR path) { return fake::World::Lower(path) == fake::World::Lower(staged); },
      ERROR_ACCESS_DENIED);
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 1u);
  EXPECT_THAT(world.bootDeletes, ElementsAreArray({staged}));
  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_EQ(world.dialogs[0].title, L"Loomscribe build 2070- Install log.");
  // The install half's last passes stand at the depth of ReInstall's steps.
  ASSERT_GE(log.size(), 3u);
  EXPECT_THAT(std::vector<std::wstring>(log.end() - 3, log.end()),
              ElementsAreArray({L"    DeleteFile-try", L"    >Restart Spooler",
                                L"    DeleteFile-try"}));
  EXPECT_TRUE(world.spoolerRunning);
  EXPECT_TRUE(InOrder(fake::Calls(), {"CreateProcessW", "DeleteFileW", "ControlService",
                                      "DeleteFileW", "StartServiceW", "MoveFileExW"}));
}

TEST_F(SequencesTest, InstallBeforeTheRestartKeepsTheMonitorFileAnUninstallQueued) {
  HeldMonitorLibrary();
  ASSERT_EQ(Dispatch(L"uninstall"), kExitRestartNeeded);
  ASSERT_EQ(world.RegString(fake::World::kSessionManagerKey, "PendingFileRenameOperations"),
            L"\\??\\" + kMonitorPath);

  // The compatible file is registered again without a copy; the queued
  // deletion would take it away at the next boot.
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);
  EXPECT_THAT(log, Contains(L"      Skip copy monitor file"));
  EXPECT_THAT(log, Contains(L"    Kept from deletion at restart: \\??\\" + kMonitorPath));
  EXPECT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
  EXPECT_TRUE(world.HasFile(kMonitorPath));
  EXPECT_EQ(world.FindRegValue(fake::World::kSessionManagerKey, "PendingFileRenameOperations"),
            nullptr);
}

TEST_F(SequencesTest, InstallAfterTheQueuedMonitorFileCameFreeCopiesItAgain) {
  HeldMonitorLibrary();
  ASSERT_EQ(Dispatch(L"uninstall"), kExitRestartNeeded);
  // Whoever held it lets go before the install: the install carries out the
  // queued deletion of the very file it found compatible.
  world.FindFile(kMonitorPath)->lockedForever = false;
  world.lingeringModules.clear();

  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_THAT(log, Contains(L"      Copy monitor file"));
  EXPECT_THAT(log, Contains(L"      AddMonitor - OK :)"));
  EXPECT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
  EXPECT_TRUE(world.HasFile(kMonitorPath));
  EXPECT_EQ(world.FindRegValue(fake::World::kSessionManagerKey, "PendingFileRenameOperations"),
            nullptr);
}

TEST_F(SequencesTest, ErrorWithAFileLeftEndsWith100AndShowsTheErrorLog) {
  HeldMonitorLibrary();
  fake::FailNth<&Platform::OpenSCManagerW>(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Dispatch(L"un"), kExitErrors);
  EXPECT_EQ(world.bootDeletes.size(), 1u);
  std::vector<std::wstring> log = ShownLog();
  ASSERT_FALSE(world.dialogs.empty());
  EXPECT_EQ(world.dialogs[0].title, L"Loomscribe build 2070- Install error log!");
  EXPECT_THAT(log, Contains(L"  Error(1): Can't open service manager. - (" +
                            testutil::SystemText(ERROR_ACCESS_DENIED) + L")"));
}

TEST_F(SequencesTest, ShiftShowsTheLogOfAnErrorFreeRun) {
  world.shiftDown = true;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_EQ(world.dialogs[0].title, L"Loomscribe build 2070- Install log.");
  EXPECT_EQ(world.dialogs[0].templateId, 101);
  EXPECT_EQ(world.dialogs[0].owner, nullptr);
  EXPECT_THAT(testutil::SplitLines(world.dialogs[0].text), ElementsAreArray(kCleanInstallLog));
  // Shift is sampled once, at the end.
  EXPECT_EQ(fake::CountCalls("GetAsyncKeyState"), 1);
}

TEST_F(SequencesTest, ErrorShowsTheLogOwnedByTheParentWindowAndShiftIsNotAsked) {
  world.RemoveFile(fake::WorldModuleDirectory() + L"lmxhelp.chm");
  HWND parent = reinterpret_cast<HWND>(0x7A01);  // a window the world knows as live
  RunResult result = RunInstall(parent);
  EXPECT_TRUE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);
  ASSERT_EQ(world.dialogs.size(), 1u);
  const fake::WorldDialog& dialog = world.dialogs[0];
  EXPECT_EQ(dialog.owner, parent);
  EXPECT_EQ(dialog.instance, ProgramInstance());
  EXPECT_EQ(dialog.templateId, 101);
  EXPECT_EQ(dialog.title, L"Loomscribe build 2070- Install error log!");
  EXPECT_THAT(testutil::SplitLines(dialog.text),
              Contains(L"        Error(10): Cant't open source file: lmxhelp.chm - (" +
                       testutil::SystemText(ERROR_FILE_NOT_FOUND) + L")"));
  EXPECT_EQ(fake::CountCalls("GetAsyncKeyState"), 0);
  // The run still installed the driver without its help file.
  ASSERT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_EQ(world.FindDriver(L"Loomscribe printer")->helpFile, L"");
}

TEST_F(SequencesTest, InstallDropsWhatItsUninstallHalfCannotDeleteInsteadOfScheduling) {
  // An old monitor of another build whose file stays held: the install half
  // registers the new one; the old file must not be queued for the restart.
  world.InstallProduct(1000);
  world.monitors.back().dll = L"lmxold64.dll";
  world.AddFile(L"C:\\windows\\system32\\lmxold64.dll", "old", 1000);
  world.FindFile(L"C:\\windows\\system32\\lmxold64.dll")->lockedForever = true;
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);
  EXPECT_TRUE(world.bootDeletes.empty());
  EXPECT_THAT(log, Contains(L"        Version (1000) is not supported, proceed with reinstall"));
  auto restart = std::find(log.begin(), log.end(), L"    >Restart Spooler");
  ASSERT_NE(restart, log.end());
  EXPECT_EQ(*(restart - 1), L"      DeleteFile-try");
  EXPECT_EQ(*(restart + 1), L"    DeleteFile-try");
  EXPECT_EQ(*(restart + 2), L"    >AddMonitor");
  EXPECT_TRUE(world.spoolerRunning);
  EXPECT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
}

TEST_F(SequencesTest, QueuedDeletionsAreCarriedOutDuringTheRun) {
  world.AddFile(L"C:\\windows\\system32\\lmxui64.dll", "stale");
  std::wstring list = std::wstring(L"\\??\\C:\\windows\\system32\\lmxui64.dll") + L'\0' +
                      L'\0' + L'\0';
  world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))]
                ["pendingfilerenameoperations"] = {
      REG_MULTI_SZ, std::string(reinterpret_cast<const char*>(list.data()), list.size() * 2)};
  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  EXPECT_FALSE(world.HasFile(L"C:\\windows\\system32\\lmxui64.dll"));
}

TEST_F(SequencesTest, AConfigurationFileThatCannotBeStagedStopsTheDriverInstallation) {
  // The staged copy cannot take the place of the file in the driver
  // directory, which someone holds open.
  const std::wstring staged = L"C:\\windows\\system32\\spool\\drivers\\x64\\lmxui64.dll";
  fake::FailWhen<&Platform::MoveFileExW>(
      [&](LPCWSTR, LPCWSTR to, DWORD) {
        return to && fake::World::Lower(to) == fake::World::Lower(staged);
      },
      ERROR_SHARING_VIOLATION);
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_TRUE(result.errorsCounted);
  // The driver step ends at the failed copy: the help file is not staged and
  // no driver is added.
  auto step = std::find(log.begin(), log.end(), L"    >Add Printer Driver");
  ASSERT_LE(step + 7, log.end());
  EXPECT_THAT(std::vector<std::wstring>(step, step + 7),
              ElementsAreArray(std::vector<std::wstring>{
                  L"    >Add Printer Driver",
                  L"      >CopyFile lmxdrv64.dll to C:\\windows\\system32\\spool\\drivers\\x64\\ [1])",
                  L"        Copy Succeeded :)",
                  L"      >CopyFile lmxui64.dll to C:\\windows\\system32\\spool\\drivers\\x64\\ [1])",
                  L"        Error(9): Cant't open destination file: " + staged + L" - (" +
                      testutil::SystemText(ERROR_SHARING_VIOLATION) + L")",
                  L"        Copy Failed :(",
                  L"    >AddPrinter(Loomscribe)",
              }));
  EXPECT_EQ(fake::CountCalls("AddPrinterDriverExW"), 0);
  EXPECT_EQ(world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_FALSE(world.HasFile(L"C:\\windows\\system32\\spool\\drivers\\x64\\lmxhelp.chm"));
  EXPECT_EQ(Dispatch(L"install"), kExitErrors);
}

TEST_F(SequencesTest, PrintersMovedOffThePortStayOnFileWhenTheMonitorCannotBeRegistered) {
  // Another maker's printer on the product's port holds the old monitor: the
  // removal moves it to "file:". The new monitor is refused every time.
  world.InstallProduct(1000);
  fake::WorldDriver contoso;
  contoso.name = L"Contoso Plotter";
  contoso.environment = L"Windows x64";
  world.drivers.push_back(contoso);
  fake::WorldPrinter plotter;
  plotter.name = L"Plotter";
  plotter.port = L"Loomscribe:";
  plotter.driver = L"Contoso Plotter";
  world.printers.push_back(plotter);
  fake::FailFrom<&Platform::AddMonitorW>(1, ERROR_ACCESS_DENIED);
  RunResult result;
  std::vector<std::wstring> log = LogOf(&RunInstall, &result);
  EXPECT_TRUE(result.errorsCounted);
  EXPECT_THAT(log, Contains(L"        Can't delete monitor from the first try"));
  EXPECT_EQ(world.FindMonitor(L"Loomscribe:"), nullptr);
  // Without its monitor the port is gone: the printer stays on "file:", and
  // the error line ends the monitor step.
  ASSERT_NE(world.FindPrinter(L"Plotter"), nullptr);
  EXPECT_EQ(world.FindPrinter(L"Plotter")->port, L"file:");
  auto error = std::find(log.begin(), log.end(),
                         L"      Error(11): Can`t install a local port monitor'Loomscribe:' - (" +
                             testutil::SystemText(ERROR_ACCESS_DENIED) + L")");
  ASSERT_LT(error + 1, log.end());
  EXPECT_EQ(*(error - 1), L"      AddMonitor - failed. Trying to wait and install again");
  EXPECT_EQ(*(error + 1), L"    >Add Printer Driver");
}

}  // namespace

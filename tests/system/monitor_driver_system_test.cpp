// The port monitor and the printer driver installed and removed through the
// real seam on Wine's spooler, with the product's real component files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "files/files.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "printers/printers.h"
#include "session/session.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

using testutil::FileExists;
using testutil::LogLines;
using ::testing::Contains;
using ::testing::Not;

namespace {

const wchar_t kPrinter[] = L"Loomscribe monitor system test";

// The files of the installed driver, as the spooler names them.
std::vector<std::wstring> InstalledDriverFiles() {
  std::vector<std::wstring> files;
  wchar_t environment[] = L"Windows x64";
  DWORD needed = 0, count = 0;
  ::EnumPrinterDriversW(nullptr, environment, 3, nullptr, 0, &needed, &count);
  if (needed == 0) return files;
  std::vector<BYTE> block(needed);
  if (!::EnumPrinterDriversW(nullptr, environment, 3, block.data(), needed, &needed, &count)) return files;
  auto* records = reinterpret_cast<DRIVER_INFO_3W*>(block.data());
  for (DWORD i = 0; i < count; ++i) {
    if (!records[i].pName || std::wstring(records[i].pName) != L"Loomscribe printer") continue;
    for (LPWSTR p : {records[i].pDriverPath, records[i].pConfigFile, records[i].pHelpFile})
      if (p && *p) files.emplace_back(p);
  }
  return files;
}

std::wstring PortOf(const std::wstring& printer) {
  for (const winespool::PrinterRow& row : winespool::Printers())
    if (row.name == printer) return row.port;
  return L"(no such printer)";
}

class MonitorDriverSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winespool::RemoveAllProductState();
    BeginSession(session);
    SetPlatformFiles(session);
    TakeSessionDirectories(session);
    Assign(session.ModuleDirectory, (testutil::ProductX64Directory() + L"\\").c_str());
    monitorPath = winespool::SystemDirectoryPath() + L"lmxmon64.dll";
  }
  void TearDown() override {
    SetPlatform(&RealPlatform());
    for (PendingDelete* p = session.PendingDeletes.head; p; p = p->next)
      if (p->path) ::DeleteFileW(p->path);
    EndSession(session);
    winespool::RemoveAllProductState();
    EXPECT_FALSE(FileExists(monitorPath));
  }
  void RemoveMonitor() {
    MonitorList list;
    ListMonitors(list, session);
    RemovePortMonitor(session, list);
    FreeMonitorList(list);
  }

  InstallSession session;
  std::wstring monitorPath;
};

TEST_F(MonitorDriverSystemTest, InstallsListsAndRemovesMonitorAndDriver) {
  InstallPortMonitor(session);
  EXPECT_EQ(session.ErrorCount, 0) << Text(session.InstallLog);
  EXPECT_THAT(winespool::MonitorNames(), Contains(L"Loomscribe:"));
  EXPECT_TRUE(FileExists(monitorPath));

  InstallPrinterDriver(session);
  EXPECT_EQ(session.ErrorCount, 0) << Text(session.InstallLog);
  EXPECT_EQ(LogLines(session).back(), L"  OK :)");
  EXPECT_THAT(winespool::DriverNames(), Contains(L"Loomscribe printer"));
  const std::wstring staging = winespool::DriverDirectory();
  for (const wchar_t* f : {L"lmxdrv64.dll", L"lmxui64.dll", L"lmxhelp.chm"})
    EXPECT_FALSE(FileExists(staging + f)) << f;
  EXPECT_EQ(session.PendingDeletes.head, nullptr);
  std::vector<std::wstring> driverFiles = InstalledDriverFiles();
  ASSERT_EQ(driverFiles.size(), 3u);
  for (const std::wstring& f : driverFiles) EXPECT_TRUE(FileExists(f)) << f;

  // The lists the uninstall starts with find both.
  DriverList drivers;
  ListDrivers(drivers, session.Environment);
  EXPECT_GE(FindProductDriver(drivers), 0);
  RemovePrinterDriver(session, drivers);
  FreeDriverList(drivers);
  EXPECT_EQ(LogLines(session).back(), L"  OK :)");
  EXPECT_THAT(winespool::DriverNames(), Not(Contains(L"Loomscribe printer")));
  for (const std::wstring& f : driverFiles) EXPECT_FALSE(FileExists(f)) << f;

  RemoveMonitor();
  EXPECT_EQ(session.ErrorCount, 0) << Text(session.InstallLog);
  EXPECT_EQ(LogLines(session).back(), L"  Monitor was removed :)");
  EXPECT_THAT(winespool::MonitorNames(), Not(Contains(L"Loomscribe:")));
  EXPECT_FALSE(FileExists(monitorPath));
  EXPECT_EQ(session.PendingDeletes.head, nullptr);
}

// DeleteMonitorW refuses its first `deleteMonitorRefusals` calls; every other
// entry is Windows' own.
int deleteMonitorCalls = 0;
int deleteMonitorRefusals = 1;
std::wstring portAtSecondDeletion;
BOOL WINAPI DeleteMonitorRefusing(LPWSTR server, LPWSTR environment, LPWSTR name) {
  if (++deleteMonitorCalls == 2) portAtSecondDeletion = PortOf(kPrinter);
  if (deleteMonitorCalls <= deleteMonitorRefusals) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return RealPlatform().DeleteMonitorW(server, environment, name);
}

TEST_F(MonitorDriverSystemTest, PrinterMovesToFileAndBackWhenTheFirstDeletionFails) {
  InstallPortMonitor(session);
  InstallPrinterDriver(session);
  ASSERT_EQ(session.ErrorCount, 0) << Text(session.InstallLog);
  ASSERT_TRUE(winespool::AddPrinterOn(kPrinter, L"Loomscribe printer", L"Loomscribe:"));
  ASSERT_EQ(PortOf(kPrinter), L"Loomscribe:");
  ListPrinters(session.Printers);
  ASSERT_GT(session.Printers.count, 0u);

  // As the first half of an install, the monitor of this very build stays.
  session.Reinstall = 1;
  Release(session.InstallLog);
  RemoveMonitor();
  EXPECT_THAT(LogLines(session), Contains(L"  Version (2070) is compatible, proceed without uninstall"));
  EXPECT_EQ(LogLines(session).back(), L"  InstallMonitor == 0, CopyMonitor == 1");
  EXPECT_THAT(winespool::MonitorNames(), Contains(L"Loomscribe:"));
  EXPECT_EQ(PortOf(kPrinter), L"Loomscribe:");

  // A plain uninstall, with the spooler refusing the first deletion.
  session.Reinstall = 0;
  session.InstallMonitor = 1;
  Platform table = RealPlatform();
  table.DeleteMonitorW = &DeleteMonitorRefusing;
  deleteMonitorCalls = 0;
  deleteMonitorRefusals = 1;
  SetPlatform(&table);
  Release(session.InstallLog);
  RemoveMonitor();
  SetPlatform(&RealPlatform());

  std::vector<std::wstring> lines = LogLines(session);
  EXPECT_THAT(lines, Contains(L"  Can't delete monitor from the first try"));
  EXPECT_THAT(lines, Contains(std::wstring(L"  SetPrinter(") + kPrinter + L") - ok"));
  EXPECT_EQ(lines.back(), L"  Monitor was removed :)");
  EXPECT_EQ(deleteMonitorCalls, 2);
  EXPECT_EQ(portAtSecondDeletion, L"file:");
  EXPECT_EQ(PortOf(kPrinter), L"file:");
  EXPECT_THAT(winespool::MonitorNames(), Not(Contains(L"Loomscribe:")));
  ASSERT_NE(session.RedirectedPorts, nullptr);
  EXPECT_EQ(std::wstring(session.RedirectedPorts[0]->pPrinterName), kPrinter);
  EXPECT_EQ(session.InstallMonitor, 1);

  Release(session.InstallLog);
  InstallPortMonitor(session);
  EXPECT_THAT(LogLines(session), Contains(std::wstring(L"  SetPrinter(") + kPrinter + L") - ok"));
  EXPECT_EQ(session.ErrorCount, 0) << Text(session.InstallLog);
  EXPECT_THAT(winespool::MonitorNames(), Contains(L"Loomscribe:"));
  EXPECT_EQ(PortOf(kPrinter), L"Loomscribe:");
}

TEST_F(MonitorDriverSystemTest, ThirdDeletionFollowsARealSpoolerRestart) {
  InstallPortMonitor(session);
  ASSERT_EQ(session.ErrorCount, 0) << Text(session.InstallLog);
  Platform table = RealPlatform();
  table.DeleteMonitorW = &DeleteMonitorRefusing;
  deleteMonitorCalls = 0;
  deleteMonitorRefusals = 2;
  SetPlatform(&table);
  Release(session.InstallLog);
  RemoveMonitor();
  SetPlatform(&RealPlatform());
  std::vector<std::wstring> lines = LogLines(session);
  EXPECT_THAT(lines, Contains(L"  >Restart Spooler"));
  EXPECT_EQ(lines.back(), L"  Monitor was removed :)");
  EXPECT_EQ(deleteMonitorCalls, 3);
  EXPECT_EQ(session.ErrorCount, 0) << Text(session.InstallLog);
  EXPECT_THAT(winespool::MonitorNames(), Not(Contains(L"Loomscribe:")));
  EXPECT_FALSE(FileExists(monitorPath));
}

}  // namespace

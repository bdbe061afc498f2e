#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/test_util.h"
#include "unit/monitor_driver_fakes.h"

using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::wstring kMonitorPath = std::wstring(mdfake::kSystemDir) + L"lmxmon64.dll";

class MonitorRemoveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    Assign(session.SystemDirectory, mdfake::kSystemDir);
    session.Environment = L"Windows x64";
    session.MonitorFile = L"lmxmon64.dll";
    files.files[kMonitorPath] = "MZ monitor";
    files.Install();
    service.Install();
    printers.Install();
    mdfake::AnswerEnumMonitors(&monitors);
    fake::Set<&Platform::DeleteMonitorW>([this](LPWSTR server, LPWSTR env, LPWSTR name) -> BOOL {
      deleteArgs.push_back(std::wstring(server ? L"server" : L"") + L"|" + env + L"|" + name);
      if (refusals-- > 0) return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
      return TRUE;
    });
    SetBuild(-1);
  }
  void TearDown() override {
    FreeMonitorList(list);
    EndSession(session);
  }

  // The monitor file's product version is a.b.c.`build` (-1: no version resource).
  void SetBuild(int build) {
    fake::Set<&Platform::GetFileVersionInfoSizeW>([this, build](LPCWSTR path, LPDWORD handle) -> DWORD {
      versionPaths.push_back(path);
      if (handle) *handle = 0;
      if (build < 0) return ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND), 0;
      return sizeof(VS_FIXEDFILEINFO) + 64;
    });
    fake::Set<&Platform::GetFileVersionInfoW>([build](LPCWSTR, DWORD, DWORD size, LPVOID data) -> BOOL {
      if (size < sizeof(VS_FIXEDFILEINFO)) return FALSE;
      VS_FIXEDFILEINFO info = {};
      info.dwSignature = 0xFEEF04BD;
      info.dwProductVersionMS = MAKELONG(0, 1);
      info.dwProductVersionLS = MAKELONG(build, 7);
      std::memcpy(data, &info, sizeof(info));
      return TRUE;
    });
    fake::Set<&Platform::VerQueryValueW>([](LPCVOID block, LPCWSTR sub, LPVOID* out, PUINT bytes) -> BOOL {
      if (std::wstring(sub) != L"\\") return FALSE;
      *out = const_cast<LPVOID>(block);
      *bytes = sizeof(VS_FIXEDFILEINFO);
      return TRUE;
    });
  }

  void Run() {
    ListMonitors(list, session);
    Release(session.InstallLog);  // only the removal's own lines
    RemovePortMonitor(session, list);
  }

  fake::FakePlatform os;
  InstallSession session;
  mdfake::Files files;
  mdfake::SpoolerService service;
  mdfake::SpoolerPrinters printers;
  std::vector<mdfake::MonitorEntry> monitors;
  MonitorList list;
  int refusals = 0;
  std::vector<std::wstring> deleteArgs;
  std::vector<std::wstring> versionPaths;
};

const std::vector<mdfake::MonitorEntry> kThreeMonitors = {
    {L"Local Port", L"Windows NT x86", L"localspl.dll"},
    {L"Standard TCP/IP Port", L"Windows NT x86", L"tcpmon.dll"},
    {L"Loomscribe:", L"Windows NT x86", L"lmxmon64.dll"},
};

std::vector<std::wstring> ListedMonitorLines() {
  return {L">DeleteMonitor",
          L"  ------- 3 existing monitors ----------",
          L"  1. Local Port",
          L"  2. Standard TCP/IP Port",
          L"  3. Loomscribe:",
          L"  ---------------------------------------",
          L"  Port monitor is found. Index=3",
          L"  Trying to get monitor filename from MONITOR_INFO_2",
          L"  Auto calculated monitor file name: " + kMonitorPath};
}

std::vector<std::wstring> Concat(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(MonitorRemoveTest, UninstallWithoutMonitorFailsQuietly) {
  refusals = 1;
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">DeleteMonitor", L"  BTW, there is no port monitors on this system.",
                          L"  No Loomscribe port monitor was found.", L"  Computing monitor filename",
                          L"  Auto calculated monitor file name: " + kMonitorPath,
                          L"  There is no check for monitor version",
                          L"  Can't delete monitor and monitor was not found. So everything should be ok"));
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_THAT(deleteArgs, ElementsAre(L"|Windows x64|Loomscribe:"));
  EXPECT_TRUE(versionPaths.empty());
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
  EXPECT_TRUE(files.files.count(kMonitorPath));
}

TEST_F(MonitorRemoveTest, DeletedAtFirstTryTakesTheRegisteredFile) {
  monitors = kThreeMonitors;
  monitors[2].dll = L"lmxmonold.dll";
  const std::wstring oldPath = std::wstring(mdfake::kSystemDir) + L"lmxmonold.dll";
  files.files[oldPath] = "MZ";
  Run();
  std::vector<std::wstring> expected = ListedMonitorLines();
  expected.back() = L"  Auto calculated monitor file name: " + oldPath;
  expected.push_back(L"  There is no check for monitor version");
  expected.push_back(L"  Monitor was removed :)");
  EXPECT_THAT(LogLines(session), ElementsAreArray(expected));
  EXPECT_FALSE(files.files.count(oldPath));
  EXPECT_TRUE(files.files.count(kMonitorPath));
  EXPECT_EQ(session.PendingDeletes, nullptr);
  EXPECT_EQ(session.RedirectedPorts, nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, HeldMonitorFileIsListedForLater) {
  monitors = kThreeMonitors;
  files.undeletable.insert(kMonitorPath);
  Run();
  EXPECT_EQ(LogLines(session).back(), L"  Monitor was removed :)");
  ASSERT_NE(session.PendingDeletes, nullptr);
  EXPECT_EQ(std::wstring(session.PendingDeletes->path), kMonitorPath);
  EXPECT_EQ(session.PendingDeletes->next, nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, RefusedOnceMovesPrintersToFileAndRetries) {
  monitors = kThreeMonitors;
  session.Printers = mdfake::MakePrinters({{L"Ours", L"Loomscribe:"},
                                           {L"Laser", L"LPT1:"},
                                           {L"Both", L"LPT2:,Loomscribe:"},
                                           {L"Gone", L"Loomscribe:"},
                                           {L"Stuck", L"Loomscribe:"}});
  printers.ports = {{L"Ours", L"Loomscribe:"}, {L"Laser", L"LPT1:"},
                    {L"Both", L"LPT2:,Loomscribe:"}, {L"Stuck", L"Loomscribe:"}};
  printers.refuseSet = {L"Stuck"};
  refusals = 1;
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Concat(ListedMonitorLines(),
                                      {L"  There is no check for monitor version",
                                       L"  Can't delete monitor from the first try",
                                       L"  SetPrinter(Ours) - ok", L"  SetPrinter(Both) - ok",
                                       L"  Can't open printer Gone", L"  SetPrinter(Stuck) - failed",
                                       L"  Monitor was removed :)"})));
  EXPECT_EQ(deleteArgs.size(), 2u);
  EXPECT_EQ(service.stops, 0);
  EXPECT_EQ(printers.ports[L"Ours"], L"file:");
  EXPECT_EQ(printers.ports[L"Both"], L"LPT2:,file:");
  EXPECT_EQ(printers.ports[L"Laser"], L"LPT1:");
  // The listed records, in snapshot order, with their texts shortened in place.
  PRINTER_INFO_2W* p = session.Printers.buffer;
  ASSERT_NE(session.RedirectedPorts, nullptr);
  EXPECT_EQ(session.RedirectedPorts[0], &p[0]);
  EXPECT_EQ(session.RedirectedPorts[1], &p[2]);
  EXPECT_EQ(session.RedirectedPorts[2], &p[3]);
  EXPECT_EQ(session.RedirectedPorts[3], &p[4]);
  EXPECT_EQ(session.RedirectedPorts[4], nullptr);
  EXPECT_EQ(std::wstring(p[2].pPortName), L"LPT2:,file:");
  EXPECT_EQ(std::wstring(p[3].pPrinterName), L"Gone");
  EXPECT_FALSE(files.files.count(kMonitorPath));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, RefusedTwiceRestartsTheSpoolerBeforeTheThirdTry) {
  monitors = kThreeMonitors;
  refusals = 2;
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Concat(ListedMonitorLines(),
                                      {L"  There is no check for monitor version",
                                       L"  Can't delete monitor from the first try",
                                       L"  >Restart Spooler", L"  Monitor was removed :)"})));
  EXPECT_THAT(fake::CallsAmong({"DeleteMonitorW", "ControlService", "StartServiceW", "DeleteFileW"}),
              ElementsAre("DeleteMonitorW", "DeleteMonitorW", "ControlService", "StartServiceW",
                          "DeleteMonitorW", "DeleteFileW"));
  EXPECT_TRUE(service.running);
  // No printers in the snapshot: no list is made.
  EXPECT_EQ(session.RedirectedPorts, nullptr);
  EXPECT_EQ(fake::CountCalls("OpenPrinterW"), 0);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, RefusedThreeTimesIsErrorTwelveKeepsTheFileAndPutsThePrintersBack) {
  monitors = kThreeMonitors;
  session.Printers = mdfake::MakePrinters({{L"Ours", L"Loomscribe:"}});
  printers.ports = {{L"Ours", L"Loomscribe:"}};
  refusals = 3;
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Concat(
                  ListedMonitorLines(),
                  {L"  There is no check for monitor version", L"  Can't delete monitor from the first try",
                   L"  SetPrinter(Ours) - ok", L"  >Restart Spooler",
                   L"  Error(12): Can`t remove the port monitor 'Loomscribe:' - (" +
                       testutil::SystemText(ERROR_ACCESS_DENIED) + L")",
                   L"  SetPrinter(Ours) - ok"})));
  EXPECT_EQ(deleteArgs.size(), 3u);
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_TRUE(files.files.count(kMonitorPath));
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
  // The monitor and its port stay: the printer is back on it at once, and
  // the list of moves is used up.
  EXPECT_EQ(printers.ports[L"Ours"], L"Loomscribe:");
  EXPECT_EQ(session.RedirectedPorts, nullptr);
}

struct BuildCase {
  int build;
  bool found;
  std::vector<std::wstring> lines;  // after the file name line
  bool keeps;
  uint8_t installMonitor, copyMonitor;
};

TEST_F(MonitorRemoveTest, ReinstallKeepsOnlyCompatibleBuilds) {
  const BuildCase cases[] = {
      {1213, true, {L"  Version (1213) is not supported, proceed with reinstall"}, false, 1, 1},
      {1214, true,
       {L"  Version (1214) is compatible, proceed without uninstall",
        L"  InstallMonitor == 0, CopyMonitor == 1"},
       true, 0, 1},
      {2070, true,
       {L"  Version (2070) is compatible, proceed without uninstall",
        L"  InstallMonitor == 0, CopyMonitor == 1"},
       true, 0, 1},
      {2071, true, {L"  Version (2071) is not supported, proceed with reinstall"}, false, 1, 1},
      {-1, true, {L"  Version is unknown, proceed with reinstall"}, false, 1, 1},
      {2070, false,
       {L"  Version (2070) is compatible, proceed without uninstall",
        L"  InstallMonitor == 1, CopyMonitor == 0"},
       true, 1, 0},
  };
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.build);
    EndSession(session);
    BeginSession(session);
    Assign(session.SystemDirectory, mdfake::kSystemDir);
    session.Environment = L"Windows x64";
    session.MonitorFile = L"lmxmon64.dll";
    session.Reinstall = 1;
    files.files[kMonitorPath] = "MZ";
    deleteArgs.clear();
    versionPaths.clear();
    monitors = c.found ? kThreeMonitors : std::vector<mdfake::MonitorEntry>{};
    FreeMonitorList(list);
    SetBuild(c.build);
    Run();
    std::vector<std::wstring> lines = LogLines(session);
    size_t at = c.found ? ListedMonitorLines().size() : 5;
    ASSERT_GE(lines.size(), at + c.lines.size());
    EXPECT_EQ(lines[at - 1], L"  Auto calculated monitor file name: " + kMonitorPath);
    for (size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(lines[at + i], c.lines[i]);
    EXPECT_THAT(versionPaths, ElementsAre(kMonitorPath));
    EXPECT_EQ(session.InstallMonitor, c.installMonitor);
    EXPECT_EQ(session.CopyMonitor, c.copyMonitor);
    if (c.keeps) {
      EXPECT_EQ(lines.size(), at + c.lines.size());
      EXPECT_TRUE(deleteArgs.empty());
      EXPECT_TRUE(files.files.count(kMonitorPath));
    } else {
      EXPECT_EQ(lines.back(), L"  Monitor was removed :)");
      EXPECT_EQ(deleteArgs.size(), 1u);
      EXPECT_FALSE(files.files.count(kMonitorPath));
    }
  }
}

TEST_F(MonitorRemoveTest, FoundMonitorWithoutFileNameDeletesNoFile) {
  monitors = kThreeMonitors;
  monitors[2].dll = nullptr;
  session.Reinstall = 1;
  SetBuild(2070);  // would be compatible, but there is no file to ask
  Run();
  std::vector<std::wstring> expected = ListedMonitorLines();
  expected.back() = L"  Auto calculated monitor file name: " + std::wstring(mdfake::kSystemDir);
  expected.push_back(L"  Version is unknown, proceed with reinstall");
  expected.push_back(L"  Monitor was removed :)");
  EXPECT_THAT(LogLines(session), ElementsAreArray(expected));
  EXPECT_TRUE(versionPaths.empty());
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
  EXPECT_EQ(session.PendingDeletes, nullptr);
  EXPECT_EQ(session.InstallMonitor, 1);
}

TEST_F(MonitorRemoveTest, NoSystemDirectoryMeansNoRelativeFileDeletion) {
  Release(session.SystemDirectory);
  monitors = kThreeMonitors;
  Run();
  std::vector<std::wstring> lines = LogLines(session);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[8], L"  Auto calculated monitor file name: lmxmon64.dll");
  EXPECT_EQ(lines.back(), L"  Monitor was removed :)");
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
}

TEST_F(MonitorRemoveTest, WithoutMemoryForTheListNoPrinterIsMoved) {
  monitors = kThreeMonitors;
  printers.ports = {{L"Ours", L"Loomscribe:"}};
  // The list itself, then the record of the rewrites.
  for (int failing : {1, 2}) {
    SCOPED_TRACE(failing);
    session.Printers = mdfake::MakePrinters({{L"Ours", L"Loomscribe:"}});
    FreeMonitorList(list);
    ListMonitors(list, session);
    Release(session.InstallLog);
    refusals = 1;
    deleteArgs.clear();
    fake::FailNth<&Platform::GlobalAlloc>(failing, ERROR_NOT_ENOUGH_MEMORY);
    RemovePortMonitor(session, list);
    EXPECT_EQ(session.RedirectedPorts, nullptr);
    EXPECT_EQ(std::wstring(session.Printers.buffer[0].pPortName), L"Loomscribe:");
    EXPECT_EQ(fake::CountCalls("OpenPrinterW"), 0);
    EXPECT_EQ(deleteArgs.size(), 2u);
    EXPECT_EQ(LogLines(session).back(), L"  Monitor was removed :)");
    ::GlobalFree(session.Printers.buffer);
    session.Printers = {};
    files.files[kMonitorPath] = "MZ";
  }
}

TEST(FileBuildNumberTest, ReadsTheFourthPartOfTheProductVersion) {
  fake::FakePlatform os;
  VS_FIXEDFILEINFO info = {};
  info.dwProductVersionLS = MAKELONG(65535, 3);
  info.dwFileVersionLS = MAKELONG(12, 3);  // the file version is not the one read
  UINT reported = sizeof(info);
  fake::Set<&Platform::GetFileVersionInfoSizeW>([](LPCWSTR, LPDWORD) -> DWORD { return 100; });
  fake::Set<&Platform::GetFileVersionInfoW>([](LPCWSTR, DWORD, DWORD size, LPVOID) { return size == 100; });
  fake::Set<&Platform::VerQueryValueW>([&](LPCVOID, LPCWSTR sub, LPVOID* out, PUINT bytes) -> BOOL {
    *out = &info;
    *bytes = reported;
    return std::wstring(sub) == L"\\";
  });
  EXPECT_EQ(FileBuildNumber(L"C:\\x.dll"), 65535);
  reported = sizeof(info) - 4;  // a truncated fixed part is no version
  EXPECT_EQ(FileBuildNumber(L"C:\\x.dll"), -1);
  reported = sizeof(info);
  fake::FailNth<&Platform::VerQueryValueW>(1, ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(FileBuildNumber(L"C:\\x.dll"), -1);
  fake::FailNth<&Platform::GetFileVersionInfoW>(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(FileBuildNumber(L"C:\\x.dll"), -1);
  EXPECT_EQ(fake::CountCalls("VerQueryValueW"), 3);
}

}  // namespace

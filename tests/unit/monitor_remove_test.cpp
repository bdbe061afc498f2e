#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/version_resource.h"
#include "monitor/monitor.h"
#include "session/session.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::wstring kSystemDir = fake::WorldSystemDirectory();
const std::wstring kMonitorPath = kSystemDir + L"lmxmon64.dll";

const std::vector<fake::WorldMonitor> kThreeMonitors = {
    {L"Local Port", L"Windows NT x86", L"localspl.dll"},
    {L"Standard TCP/IP Port", L"Windows NT x86", L"tcpmon.dll"},
    {L"Loomscribe:", L"Windows NT x86", L"lmxmon64.dll"},
};

class MonitorRemoveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The spooler refuses the first `refusals` deletions; every one is recorded.
    fake::Wrap<&Platform::DeleteMonitorW>(
        [this](auto& previous, LPWSTR server, LPWSTR env, LPWSTR name) -> BOOL {
          deleteArgs.push_back(std::wstring(server ? L"server" : L"") + L"|" + env + L"|" + name);
          if (refusals-- > 0) return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
          return previous(server, env, name);
        });
    fake::Wrap<&Platform::GetFileVersionInfoSizeW>(
        [this](auto& previous, LPCWSTR path, LPDWORD handle) {
          versionPaths.push_back(path);
          return previous(path, handle);
        });
    Begin(-1);
  }
  void TearDown() override {
    FreeMonitorList(list);
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }

  // A new session over a machine whose monitor file has the product build
  // `build` (-1: no version resource).
  void Begin(int build) {
    BeginSession(session);
    Assign(session.SystemDirectory, kSystemDir.c_str());
    session.Environment = L"Windows x64";
    session.MonitorFile = L"lmxmon64.dll";
    world.AddFile(kMonitorPath, "MZ monitor", build);
    world.monitors.clear();
    deleteArgs.clear();
    versionPaths.clear();
  }

  // Printers of the snapshot, by name and port; the spooler knows `known` of them.
  void Snapshot(const std::vector<std::pair<std::wstring, std::wstring>>& printers,
                const std::vector<std::wstring>& known) {
    session.Printers.buffer = fake::PackNamesAndPorts(printers);
    session.Printers.count = static_cast<uint32_t>(printers.size());
    for (const auto& p : printers)
      if (std::count(known.begin(), known.end(), p.first))
        world.AddProductPrinter(p.first, "").port = p.second;
  }

  void Run() {
    ListMonitors(list, session);
    Release(session.InstallLog);  // only the removal's own lines
    RemovePortMonitor(session, list);
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  MonitorList list;
  int refusals = 0;
  std::vector<std::wstring> deleteArgs;
  std::vector<std::wstring> versionPaths;
};

// The listing and the found monitor, whose file is `file`.
std::vector<std::wstring> ListedMonitorLines(const std::wstring& file = kMonitorPath) {
  return {L">DeleteMonitor",
          L"  ------- 3 existing monitors ----------",
          L"  1. Local Port",
          L"  2. Standard TCP/IP Port",
          L"  3. Loomscribe:",
          L"  ---------------------------------------",
          L"  Port monitor is found. Index=3",
          L"  Trying to get monitor filename from MONITOR_INFO_2",
          L"  Auto calculated monitor file name: " + file};
}

std::vector<std::wstring> Concat(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(MonitorRemoveTest, UninstallWithoutMonitorFailsQuietly) {
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
  EXPECT_TRUE(world.HasFile(kMonitorPath));
}

TEST_F(MonitorRemoveTest, DeletedAtFirstTryTakesTheRegisteredFile) {
  world.monitors = kThreeMonitors;
  world.monitors[2].dll = L"lmxmonold.dll";
  const std::wstring oldPath = kSystemDir + L"lmxmonold.dll";
  world.AddFile(oldPath, "MZ");
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Concat(ListedMonitorLines(oldPath),
                                      {L"  There is no check for monitor version",
                                       L"  Monitor was removed :)"})));
  EXPECT_FALSE(world.HasFile(oldPath));
  EXPECT_TRUE(world.HasFile(kMonitorPath));
  EXPECT_EQ(session.PendingDeletes.head, nullptr);
  EXPECT_EQ(session.RedirectedPorts, nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, HeldMonitorFileIsListedForLater) {
  world.monitors = kThreeMonitors;
  world.monitorStaysLoadedAfterDelete = true;
  Run();
  EXPECT_EQ(LogLines(session).back(), L"  Monitor was removed :)");
  ASSERT_NE(session.PendingDeletes.head, nullptr);
  EXPECT_EQ(std::wstring(session.PendingDeletes.head->path), kMonitorPath);
  EXPECT_EQ(session.PendingDeletes.head->next, nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, RefusedOnceMovesPrintersToFileAndRetries) {
  world.monitors = kThreeMonitors;
  world.extraPorts.push_back(L"LPT2:");
  // Printers on the monitor's port make the spooler refuse the first try.
  // "Gone" is no more; "Stuck" refuses the change, and someone else has
  // already moved it off the monitor, so the second try finds it unused.
  Snapshot({{L"Ours", L"Loomscribe:"},
            {L"Laser", L"LPT1:"},
            {L"Both", L"LPT2:,Loomscribe:"},
            {L"Gone", L"Loomscribe:"},
            {L"Stuck", L"Loomscribe:"}},
           {L"Ours", L"Laser", L"Both", L"Stuck"});
  world.FindPrinter(L"Stuck")->port = L"COM1:";
  fake::FailWhen<&Platform::SetPrinterW>(
      [](HANDLE, DWORD, LPBYTE info, DWORD) {
        return std::wstring(reinterpret_cast<PRINTER_INFO_2W*>(info)->pPrinterName) == L"Stuck";
      },
      ERROR_ACCESS_DENIED);
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Concat(ListedMonitorLines(),
                                      {L"  There is no check for monitor version",
                                       L"  Can't delete monitor from the first try",
                                       L"  SetPrinter(Ours) - ok", L"  SetPrinter(Both) - ok",
                                       L"  Can't open printer Gone", L"  SetPrinter(Stuck) - failed",
                                       L"  Monitor was removed :)"})));
  EXPECT_EQ(deleteArgs.size(), 2u);
  EXPECT_EQ(fake::CountCalls("ControlService"), 0);
  EXPECT_EQ(world.FindPrinter(L"Ours")->port, L"file:");
  EXPECT_EQ(world.FindPrinter(L"Both")->port, L"LPT2:,file:");
  EXPECT_EQ(world.FindPrinter(L"Laser")->port, L"LPT1:");
  EXPECT_EQ(world.FindPrinter(L"Stuck")->port, L"COM1:");
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
  EXPECT_FALSE(world.HasFile(kMonitorPath));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, RefusedTwiceRestartsTheSpoolerBeforeTheThirdTry) {
  world.monitors = kThreeMonitors;
  world.spoolerStopPolls = 3;
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
  EXPECT_TRUE(world.spoolerRunning);
  // The stop is awaited through its pending polls, 200 ms apart.
  EXPECT_THAT(fake::TheClock().sleeps, ElementsAre(200u, 200u, 200u));
  EXPECT_EQ(world.OpenHandles().services, 0);
  // No printers in the snapshot: no list is made.
  EXPECT_EQ(session.RedirectedPorts, nullptr);
  EXPECT_EQ(fake::CountCalls("OpenPrinterW"), 0);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorRemoveTest, RefusedThreeTimesIsErrorTwelveKeepsTheFileAndPutsThePrintersBack) {
  world.monitors = kThreeMonitors;
  Snapshot({{L"Ours", L"Loomscribe:"}}, {L"Ours"});
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
  EXPECT_TRUE(world.HasFile(kMonitorPath));
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
  // The monitor and its port stay: the printer is back on it at once, and
  // the list of moves is used up.
  EXPECT_EQ(world.FindPrinter(L"Ours")->port, L"Loomscribe:");
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
    Begin(c.build);
    session.Reinstall = 1;
    if (c.found) world.monitors = kThreeMonitors;
    FreeMonitorList(list);
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
      EXPECT_TRUE(world.HasFile(kMonitorPath));
    } else {
      EXPECT_EQ(lines.back(), L"  Monitor was removed :)");
      EXPECT_EQ(deleteArgs.size(), 1u);
      EXPECT_FALSE(world.HasFile(kMonitorPath));
    }
  }
}

TEST_F(MonitorRemoveTest, FoundMonitorWithoutFileNameDeletesNoFile) {
  world.monitors = kThreeMonitors;
  world.monitors[2].dll = L"";  // listed without a file name
  session.Reinstall = 1;
  world.AddFile(kMonitorPath, "MZ", 2070);  // would be compatible, but there is no file to ask
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Concat(ListedMonitorLines(kSystemDir),
                                      {L"  Version is unknown, proceed with reinstall",
                                       L"  Monitor was removed :)"})));
  EXPECT_TRUE(versionPaths.empty());
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
  EXPECT_EQ(session.PendingDeletes.head, nullptr);
  EXPECT_EQ(session.InstallMonitor, 1);
}

TEST_F(MonitorRemoveTest, NoSystemDirectoryMeansNoRelativeFileDeletion) {
  Release(session.SystemDirectory);
  world.monitors = kThreeMonitors;
  Run();
  std::vector<std::wstring> lines = LogLines(session);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[8], L"  Auto calculated monitor file name: lmxmon64.dll");
  EXPECT_EQ(lines.back(), L"  Monitor was removed :)");
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
}

TEST_F(MonitorRemoveTest, WithoutMemoryForTheListNoPrinterIsMoved) {
  // The list itself, then the record of the rewrites.
  for (int failing : {1, 2}) {
    SCOPED_TRACE(failing);
    world.monitors = kThreeMonitors;
    world.AddFile(kMonitorPath, "MZ");
    Snapshot({{L"Ours", L"Loomscribe:"}}, {});
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

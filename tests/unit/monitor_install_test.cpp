#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "session/session.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::wstring kSystemDir = fake::WorldSystemDirectory();
const std::wstring kSource = fake::WorldModuleDirectory() + L"lmxmon64.dll";
const std::wstring kTarget = kSystemDir + L"lmxmon64.dll";
const std::wstring kCopyLine = L"  >CopyFile lmxmon64.dll to " + kSystemDir + L" [0])";
const std::wstring kReportedCopyLine = L"  >CopyFile lmxmon64.dll to " + kSystemDir + L" [1])";

class MonitorInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    Release(session.InstallLog);
    Assign(session.ModuleDirectory, fake::WorldModuleDirectory().c_str());
    Assign(session.SystemDirectory, kSystemDir.c_str());
    session.Environment = L"Windows x64";
    session.MonitorFile = L"lmxmon64.dll";
    world.AddFile(kSource, std::string(10000, 'm'));
    // The spooler refuses the first `refusals` registrations; every one is recorded.
    fake::Wrap<&Platform::AddMonitorW>([this](auto& previous, LPWSTR server, DWORD level,
                                              LPBYTE info) -> BOOL {
      auto* m = reinterpret_cast<MONITOR_INFO_2W*>(info);
      added.push_back(std::wstring(server ? L"server" : L"") + L"|" + std::to_wstring(level) +
                      L"|" + m->pName + L"|" + m->pEnvironment + L"|" + m->pDLLName);
      if (refusals-- > 0) return ::SetLastError(RPC_S_SERVER_UNAVAILABLE), FALSE;
      return previous(server, level, info);
    });
  }
  void TearDown() override {
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }

  // Printers of the snapshot, by name and port, each known to the spooler.
  void Snapshot(const std::vector<std::pair<std::wstring, std::wstring>>& printers) {
    session.Printers.buffer.reset(fake::PackNamesAndPorts(printers));
    session.Printers.count = static_cast<uint32_t>(printers.size());
    for (const auto& p : printers) world.AddProductPrinter(p.first, "").port = p.second;
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  int refusals = 0;
  std::vector<std::wstring> added;
};

TEST_F(MonitorInstallTest, SkipsTheCopyWhenTheFileMayStay) {
  world.AddFile(kTarget, "MZ");
  session.CopyMonitor = 0;
  InstallPortMonitor(session);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">AddMonitor", L"  Skip copy monitor file", L"  AddMonitor - OK :)"));
  EXPECT_EQ(fake::CountCalls("CreateFileW"), 0);
  EXPECT_THAT(added, ElementsAre(L"|2|Loomscribe:|Windows x64|lmxmon64.dll"));
  EXPECT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(MonitorInstallTest, CopiesThenRegistersAfterTwoRefusals) {
  refusals = 2;
  InstallPortMonitor(session);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">AddMonitor", L"  Copy monitor file", kCopyLine, L"    Copy Succeeded :)",
                          L"  AddMonitor - failed. Trying to wait and install again",
                          L"  AddMonitor - failed. Trying to wait and install again",
                          L"  AddMonitor - OK :)"));
  ASSERT_TRUE(world.HasFile(kTarget));
  EXPECT_EQ(world.FindFile(kTarget)->bytes, world.FindFile(kSource)->bytes);
  EXPECT_THAT(fake::TheClock().sleeps, ElementsAre(50u, 50u));
  EXPECT_EQ(added.size(), 3u);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorInstallTest, FiveRefusalsAreErrorElevenAndNoPrinterIsTouched) {
  refusals = 5;
  Snapshot({{L"Ours", L"file:"}});
  auto** list = static_cast<PRINTER_INFO_2W**>(::GlobalAlloc(GPTR, 2 * sizeof(PRINTER_INFO_2W*)));
  list[0] = session.Printers.buffer.get();
  session.RedirectedPorts.reset(list);
  session.CopyMonitor = 0;
  InstallPortMonitor(session);
  std::vector<std::wstring> expected = {L">AddMonitor", L"  Skip copy monitor file"};
  for (int i = 0; i < 5; ++i) expected.push_back(L"  AddMonitor - failed. Trying to wait and install again");
  expected.push_back(L"  Error(11): Can`t install a local port monitor'Loomscribe:' - (" +
                     testutil::SystemText(RPC_S_SERVER_UNAVAILABLE) + L")");
  EXPECT_THAT(LogLines(session), ElementsAreArray(expected));
  EXPECT_THAT(fake::TheClock().sleeps, ElementsAre(50u, 50u, 50u, 50u));
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_EQ(fake::CountCalls("OpenPrinterW"), 0);
  EXPECT_EQ(world.FindPrinter(L"Ours")->port, L"file:");
}

TEST_F(MonitorInstallTest, HeldMonitorFileIsCopiedWithTheSpoolerStopped) {
  // An old monitor file the spooler keeps loaded until it stops.
  world.AddFile(kTarget, "old");
  world.lingeringModules = {kTarget};
  InstallPortMonitor(session);
  std::vector<std::wstring> lines = LogLines(session);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_THAT(std::vector<std::wstring>(lines.begin(), lines.begin() + 3),
              ElementsAre(L">AddMonitor", L"  Copy monitor file", kCopyLine));
  EXPECT_THAT(std::vector<std::wstring>(lines.end() - 5, lines.end()),
              ElementsAre(L"    Copy Failed :(", L"  >Restart Spooler", kReportedCopyLine,
                          L"    Copy Succeeded :)", L"  AddMonitor - OK :)"));
  EXPECT_EQ(session.ErrorCount, 0);  // the first copy reports nothing
  EXPECT_EQ(world.FindFile(kTarget)->bytes, world.FindFile(kSource)->bytes);
  EXPECT_EQ(fake::CountCalls("ControlService"), 1);
  EXPECT_EQ(fake::CountCalls("StartServiceW"), 1);
  EXPECT_TRUE(world.spoolerRunning);
  // Registered after the spooler runs again.
  std::vector<std::string> order = fake::CallsAmong({"ControlService", "StartServiceW", "AddMonitorW"});
  EXPECT_THAT(order, ElementsAre("ControlService", "StartServiceW", "AddMonitorW"));
}

TEST_F(MonitorInstallTest, NothingToPutBackAfterTheRegistration) {
  world.AddFile(kTarget, "MZ");
  session.CopyMonitor = 0;
  session.RedirectedPorts.reset(static_cast<PRINTER_INFO_2W**>(::GlobalAlloc(GPTR, sizeof(PRINTER_INFO_2W*))));
  InstallPortMonitor(session);
  EXPECT_EQ(LogLines(session).back(), L"  AddMonitor - OK :)");
  EXPECT_EQ(fake::CountCalls("OpenPrinterW"), 0);
  EXPECT_EQ(fake::CountCalls("SetPrinterW"), 0);
}

// The whole way: the removal moves the printers to "file:" (the spooler
// refuses the first deletion), the install puts each back where it was.
class PortRoundTripTest : public MonitorInstallTest {
 protected:
  void SetUp() override {
    MonitorInstallTest::SetUp();
    session.CopyMonitor = 0;
    world.monitors = {{L"Loomscribe:", L"Windows NT x86", L"lmxmon64.dll"}};
    world.AddFile(kTarget, "MZ");
    world.monitorStaysLoadedAfterDelete = true;  // the file stays for the new registration
    // The spooler refuses the first deletion and then lets the monitor go,
    // whatever port texts still name it.
    fake::Wrap<&Platform::DeleteMonitorW>([this](auto& previous, LPWSTR server, LPWSTR env,
                                                 LPWSTR name) -> BOOL {
      if (deleteRefusals-- > 0) return ::SetLastError(ERROR_PRINT_MONITOR_IN_USE), FALSE;
      std::vector<fake::WorldPrinter> printers;
      printers.swap(world.printers);
      BOOL deleted = previous(server, env, name);
      printers.swap(world.printers);
      return deleted;
    });
  }
  void RemoveThenInstall() {
    MonitorList list;
    ListMonitors(list, session);
    RemovePortMonitor(session, list);
    list = MonitorList();
    Release(session.InstallLog);
    InstallPortMonitor(session);
  }
  int deleteRefusals = 1;
};

TEST_F(PortRoundTripTest, EveryPortTextComesBackAsItWas) {
  const std::vector<std::pair<std::wstring, std::wstring>> snapshot = {
      {L"Ours", L"Loomscribe:"},
      {L"FileFirst", L"file:,Loomscribe:"},
      {L"Laser", L"LPT1:"},
      {L"Twice", L"Loomscribe:,Loomscribe:"},
      {L"Listed", L"COM1:,Loomscribe:,file:"},
      {L"Deleted", L"Loomscribe:"},
      {L"Refusing", L"Loomscribe:"},
  };
  Snapshot(snapshot);
  world.printers.erase(world.printers.begin() + 5);  // "Deleted" is no more
  fake::FailWhen<&Platform::SetPrinterW>(
      [](HANDLE, DWORD, LPBYTE info, DWORD) {
        return std::wstring(reinterpret_cast<PRINTER_INFO_2W*>(info)->pPrinterName) == L"Refusing";
      },
      ERROR_ACCESS_DENIED);
  const size_t blockBytes = ::GlobalSize(session.Printers.buffer.get());

  RemoveThenInstall();

  EXPECT_THAT(LogLines(session),
              ElementsAre(L">AddMonitor", L"  Skip copy monitor file", L"  AddMonitor - OK :)",
                          L"  SetPrinter(Ours) - ok", L"  SetPrinter(FileFirst) - ok",
                          L"  SetPrinter(Twice) - ok", L"  SetPrinter(Listed) - ok",
                          L"  Can't open printer Deleted", L"  SetPrinter(Refusing) - failed"));
  for (uint32_t i = 0; i < snapshot.size(); ++i) {
    const PRINTER_INFO_2W& r = session.Printers.buffer.get()[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(std::wstring(r.pPrinterName), snapshot[i].first);  // neighbours untouched
    EXPECT_EQ(std::wstring(r.pPortName), snapshot[i].second);
  }
  EXPECT_EQ(world.FindPrinter(L"Ours")->port, L"Loomscribe:");
  EXPECT_EQ(world.FindPrinter(L"FileFirst")->port, L"file:,Loomscribe:");
  EXPECT_EQ(world.FindPrinter(L"Listed")->port, L"COM1:,Loomscribe:,file:");
  EXPECT_EQ(world.FindPrinter(L"Twice")->port, L"Loomscribe:,Loomscribe:");
  EXPECT_EQ(world.FindPrinter(L"Refusing")->port, L"Loomscribe:");  // only the spooler refused it
  EXPECT_EQ(::GlobalSize(session.Printers.buffer.get()), blockBytes);

  // A second install finds nothing left to give back and grows nothing.
  world.monitors.clear();  // the spooler takes the registration anew
  Release(session.InstallLog);
  InstallPortMonitor(session);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">AddMonitor", L"  Skip copy monitor file", L"  AddMonitor - OK :)"));
  for (uint32_t i = 0; i < snapshot.size(); ++i)
    EXPECT_EQ(std::wstring(session.Printers.buffer.get()[i].pPortName), snapshot[i].second);
}

TEST_F(PortRoundTripTest, RecordWithoutItsFileTextIsSkippedSilently) {
  Snapshot({{L"Ours", L"Loomscribe:"}, {L"Other", L"Loomscribe:"}});
  MonitorList list;
  ListMonitors(list, session);
  RemovePortMonitor(session, list);
  list = MonitorList();
  // Someone else wrote another port into the record in between.
  std::wmemcpy(session.Printers.buffer.get()[0].pPortName, L"LPT1:", 6);
  Release(session.InstallLog);
  int opens = fake::CountCalls("OpenPrinterW");
  InstallPortMonitor(session);
  EXPECT_THAT(LogLines(session), ElementsAre(L">AddMonitor", L"  Skip copy monitor file",
                                             L"  AddMonitor - OK :)", L"  SetPrinter(Other) - ok"));
  EXPECT_EQ(fake::CountCalls("OpenPrinterW"), opens + 1);
  EXPECT_EQ(std::wstring(session.Printers.buffer.get()[0].pPortName), L"LPT1:");
  EXPECT_EQ(world.FindPrinter(L"Ours")->port, L"file:");
}

}  // namespace

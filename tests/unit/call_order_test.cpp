// Orders between a step and the release of what it holds, on the
// whole-machine fake: which call must come before which, where moving a close
// or the end of a spooler stop by one statement changes what the machine or
// the log sees.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/files.h"
#include "monitor/monitor.h"
#include "monitor/port_text.h"
#include "printers/printers.h"
#include "sequences/sequences.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

const std::wstring kSystemDir = fake::World::kSystemDir;
const std::wstring kOldMonitorPath = kSystemDir + L"\\lmxold64.dll";

class CallOrderTest : public ::testing::Test {
 protected:
  // A session as the run set-up leaves it.
  void SetUpSession() {
    BeginSession(session);
    SetPlatformFiles(session);
    TakeSessionDirectories(session);
    MarkDefaultPrinter(session);
    sessionOpen = true;
  }
  void TearDown() override {
    if (sessionOpen) EndSession(session);
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  bool sessionOpen = false;
  std::vector<std::string> timeline;
};

// The monitor file of an older build stays held: the re-install tries it
// once more with the spooler stopped, before the spooler runs again (a file deleted or scheduled while the
// spooler runs may be one it has loaded again).
TEST_F(CallOrderTest, PendingDeletesAreTriedAndReleasedBeforeTheSpoolerStarts) {
  world.InstallProduct(1000);
  world.monitors.back().dll = L"lmxold64.dll";
  world.AddFile(kOldMonitorPath, "old", 1000);
  world.FindFile(kOldMonitorPath)->lockedForever = true;
  fake::Wrap<&Platform::ControlService>([&](auto& previous, SC_HANDLE s, DWORD c, LPSERVICE_STATUS st) {
    timeline.push_back("stop");
    return previous(s, c, st);
  });
  fake::Wrap<&Platform::StartServiceW>([&](auto& previous, SC_HANDLE s, DWORD n, LPCWSTR* a) {
    timeline.push_back("start");
    return previous(s, n, a);
  });
  fake::Wrap<&Platform::DeleteFileW>([&](auto& previous, LPCWSTR path) {
    if (fake::World::Lower(path) == fake::World::Lower(kOldMonitorPath)) timeline.push_back("try");
    return previous(path);
  });
  RunResult result = RunInstall(nullptr);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(result.scheduledForRestart, 0u);
  // The removal's own try and the uninstall half's pass, then the try with
  // the spooler stopped; no restart at the end of the run (nothing is left).
  EXPECT_THAT(timeline, ElementsAre("try", "try", "stop", "try", "start"));
  EXPECT_TRUE(world.spoolerRunning);
}

// The copy is written under a temporary name: that file is closed before it
// takes the destination's place, and both before the source is let go.
TEST_F(CallOrderTest, CopyClosesTheDestinationBeforeTheSource) {
  SetUpSession();
  const std::wstring source = fake::World::Lower(fake::WorldModuleDirectory() + L"lmxmon64.dll");
  const std::wstring temporary = fake::World::Lower(kSystemDir + L"\\lmxmon64.dll.tmp");
  HANDLE sourceHandle = INVALID_HANDLE_VALUE;
  HANDLE temporaryHandle = INVALID_HANDLE_VALUE;
  fake::Wrap<&Platform::CreateFileW>([&](auto& previous, LPCWSTR path, DWORD access, DWORD share,
                                         LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                         DWORD flags, HANDLE templateFile) {
    HANDLE file = previous(path, access, share, security, disposition, flags, templateFile);
    if (fake::World::Lower(path) == source) sourceHandle = file;
    if (fake::World::Lower(path) == temporary) temporaryHandle = file;
    return file;
  });
  fake::Wrap<&Platform::CloseHandle>([&](auto& previous, HANDLE handle) {
    if (handle == sourceHandle) timeline.push_back("close source");
    if (handle == temporaryHandle) timeline.push_back("close copy");
    return previous(handle);
  });
  fake::Wrap<&Platform::MoveFileExW>([&](auto& previous, LPCWSTR from, LPCWSTR to, DWORD flags) {
    timeline.push_back("replace");
    return previous(from, to, flags);
  });
  world.RemoveFile(kSystemDir + L"\\lmxmon64.dll");
  EXPECT_EQ(CopyComponentFile(session, kSystemDir.c_str(), L"lmxmon64.dll", nullptr, 0, true), S_OK);
  EXPECT_THAT(timeline, ElementsAre("close copy", "replace", "close source"));
  EXPECT_EQ(world.TextOf(kSystemDir + L"\\lmxmon64.dll"),
            world.TextOf(fake::WorldModuleDirectory() + L"lmxmon64.dll"));
  EXPECT_EQ(session.ErrorCount, 0);
}

// Refused twice, the monitor is deleted on the third try after a restart of
// the spooler: the stop and the start stand back to back, nothing is done
// while the spooler is stopped, and the third try comes after the start.
TEST_F(CallOrderTest, MonitorRemovalRestartsTheSpoolerBackToBack) {
  world.InstallProduct();
  world.AddProductPrinter(L"Ours", "key");
  world.FindPrinter(L"Ours")->port = L"Loomscribe:";
  SetUpSession();
  fake::FailCalls<&Platform::DeleteMonitorW>(1, 2, ERROR_PRINT_MONITOR_IN_USE);
  MonitorList monitors;
  ListMonitors(monitors, session);
  fake::Calls().clear();
  RemovePortMonitor(session, monitors);
  monitors = MonitorList();
  std::vector<std::string> calls = fake::Calls();
  // From the open of the service manager to the close of its handle: the
  // spooler's own calls and nothing else.
  size_t first = 0;
  while (first < calls.size() && calls[first] != "OpenSCManagerW") ++first;
  ASSERT_LT(first, calls.size());
  size_t last = calls.size();
  while (last > first && calls[last - 1] != "CloseServiceHandle") --last;
  std::vector<std::string> stopped(calls.begin() + first, calls.begin() + last);
  for (const std::string& call : stopped)
    EXPECT_THAT(call, ::testing::AnyOf("OpenSCManagerW", "OpenServiceW", "ControlService",
                                       "QueryServiceStatus", "Sleep", "GetLastError",
                                       "StartServiceW", "CloseServiceHandle"));
  EXPECT_THAT(fake::CallsAmong({"DeleteMonitorW", "SetPrinterW", "ControlService", "StartServiceW"}),
              ElementsAre("DeleteMonitorW", "SetPrinterW", "DeleteMonitorW", "ControlService",
                          "StartServiceW", "DeleteMonitorW"));
  EXPECT_EQ(world.FindMonitor(L"Loomscribe:"), nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
}

// The outcome of a deletion as the log shows it, for one that works and one
// the spooler refuses: the refusal's own reason, even where closing the
// printer afterwards clears the last error (as Windows may).
TEST_F(CallOrderTest, ADeletionsLineShowsItsOwnOutcome) {
  world.InstallProduct();
  world.AddProductPrinter(L"Gone", "a");
  world.AddProductPrinter(L"Kept", "b");
  SetUpSession();
  fake::Wrap<&Platform::ClosePrinter>([](auto& previous, HANDLE printer) {
    BOOL closed = previous(printer);
    ::SetLastError(ERROR_SUCCESS);
    return closed;
  });
  DeleteNamedPrinter(session, L"Gone");
  fake::FailWhen<&Platform::DeletePrinter>([](HANDLE) { return true; }, ERROR_ACCESS_DENIED);
  DeleteNamedPrinter(session, L"Kept");
  EXPECT_THAT(testutil::LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">DeletePrinter(Gone)", L"  OK",
                          L">DeletePrinter(Kept)",
                          L"  Error(17): Can`t delete printer 'Kept' - (" +
                              testutil::SystemText(ERROR_ACCESS_DENIED) + L")"));
  EXPECT_EQ(world.FindPrinter(L"Gone"), nullptr);
  EXPECT_NE(world.FindPrinter(L"Kept"), nullptr);
  EXPECT_EQ(world.OpenHandles().printers, 0);
}

// A printer put back on its port: the port reaches the spooler, the log says
// so, and the printer is let go.
TEST_F(CallOrderTest, PortStoreWritesThePortAndSaysSo) {
  world.InstallProduct();
  world.AddProductPrinter(L"Ours", "key");
  SetUpSession();
  ASSERT_EQ(session.Printers.count, 1u);
  size_t before = testutil::LogLines(session).size();
  wchar_t port[] = L"LPT1:";
  session.Printers.buffer.get()[0].pPortName = port;
  StorePrinterPort(session, session.Printers.buffer.get());
  std::vector<std::wstring> lines = testutil::LogLines(session);
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_EQ(lines.back(), L"SetPrinter(Ours) - ok");
  EXPECT_EQ(world.FindPrinter(L"Ours")->port, L"LPT1:");
  EXPECT_EQ(world.OpenHandles().printers, 0);
}

}  // namespace

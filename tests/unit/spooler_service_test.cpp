// The spooler service checked, and held stopped, on the whole-machine fake.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/spooler.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

// A fresh machine and a run on it for each case; every service handle is
// closed again by its end.
struct Machine {
  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  Machine() { BeginSession(session); }
  ~Machine() {
    EXPECT_EQ(world.OpenHandles().services, 0) << "every service handle is closed";
    EndSession(session);
  }
};

// The service manager of an account that holds only `scmRights` on it and
// `serviceRights` on the spooler: it refuses to open with more, and a handle
// opened with less is refused the calls that need the missing right.
void GrantOnly(DWORD scmRights, DWORD serviceRights) {
  fake::FailWhen<&Platform::OpenSCManagerW>(
      [scmRights](LPCWSTR, LPCWSTR, DWORD access) { return (access & ~scmRights) != 0; },
      ERROR_ACCESS_DENIED);
  auto granted = std::make_shared<DWORD>(0);
  fake::Wrap<&Platform::OpenServiceW>([granted, serviceRights](auto& previous, SC_HANDLE scm,
                                                               LPCWSTR name, DWORD access) {
    if (access & ~serviceRights) return ::SetLastError(ERROR_ACCESS_DENIED), SC_HANDLE{};
    *granted = access;
    return previous(scm, name, access);
  });
  auto lacks = [granted](DWORD right) { return [granted, right](auto...) { return !(*granted & right); }; };
  fake::FailWhen<&Platform::QueryServiceStatus>(lacks(SERVICE_QUERY_STATUS), ERROR_ACCESS_DENIED);
  fake::FailWhen<&Platform::StartServiceW>(lacks(SERVICE_START), ERROR_ACCESS_DENIED);
  fake::FailWhen<&Platform::ControlService>(lacks(SERVICE_STOP), ERROR_ACCESS_DENIED);
}

struct Case {
  const char* what;
  std::function<void(fake::World&)> set;
  bool result;             // the check's answer
  bool runningAfter;
  int errors;
  std::wstring lastLine;   // the start of the log's last line
};

// The check starts a stopped spooler and waits for it at most 50 x 200 ms.
TEST(SpoolerServiceTest, CheckLeavesTheSpoolerRunningOrSaysWhyNot) {
  const std::vector<Case> cases = {
      {"running", [](fake::World&) {}, true, true, 0, L">Check Spooler"},
      {"stopped", [](fake::World& w) { w.spoolerRunning = false; }, true, true, 0,
       L">Check Spooler"},
      {"stopped, its status unreadable: nothing is started",
       [](fake::World& w) {
         w.spoolerRunning = false;
         fake::FailFrom<&Platform::QueryServiceStatus>(1, ERROR_ACCESS_DENIED);
       },
       true, false, 0, L">Check Spooler"},
      {"stopped, never starts",
       [](fake::World& w) {
         w.spoolerRunning = false;
         w.spoolerRefusesStart = true;
       },
       false, false, 1, L"  Error(4): Can't start the spooler"},
      {"no service manager",
       [](fake::World&) { fake::FailFrom<&Platform::OpenSCManagerW>(1, ERROR_ACCESS_DENIED); },
       false, true, 1,
       L"  Error(1): Can't open service manager. - (" + testutil::SystemText(ERROR_ACCESS_DENIED) +
           L")"},
      {"no spooler service",
       [](fake::World&) {
         fake::FailFrom<&Platform::OpenServiceW>(1, ERROR_SERVICE_DOES_NOT_EXIST);
       },
       false, true, 1,
       L"  Error(2): Can't open the spooler - (" +
           testutil::SystemText(ERROR_SERVICE_DOES_NOT_EXIST) + L")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    c.set(m.world);
    EXPECT_EQ(CheckSpooler(m.session), c.result);
    EXPECT_EQ(m.world.spoolerRunning, c.runningAfter);
    EXPECT_EQ(m.session.ErrorCount, c.errors);
    EXPECT_EQ(m.session.IndentDepth, 0);
    auto lines = LogLines(m.session);
    ASSERT_EQ(lines.size(), 3u - (c.errors == 0));
    EXPECT_EQ(lines[0], L"Loomscribe 2070");
    EXPECT_EQ(lines.back().rfind(c.lastLine, 0), 0u) << lines.back();
    EXPECT_EQ(fake::TheClock().slept, c.lastLine.find(L"Error(4)") != std::wstring::npos ? 50u * 200u : 0u);
  }
}

// The restart holds the spooler stopped between its begin and its end.
TEST(SpoolerServiceTest, RestartHoldsTheSpoolerStoppedUntilItsEnd) {
  for (bool stoppedBefore : {false, true}) {
    SCOPED_TRACE(stoppedBefore ? "stopped before" : "running before");
    Machine m;
    m.world.spoolerRunning = !stoppedBefore;
    m.world.spoolerStopPolls = 3;  // STOP_PENDING three times after the stop control
    SpoolerStop stop(&m.session);
    EXPECT_FALSE(m.world.spoolerRunning);
    EXPECT_EQ(fake::TheClock().slept, stoppedBefore ? 0u : 3u * 200u);
    stop.End();
    EXPECT_TRUE(m.world.spoolerRunning);
    EXPECT_THAT(LogLines(m.session), ElementsAre(L"Loomscribe 2070", L">Restart Spooler"));
  }
}

// Each failure of a restart is its own error in a run; without a run (the
// status commands) the same failures pass silently and the spooler ends in
// the same state.
TEST(SpoolerServiceTest, EachFailedRestartIsItsOwnErrorAndSilentWithoutARun) {
  const std::vector<Case> cases = {
      {"never stops: the work runs beside it",
       [](fake::World& w) { w.spoolerRefusesStop = true; }, true, true, 1,
       L"Error(3): Can't stop the spooler"},
      {"never starts again", [](fake::World& w) { w.spoolerRefusesStart = true; }, true, false, 1,
       L"Error(4): Can't start the spooler"},
      {"the stop control refused: still running after the wait",
       [](fake::World&) {
         fake::FailFrom<&Platform::ControlService>(1, ERROR_DEPENDENT_SERVICES_RUNNING);
       },
       true, true, 2,
       L"Error(5): ControlService failed with code 1051 (0x41b) - (" +
           testutil::SystemText(ERROR_DEPENDENT_SERVICES_RUNNING) + L")"},
      {"no service manager: a stopped spooler stays stopped",
       [](fake::World& w) {
         w.spoolerRunning = false;
         fake::FailFrom<&Platform::OpenSCManagerW>(1, ERROR_ACCESS_DENIED);
       },
       true, false, 1, L"Error(1): Can't open service manager."},
      {"no spooler service",
       [](fake::World&) {
         fake::FailFrom<&Platform::OpenServiceW>(1, ERROR_SERVICE_DOES_NOT_EXIST);
       },
       true, true, 1, L"Error(2): Can't open the spooler"},
  };
  for (const Case& c : cases) {
    for (bool inRun : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (inRun ? ", in a run" : ", without a run"));
      Machine m;
      c.set(m.world);
      SpoolerStop(inRun ? &m.session : nullptr).End();
      EXPECT_EQ(m.world.spoolerRunning, c.runningAfter);
      auto lines = LogLines(m.session);
      if (!inRun) {
        EXPECT_EQ(m.session.ErrorCount, 0);
        EXPECT_THAT(lines, ElementsAre(L"Loomscribe 2070"));
        continue;
      }
      EXPECT_EQ(m.session.ErrorCount, c.errors);
      ASSERT_GE(lines.size(), 3u);
      EXPECT_EQ(lines[1], L">Restart Spooler");
      EXPECT_EQ(lines[2].rfind(c.lastLine, 0), 0u) << lines[2];
    }
  }
}

// An account that may only query, start (and, for the restart, stop) the
// spooler and connect to the service manager can do both jobs.
TEST(SpoolerServiceTest, BothJobsNeedNoMoreRightsThanTheyUse) {
  constexpr DWORD kScmRights = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
  {
    Machine m;
    m.world.spoolerRunning = false;
    GrantOnly(kScmRights, SERVICE_QUERY_STATUS | SERVICE_START);
    EXPECT_TRUE(CheckSpooler(m.session));
    EXPECT_TRUE(m.world.spoolerRunning);
  }
  {
    Machine m;
    GrantOnly(kScmRights, SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
    SpoolerStop stop(&m.session);
    EXPECT_FALSE(m.world.spoolerRunning);
    stop.End();
    EXPECT_TRUE(m.world.spoolerRunning);
    EXPECT_EQ(m.session.ErrorCount, 0);
  }
}

}  // namespace

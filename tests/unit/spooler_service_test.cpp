#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "service/spooler.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

SC_HANDLE const kScm = reinterpret_cast<SC_HANDLE>(0x51);
SC_HANDLE const kService = reinterpret_cast<SC_HANDLE>(0x52);

// A spooler service behind a fake service control manager.
struct FakeService {
  DWORD state = SERVICE_RUNNING;
  bool scmOpens = true;
  bool serviceOpens = true;
  bool statusReads = true;
  bool stops = true;   // a stop control brings it to SERVICE_STOPPED
  bool starts = true;  // a start brings it to SERVICE_RUNNING
  int pollsToStop = 3;  // status reads after the stop before it reports stopped
  DWORD controlError = 0;
  DWORD scmAccess = 0, serviceAccess = 0;
  int startCalls = 0, controlCalls = 0, openHandles = 0;
  int readsSinceStop = -1;

  void Install() {
    fake::Set<&Platform::OpenSCManagerW>([this](LPCWSTR machine, LPCWSTR db, DWORD access) {
      EXPECT_EQ(machine, nullptr);
      EXPECT_EQ(db, nullptr);
      scmAccess = access;
      if (!scmOpens) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return SC_HANDLE{};
      }
      ++openHandles;
      return kScm;
    });
    fake::Set<&Platform::OpenServiceW>([this](SC_HANDLE scm, LPCWSTR name, DWORD access) {
      EXPECT_EQ(scm, kScm);
      EXPECT_STREQ(name, L"spooler");
      serviceAccess = access;
      if (!serviceOpens) {
        ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return SC_HANDLE{};
      }
      ++openHandles;
      return kService;
    });
    fake::Set<&Platform::CloseServiceHandle>([this](SC_HANDLE) -> BOOL {
      --openHandles;
      return TRUE;
    });
    fake::Set<&Platform::QueryServiceStatus>([this](SC_HANDLE, LPSERVICE_STATUS status) -> BOOL {
      if (!statusReads) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      if (readsSinceStop >= 0 && stops && ++readsSinceStop > pollsToStop) state = SERVICE_STOPPED;
      status->dwCurrentState = state;
      return TRUE;
    });
    fake::Set<&Platform::ControlService>([this](SC_HANDLE, DWORD control, LPSERVICE_STATUS) -> BOOL {
      EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_STOP));
      ++controlCalls;
      if (controlError) {
        ::SetLastError(controlError);
        return FALSE;
      }
      if (state == SERVICE_STOPPED) {
        ::SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
      }
      state = SERVICE_STOP_PENDING;
      readsSinceStop = 0;
      return TRUE;
    });
    fake::Set<&Platform::StartServiceW>([this](SC_HANDLE, DWORD count, LPCWSTR* args) -> BOOL {
      EXPECT_EQ(count, 0u);
      EXPECT_EQ(args, nullptr);
      ++startCalls;
      readsSinceStop = -1;
      if (state == SERVICE_RUNNING) {
        ::SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
      }
      state = starts ? SERVICE_RUNNING : SERVICE_START_PENDING;
      return TRUE;
    });
  }
};

class SpoolerServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service.Install();
    BeginSession(session);
  }
  void TearDown() override {
    EXPECT_EQ(service.openHandles, 0) << "every handle is closed";
    EndSession(session);
  }
  fake::FakePlatform os;
  FakeService service;
  InstallSession session;
};

TEST_F(SpoolerServiceTest, CheckOnARunningSpoolerOnlyWritesItsTitle) {
  EXPECT_TRUE(CheckSpooler(session));
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070", L">Check Spooler"));
  EXPECT_EQ(service.startCalls, 0);
  EXPECT_EQ(service.scmAccess, 0xF0001u);
  EXPECT_EQ(service.serviceAccess, 0x14u);
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(SpoolerServiceTest, CheckStartsAStoppedSpooler) {
  service.state = SERVICE_STOPPED;
  EXPECT_TRUE(CheckSpooler(session));
  EXPECT_EQ(service.startCalls, 1);
  EXPECT_EQ(service.state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(SpoolerServiceTest, CheckOnASpoolerThatNeverStartsIsErrorFourAfterFiftyPolls) {
  service.state = SERVICE_STOPPED;
  service.starts = false;
  EXPECT_FALSE(CheckSpooler(session));
  EXPECT_EQ(fake::TheClock().slept, 50u * 200u);
  EXPECT_EQ(fake::CountCalls("QueryServiceStatus"), 1 + 1 + 50);
  auto lines = LogLines(session);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].rfind(L"  Error(4): Can't start the spooler", 0), 0u);
}

TEST_F(SpoolerServiceTest, CheckWithAFailedStatusReadStartsNothing) {
  service.state = SERVICE_STOPPED;
  service.statusReads = false;
  EXPECT_TRUE(CheckSpooler(session));
  EXPECT_EQ(service.startCalls, 0);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(SpoolerServiceTest, CheckWithoutServiceManagerOrService) {
  service.scmOpens = false;
  EXPECT_FALSE(CheckSpooler(session));
  service.scmOpens = true;
  service.serviceOpens = false;
  EXPECT_FALSE(CheckSpooler(session));
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">Check Spooler",
                          L"  Error(1): Can't open service manager. - (" +
                              testutil::SystemText(ERROR_ACCESS_DENIED) + L")",
                          L">Check Spooler",
                          L"  Error(2): Can't open the spooler - (" +
                              testutil::SystemText(ERROR_SERVICE_DOES_NOT_EXIST) + L")"));
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(SpoolerServiceTest, RestartStopsThenStartsTheSpooler) {
  SpoolerRestart restart = BeginSpoolerRestart(&session);
  EXPECT_EQ(service.state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(restart.stopRequested);
  EXPECT_EQ(service.serviceAccess, 0x34u);
  EndSpoolerRestart(restart);
  EXPECT_EQ(service.state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070", L">Restart Spooler"));
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(fake::TheClock().slept, 3u * 200u);
}

TEST_F(SpoolerServiceTest, AnAlreadyStoppedSpoolerIsNoErrorAndIsStartedAfterwards) {
  service.state = SERVICE_STOPPED;
  SpoolerRestart restart = BeginSpoolerRestart(&session);
  EXPECT_EQ(fake::TheClock().slept, 0u);  // the first status read shows it stopped
  EndSpoolerRestart(restart);
  EXPECT_EQ(service.startCalls, 1);
  EXPECT_EQ(service.state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(SpoolerServiceTest, ASpoolerThatNeverStopsIsErrorThreeAndTheWorkStillRuns) {
  service.stops = false;
  SpoolerRestart restart = BeginSpoolerRestart(&session);
  EXPECT_EQ(fake::TheClock().slept, 50u * 200u);
  EXPECT_EQ(service.startCalls, 0);  // the caller's work runs here, spooler still up
  EndSpoolerRestart(restart);
  // The start finds it running again at once: no error 4.
  auto lines = LogLines(session);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], L">Restart Spooler");
  EXPECT_EQ(lines[2].rfind(L"Error(3): Can't stop the spooler", 0), 0u);
  EXPECT_EQ(session.ErrorCount, 1);
}

TEST_F(SpoolerServiceTest, ASpoolerThatNeverStartsAgainIsErrorFour) {
  service.starts = false;
  SpoolerRestart restart = BeginSpoolerRestart(&session);
  EndSpoolerRestart(restart);
  auto lines = LogLines(session);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].rfind(L"Error(4): Can't start the spooler", 0), 0u);
  EXPECT_EQ(session.ErrorCount, 1);
}

TEST_F(SpoolerServiceTest, AFailedStopControlIsErrorFiveWithTheCodeTwice) {
  service.controlError = ERROR_DEPENDENT_SERVICES_RUNNING;  // 1051
  SpoolerRestart restart = BeginSpoolerRestart(&session);
  EndSpoolerRestart(restart);
  auto lines = LogLines(session);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], L"Error(5): ControlService failed with code 1051 (0x41b) - (" +
                          testutil::SystemText(ERROR_DEPENDENT_SERVICES_RUNNING) + L")");
  // Still requested: the end starts it (it never stopped, so it passes at once).
  EXPECT_TRUE(restart.stopRequested);
}

TEST_F(SpoolerServiceTest, NoServiceManagerIsErrorOneOnlyAndNothingIsStarted) {
  service.scmOpens = false;
  service.state = SERVICE_STOPPED;
  SpoolerRestart restart = BeginSpoolerRestart(&session);
  EndSpoolerRestart(restart);
  EXPECT_EQ(service.startCalls, 0);
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(LogLines(session)[2].rfind(L"Error(1): Can't open service manager.", 0), 0u);
}

// The status commands restart the spooler without a session: every failure
// that a run logs as error 1 to 5 passes silently, and the waits stay whole.
TEST_F(SpoolerServiceTest, ARestartWithoutSessionLogsNothingAndBehavesTheSame) {
  service.stops = false;
  service.starts = false;
  SpoolerRestart restart = BeginSpoolerRestart(nullptr);
  EXPECT_EQ(restart.installSession, nullptr);
  EXPECT_TRUE(restart.stopRequested);
  EndSpoolerRestart(restart);
  EXPECT_EQ(service.controlCalls, 1);
  EXPECT_EQ(service.startCalls, 1);
  EXPECT_EQ(fake::TheClock().slept, 2u * 50u * 200u);  // the full stop and start waits

  service.stops = service.starts = true;
  service.controlError = ERROR_DEPENDENT_SERVICES_RUNNING;  // error 5 in a run
  restart = BeginSpoolerRestart(nullptr);
  EndSpoolerRestart(restart);
  EXPECT_EQ(service.controlCalls, 2);

  service.serviceOpens = false;  // error 2 in a run
  restart = BeginSpoolerRestart(nullptr);
  EXPECT_EQ(restart.service.get(), nullptr);
  EndSpoolerRestart(restart);
  service.scmOpens = false;  // error 1 in a run
  restart = BeginSpoolerRestart(nullptr);
  EXPECT_EQ(restart.scm.get(), nullptr);
  EndSpoolerRestart(restart);
  EXPECT_EQ(service.controlCalls, 2);
  EXPECT_EQ(service.startCalls, 2);
}

TEST_F(SpoolerServiceTest, StartAndWaitReadsAtMostFiftyOneTimes) {
  service.state = SERVICE_STOPPED;
  service.starts = false;
  SC_HANDLE scm = Os().OpenSCManagerW(nullptr, nullptr, 1);
  SC_HANDLE h = Os().OpenServiceW(scm, L"spooler", 0x14);
  fake::Calls().clear();
  EXPECT_FALSE(StartSpoolerAndWait(h));
  EXPECT_EQ(fake::CountCalls("QueryServiceStatus"), 51);
  EXPECT_EQ(fake::CountCalls("Sleep"), 50);
  Os().CloseServiceHandle(h);
  Os().CloseServiceHandle(scm);
}

}  // namespace

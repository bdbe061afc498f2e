// The spooler service of Wine's service control manager, driven by the real
// code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "service/spooler.h"
#include "session/session.h"
#include "support/test_util.h"

namespace {

DWORD SpoolerState() {
  SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = scm ? ::OpenServiceW(scm, L"spooler", SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status = {};
  if (service) ::QueryServiceStatus(service, &status);
  if (service) ::CloseServiceHandle(service);
  if (scm) ::CloseServiceHandle(scm);
  return status.dwCurrentState;
}

void StopSpooler() {
  SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = ::OpenServiceW(scm, L"spooler", SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status = {};
  ::ControlService(service, SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 100 && SpoolerState() != SERVICE_STOPPED; ++i) ::Sleep(50);
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(scm);
}

class SpoolerServiceSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { BeginSession(session); }
  void TearDown() override {
    EndSession(session);
    // Leave the spooler running for whoever comes next.
    InstallSession scratch;
    BeginSession(scratch);
    CheckSpooler(scratch);
    EndSession(scratch);
  }
  InstallSession session;
};

TEST_F(SpoolerServiceSystemTest, CheckStartsAStoppedSpooler) {
  StopSpooler();
  ASSERT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(CheckSpooler(session));
  EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(testutil::LogLines(session),
              ::testing::ElementsAre(L"Loomscribe 2070", L">Check Spooler"));
  EXPECT_EQ(session.ErrorCount, 0);
  // Running already: nothing more to do.
  EXPECT_TRUE(CheckSpooler(session));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(SpoolerServiceSystemTest, ARestartStopsAndStartsTheSpooler) {
  ASSERT_TRUE(CheckSpooler(session));
  SpoolerStop stop(&session);
  EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_STOPPED));
  stop.End();
  EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_THAT(testutil::LogLines(session),
              ::testing::ElementsAre(L"Loomscribe 2070", L">Check Spooler", L">Restart Spooler"));
}

TEST_F(SpoolerServiceSystemTest, ARestartOfAStoppedSpoolerStartsIt) {
  StopSpooler();
  SpoolerStop stop(nullptr);
  EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_STOPPED));
  stop.End();
  EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(testutil::LogLines(session), ::testing::ElementsAre(L"Loomscribe 2070"));
}

}  // namespace

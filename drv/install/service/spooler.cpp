#include "service/spooler.h"

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

constexpr DWORD kScmAccess = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;     // 0xF0001
constexpr DWORD kCheckAccess = SERVICE_QUERY_STATUS | SERVICE_START;            // 0x14
constexpr DWORD kRestartAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;  // 0x34
constexpr int kPolls = 50;
constexpr DWORD kPollMs = 200;

SC_HANDLE OpenLocalScm() { return Os().OpenSCManagerW(nullptr, nullptr, kScmAccess); }

}  // namespace

bool StartSpoolerAndWait(SC_HANDLE service) {
  // A service that already runs refuses the start and simply passes the poll.
  Os().StartServiceW(service, 0, nullptr);
  SERVICE_STATUS status = {};
  Os().QueryServiceStatus(service, &status);
  for (int poll = 0; poll < kPolls; ++poll) {
    if (status.dwCurrentState == SERVICE_RUNNING) return true;
    Os().Sleep(kPollMs);
    Os().QueryServiceStatus(service, &status);
  }
  return status.dwCurrentState == SERVICE_RUNNING;
}

bool CheckSpooler(InstallSession& session) {
  LogSection section(session, L">Check Spooler");
  UniqueServiceHandle scm(OpenLocalScm());
  if (!scm) {
    LogServiceManagerOpenFailed(session);
    return false;
  }
  bool result = true;
  UniqueServiceHandle service(Os().OpenServiceW(scm.get(), L"spooler", kCheckAccess));
  if (!service) {
    LogSpoolerOpenFailed(session);
    result = false;
  } else {
    SERVICE_STATUS status = {};
    // A failed status read starts nothing and leaves the answer true.
    if (Os().QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_RUNNING) {
      if (!StartSpoolerAndWait(service.get())) {
        LogSpoolerStartFailed(session);
        result = false;
      }
    }
  }
  return result;
}

SpoolerStop::SpoolerStop(InstallSession* session) : session_(session) {
  if (session) LogLine(*session, L">Restart Spooler");
  scm_.reset(OpenLocalScm());
  if (!scm_) {
    if (session) LogServiceManagerOpenFailed(*session);
    return;
  }
  service_.reset(Os().OpenServiceW(scm_.get(), L"spooler", kRestartAccess));
  if (!service_) {
    if (session) LogSpoolerOpenFailed(*session);
    return;
  }
  SERVICE_STATUS status = {};
  if (!Os().ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) {
    DWORD error = Os().GetLastError();
    if (error != ERROR_SERVICE_NOT_ACTIVE && session)
      LogControlServiceFailed(*session, error);
  }
  stopRequested_ = true;
  status = {};
  Os().QueryServiceStatus(service_.get(), &status);
  for (int poll = 0; poll < kPolls; ++poll) {
    if (status.dwCurrentState == SERVICE_STOPPED) return;
    Os().Sleep(kPollMs);
    Os().QueryServiceStatus(service_.get(), &status);
  }
  if (status.dwCurrentState != SERVICE_STOPPED && session)
    LogSpoolerStopFailed(*session);
}

void SpoolerStop::End() {
  if (ended_) return;
  ended_ = true;
  // The start is waited for before either handle goes; the service's goes
  // before the manager's.
  if (service_ && stopRequested_ && !StartSpoolerAndWait(service_.get()) && session_)
    LogSpoolerStartFailed(*session_);
  service_.reset();
  scm_.reset();
}

void RestartSpooler(InstallSession* session) {
  SpoolerStop stopped(session);
}

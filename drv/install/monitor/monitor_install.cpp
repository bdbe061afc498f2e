#include "files/files.h"
#include "monitor/monitor.h"
#include "monitor/port_text.h"
#include "platform/platform.h"
#include "service/spooler.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

constexpr int kRegistrationAttempts = 5;
constexpr DWORD kRegistrationPauseMs = 50;

}  // namespace

void InstallPortMonitor(InstallSession& session) {
  LogSection section(session, L">AddMonitor");

  const wchar_t* monitorFile = session.MonitorFile ? session.MonitorFile : L"";
  if (!session.CopyMonitor) {
    LogLine(session, L"Skip copy monitor file");
  } else {
    LogLine(session, L"Copy monitor file");
    // The spooler keeps a registered monitor loaded, and Windows refuses to
    // overwrite a loaded DLL: the second try is made with the spooler stopped.
    if (CopyComponentFile(session, Text(session.SystemDirectory), monitorFile, nullptr, 0,
                          false) != S_OK) {
      SpoolerStop stopped(&session);
      if (CopyComponentFile(session, Text(session.SystemDirectory), monitorFile, nullptr, 0,
                            true) != S_OK)
        session.Monitor.CopyFailed = 1;
    }
  }

  MONITOR_INFO_2W monitor = {};
  monitor.pName = const_cast<LPWSTR>(kProductPort);
  monitor.pEnvironment = const_cast<LPWSTR>(session.Environment);
  monitor.pDLLName = const_cast<LPWSTR>(monitorFile);
  // A spooler that has just been started may refuse the monitor for a moment.
  bool added = false;
  for (int attempt = 0; attempt < kRegistrationAttempts && !added; ++attempt) {
    if (attempt > 0) Os().Sleep(kRegistrationPauseMs);
    if (Os().AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor))) {
      LogLine(session, L"AddMonitor - OK :)");
      NoteMonitorRegistered(session);
      added = true;
    } else {
      LogLine(session, L"AddMonitor - failed. Trying to wait and install again");
    }
  }
  if (!added) {
    LogMonitorInstallFailed(session);
    return;
  }

  RestoreRedirectedPrinters(session);
}

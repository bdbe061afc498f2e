#include <cwchar>

#include "monitor/monitor.h"
#include "monitor/port_text.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "service/spooler.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

const MONITOR_INFO_2W* MonitorRecord(const MonitorList& list, int32_t index) {
  if (!list.buffer || list.level != 2 || index < 0 || static_cast<uint32_t>(index) >= list.count)
    return nullptr;
  return reinterpret_cast<const MONITOR_INFO_2W*>(list.buffer) + index;
}

}  // namespace

bool DeleteProductMonitor(const wchar_t* environment) {
  return Os().DeleteMonitorW(nullptr, const_cast<LPWSTR>(environment),
                             const_cast<LPWSTR>(kProductPort)) != FALSE;
}

void RemovePortMonitor(InstallSession& session, const MonitorList& list) {
  LogSection section(session, L">DeleteMonitor");

  if (list.count > 0)
    LogMonitorList(session, list);
  else
    LogLine(session, L"BTW, there is no port monitors on this system.");

  int32_t index = FindProductMonitor(list);
  bool found = index >= 0;
  if (found)
    LogLine(session, L"Port monitor is found. Index=%d", index + 1);
  else
    LogLine(session, L"No Loomscribe port monitor was found.");

  // The monitor file: under the name it was registered with, else under the
  // name this program installs it with; always in the system directory.
  WideBuffer fileName = CopyBuffer(session.SystemDirectory);
  const wchar_t* bareName = nullptr;
  if (found) {
    LogLine(session, L"Trying to get monitor filename from MONITOR_INFO_2");
    const MONITOR_INFO_2W* record = MonitorRecord(list, index);
    if (record) bareName = record->pDLLName;
  } else {
    LogLine(session, L"Computing monitor filename");
    bareName = session.MonitorFile;
  }
  if (bareName && *bareName) Append(fileName, bareName);
  LogLine(session, L"Auto calculated monitor file name: %s", Text(fileName));
  // Without a file name the path is the system directory itself, and without
  // the system directory it is a bare name relative to the current
  // directory: neither is the monitor's file, so neither is read or deleted.
  bool haveFile = bareName && *bareName && Length(session.SystemDirectory) > 0;

  bool attemptDeletion = true;
  if (!session.Reinstall) {
    LogLine(session, L"There is no check for monitor version");
  } else {
    // Decided once per install, before anything was changed.
    PlanMonitorFrom(session, list);
    int32_t build = haveFile ? PlannedMonitorBuild(session, Text(fileName)) : -1;
    if (IsCompatibleMonitorBuild(build)) {
      LogLine(session, L"Version (%d) is compatible, proceed without uninstall", build);
      if (found)
        session.InstallMonitor = 0;
      else
        session.CopyMonitor = 0;
      LogLine(session, L"InstallMonitor == %d, CopyMonitor == %d", session.InstallMonitor ? 1 : 0,
              session.CopyMonitor ? 1 : 0);
      attemptDeletion = false;
    } else if (build == -1) {
      LogLine(session, L"Version is unknown, proceed with reinstall");
    } else {
      LogLine(session, L"Version (%d) is not supported, proceed with reinstall", build);
    }
  }

  if (attemptDeletion) {
    bool deleted = DeleteProductMonitor(session.Environment);
    if (!deleted && !found) {
      LogLine(session, L"Can't delete monitor and monitor was not found. So everything should be ok");
    } else if (!deleted) {
      LogLine(session, L"Can't delete monitor from the first try");
      RedirectPrinters(session);
      deleted = DeleteProductMonitor(session.Environment);
      if (!deleted) {
        RestartSpooler(&session);
        deleted = DeleteProductMonitor(session.Environment);
        if (!deleted) {
          LogMonitorRemoveFailed(session);
          PutBackRedirectedPrinters(session);
        }
      }
    }
    if (deleted) {
      NoteMonitorRemoved(session);
      if (haveFile && !Os().DeleteFileW(Text(fileName)))
        AddPendingDelete(session.PendingDeletes, Text(fileName));
      LogLine(session, L"Monitor was removed :)");
    }
  }

}

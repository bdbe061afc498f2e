// The install and uninstall sequences: one session per command, the
// uninstall half, the file clean-ups around spooler restarts, the install
// half, the files left for the next restart of Windows and the log window.
#include "sequences/sequences.h"

#include <cwchar>

#include "driver/driver.h"
#include "files/files.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "journal/journal.h"
#include "printers/journal.h"
#include "previous/previous.h"
#include "printers/printers.h"
#include "service/spooler.h"
#include "session/log_file.h"
#include "session/log_section.h"
#include "session/log_window.h"
#include "session/run_lock.h"
#include "session/session.h"
#include "tray/tray.h"

namespace {

// Files the spooler keeps open (a loaded monitor, a driver file in use) can
// only go while the service is stopped.
void DeleteWithSpoolerStopped(InstallSession& session) {
  SpoolerStop stopped(&session);
  DeleteFileTry(session);
}

// One plain pass, and a pass with the spooler stopped for what is still held.
void DeleteRemainingFiles(InstallSession& session) {
  if (!session.PendingDeletes) return;
  DeleteFileTry(session);
  if (session.PendingDeletes) DeleteWithSpoolerStopped(session);
}

// Deletions that Windows holds for its next restart, done now.
void ApplyQueuedDeletes() {
  PendingRenameTable table = ReadPendingRenames();
  ApplyPendingDeletes(table);
  ReleasePendingRenames(table);
}

// Stopping the tray program also deletes the file its Run value names. In a
// re-install that is, as a rule, the very file the install half is about to
// start again (the product installer has just put it there): it stays. An
// uninstall lists a tray program it cannot delete (one still running in
// another user's session) with the other files left for the restart.
void StopTrayKeepingOwnProgram(InstallSession& session) {
  WideBuffer own;
  if (session.Reinstall) own = TrayProgramPath(session);
  StopAndUnregisterTray(Length(own) > 0 ? Text(own) : nullptr,
                        session.Reinstall ? nullptr : &session.PendingDeletes);
}

// An uninstall before this run may have left the tray program queued for
// deletion at the next restart; the product installer has put it back since.
// The queue is cleared of it before queued deletions are carried out, or the
// install would delete the program it is about to register.
void KeepTrayProgramFromQueuedDeletion(InstallSession& session) {
  WideBuffer tray = TrayProgramPath(session);
  if (Length(tray) == 0) return;
  PendingRenameTable table = ReadPendingRenames();
  for (int32_t pair = 0; pair < table.pairCount; ++pair) {
    const wchar_t* source = table.entries ? table.entries[2 * pair] : nullptr;
    if (!source || table.entries[2 * pair + 1]) continue;
    if (SamePathText(SkipNtPrefix(source), Text(tray)) && DropQueuedDeletion(source))
      LogLine(session, L"Kept from deletion at restart: %s", source);
  }
  ReleasePendingRenames(table);
}

void SetUpSession(InstallSession& session, const RunLock& lock) {
  BeginSession(session);
  LogRunLockTaken(session, lock);
  CheckSpooler(session);
  SetPlatformFiles(session);
  TakeSessionDirectories(session);
  MarkDefaultPrinter(session);
}

// Hands every path still listed to Windows for deletion at its next restart
// and empties the list. Returns how many were accepted. A file Windows will
// not take either stays for good: that is an error of the run.
uint32_t ScheduleForRestart(InstallSession& session) {
  uint32_t scheduled = 0;
  for (PendingDelete* node = session.PendingDeletes.head; node; node = node->next) {
    // An empty path names no file: MoveFileExW would only fail on it.
    if (!node->path || !node->path[0]) continue;
    if (Os().MoveFileExW(node->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) ++scheduled;
    else LogFileDeleteFailed(session, node->path);
  }
  ReleasePendingDeletes(session.PendingDeletes);
  // Exit code 100 hides a needed restart; the log says so.
  if (session.ErrorCount != 0 && scheduled > 0)
    LogLine(session, L"%d file(s) wait for the next restart of Windows",
            static_cast<int>(scheduled));
  return scheduled;
}

// The end of a run: files for the restart, the log file, the lock, the log
// window, the results. The log file is written while the run still holds the
// lock, and before the window, which may never be closed.
RunResult FinishSession(InstallSession& session, HWND parentWindow, RunLock& lock,
                        const wchar_t* kind) {
  RunResult result;
  result.scheduledForRestart = ScheduleForRestart(session);
  WriteRunLogFile(session, kind, lock.held);
  ReleaseRunLock(lock, lock.held && std::wcscmp(kind, L"uninstall") == 0);
  // Shift is sampled only for an error-free run: with errors the window is
  // shown anyway.
  if (session.ErrorCount != 0 || Os().GetAsyncKeyState(VK_SHIFT) < 0)
    ShowLogWindow(session, parentWindow);
  result.errorsCounted = session.ErrorCount != 0;
  EndSession(session);
  return result;
}

}  // namespace

void UnInstall(InstallSession& session) {
  LogSection section(session, L">UnInstall");
  StopTrayKeepingOwnProgram(session);

  LogLine(session, L"EnumMonitors");
  MonitorList monitors;
  ListMonitors(monitors, session);
  LogLine(session, L"%d Monitors found.", static_cast<int>(monitors.count));

  LogLine(session, L"EnumPrinterDrivers for %s", session.Environment ? session.Environment : L"");
  DriverList drivers;
  bool listed = ListDrivers(drivers, session.Environment);
  LogLine(session, L"%d drivers found", static_cast<int>(drivers.count));
  // An uninstall that cannot tell whether the driver is there cannot remove
  // it: the run did not do its work. (An install adds it over whatever is.)
  if (!listed && !session.Reinstall) LogDriverRemoveFailed(session);

  DeleteAllPrinters(session);
  RemovePrinterDriver(session, drivers);
  RemovePortMonitor(session, monitors);
  RemoveCutCopies(session);
  if (session.PendingDeletes) DeleteFileTry(session);

  FreeDriverList(drivers);
  FreeMonitorList(monitors);
}

void ReInstall(InstallSession& session) {
  LogSection section(session, 2, L">ReInstall");
  session.Reinstall = 1;

  UnInstall(session);
  if (session.PendingDeletes) {
    SpoolerStop stopped(&session);
    DeleteFileTry(session);
    // What resists even now is dropped, not scheduled: the install half may
    // put a new file under the same name, which a deletion at restart would
    // then take away.
    ReleasePendingDeletes(session.PendingDeletes);
  }
  KeepTrayProgramFromQueuedDeletion(session);
  ApplyQueuedDeletes();
  // Those deletions may have taken the very library that the removal found
  // compatible and meant to register without a copy.
  RecheckKeptMonitorLibrary(session);

  if (session.InstallMonitor) InstallPortMonitor(session);
  InstallPrinterDriver(session);
  PutBackPreviousInstallation(session);
  RecreateSavedPrinters(session);
  RegisterAndStartTray(session);
  // An uninstall before this run may have queued a component file that the
  // product now relies on (a kept monitor's library) for deletion at boot.
  KeepComponentFiles(session);
  DeleteRemainingFiles(session);
}

void FullUninstall(InstallSession& session) {
  UnInstall(session);
  ApplyQueuedDeletes();
  DeleteRemainingFiles(session);
}

RunResult RunInstall(HWND parentWindow) {
  InstallSession session;
  RunLock lock = TakeRunLock();
  if (!lock.held) {
    LogRunLockTimeOut(session, lock);
    return FinishSession(session, parentWindow, lock, L"install");
  }
  SetUpSession(session, lock);
  // Nothing is removed unless everything needed to put it back is at hand,
  // and the printers the run is about to take away are journaled first;
  // when either cannot be done the run changes nothing.
  ComponentSources sources;
  CarriedJournal carried;
  session.Journal = &carried;
  PreviousInstallation previous;
  session.Previous = &previous;
  if (HoldComponentSources(session, sources) && KeepPreviousInstallation(session, previous) &&
      PrepareJournal(session))
    ReInstall(session);
  ReleaseComponentSources(sources);
  // Kept until a run has ended without error.
  if (session.ErrorCount == 0) DropPreviousInstallation(session);
  session.Previous = nullptr;
  journal::Close(carried.store);
  session.Journal = nullptr;
  return FinishSession(session, parentWindow, lock, L"install");
}

RunResult RunUninstall(HWND parentWindow) {
  InstallSession session;
  RunLock lock = TakeRunLock();
  if (!lock.held) {
    LogRunLockTimeOut(session, lock);
    return FinishSession(session, parentWindow, lock, L"uninstall");
  }
  SetUpSession(session, lock);
  CarriedJournal carried;
  session.Journal = &carried;
  FullUninstall(session);
  // Nothing is carried past an uninstall; printers it moved to "file:" stay.
  ClearJournal(session);
  if (session.ErrorCount == 0) DropPreviousInstallation(session);
  journal::Close(carried.store);
  session.Journal = nullptr;
  return FinishSession(session, parentWindow, lock, L"uninstall");
}

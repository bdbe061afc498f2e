// An install removes the old installation, printers included, before it puts
// the new one in place; what it removes it can only bring back with the
// component files from its own folder. So before the removal touches
// anything, every file the install half cannot do without is opened here the
// way the copy will open it, and held (read sharing only) until the install
// half has copied it: a file that is missing or held by someone else now stops
// the run while the machine is still as it was, and none can be taken away
// in between. The driver's staged copies must also be replaceable, and the
// folders the copies go to must take their bytes.
#include <initializer_list>

#include "files/files.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "sequences/sequences.h"
#include "session/session.h"

namespace {

bool Hold(InstallSession& session, ComponentSources& sources, const wchar_t* name) {
  HANDLE file = OpenComponentSource(session, name);
  if (file == INVALID_HANDLE_VALUE) {
    LogCopySourceFailed(session, name ? name : L"");
    return false;
  }
  sources.held[sources.count++] = file;
  return true;
}

// Error 9 for a component's destination, with the last error the failed step
// left (forming the path must not change it).
void LogDestinationFailed(InstallSession& session, const wchar_t* directory,
                          const wchar_t* name) {
  WideBuffer destination;
  DWORD error = Os().GetLastError();
  ComponentPath(destination, directory, name);
  Os().SetLastError(error);
  LogCopyDestinationFailed(session, Text(destination));
}

// A file left in the way of a copy (a stale staged copy, the leftover of a
// cut-off copy) must be one the copy can replace.
bool Replaceable(InstallSession& session, const wchar_t* directory, const wchar_t* name,
                 bool temporary) {
  WideBuffer path;
  bool formed = temporary ? ComponentTempPath(path, directory, name)
                          : ComponentPath(path, directory, name);
  // Probed and let go at once: Wine refuses to replace a file that is open at
  // all, and the copy replaces this very file.
  bool ok = !formed || CheckReplaceable(session, Text(path));
  // Named by its destination, as the copy names it.
  if (!ok) LogDestinationFailed(session, directory, name);
  return ok;
}

// The size of a component's source file; 0 when it cannot be had (a missing
// help file is copied as nothing).
uint64_t SourceBytes(const InstallSession& session, const wchar_t* name) {
  UniqueFile file(OpenComponentSource(session, name));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!file || !Os().GetFileInformationByHandle(file.get(), &info)) return 0;
  return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Whether the copies this run makes fit where they go: a read-only or full
// volume would otherwise fail them only after the removal. `name` stands for
// the destination in the log.
bool Writable(InstallSession& session, const wchar_t* directory, const wchar_t* name,
              uint64_t bytes) {
  if (CheckRoomToWrite(directory, name, bytes)) return true;
  LogDestinationFailed(session, directory, name);
  return false;
}

}  // namespace

bool HoldComponentSources(InstallSession& session, ComponentSources& sources) {
  PlanMonitor(session);
  bool ok = (!MonitorSourceNeeded(session) || Hold(session, sources, session.MonitorFile)) &&
            Hold(session, sources, session.DriverFile) && Hold(session, sources, session.UiFile);
  // The help file is not needed to bring the printers back.
  if (ok && Length(session.DriverDirectory) > 0) {
    const wchar_t* directory = Text(session.DriverDirectory);
    for (const wchar_t* name : {session.DriverFile, session.UiFile}) {
      ok = ok && Replaceable(session, directory, name, false) &&
           Replaceable(session, directory, name, true);
    }
  }
  if (ok && MonitorSourceNeeded(session) && Length(session.SystemDirectory) > 0)
    ok = Replaceable(session, Text(session.SystemDirectory), session.MonitorFile, true);
  // The staged copies go to the driver directory, and the spooler copies
  // them on into its version folder.
  if (ok && Length(session.DriverDirectory) > 0) {
    uint64_t driverBytes = SourceBytes(session, session.DriverFile) +
                           SourceBytes(session, session.UiFile) +
                           SourceBytes(session, session.HelpFile);
    WideBuffer store = CopyBuffer(session.DriverDirectory);
    ok = Writable(session, Text(session.DriverDirectory), session.DriverFile, driverBytes) &&
         Append(store, L"3\\") &&
         Writable(session, Text(store), session.DriverFile, driverBytes);
  }
  if (ok && MonitorSourceNeeded(session) && Length(session.SystemDirectory) > 0)
    ok = Writable(session, Text(session.SystemDirectory), session.MonitorFile,
                  SourceBytes(session, session.MonitorFile));
  if (!ok) ReleaseComponentSources(sources);
  return ok;
}

void ReleaseComponentSources(ComponentSources& sources) {
  for (int i = 0; i < sources.count; ++i) Os().CloseHandle(sources.held[i]);
  sources.count = 0;
}

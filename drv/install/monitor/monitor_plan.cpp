// What an install may rely on of the port monitor that is already there.
//
// An install removes the old installation before it puts the new one in
// place. Whether the registered monitor stays (a compatible build), and so
// whether the install needs the monitor library from its own folder at all,
// is decided here, once, before anything is changed; the removal, the
// install half and the end of the install all read the same record.
#include <cwchar>

#include "files/files.h"
#include "files/version_resource.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "platform/sized_call.h"
#include "session/session.h"

namespace {

// Builds from 1214 on share the monitor interface of this program's build;
// such a monitor may stay registered across a re-install.
constexpr int32_t kOldestCompatibleBuild = 1214;
constexpr int32_t kNewestCompatibleBuild = kBuildNumber;

bool Absent(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

const wchar_t* FileNameOf(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

// Whether Windows holds a deletion of `path` for its next boot.
bool QueuedForDeletion(const wchar_t* path) {
  PendingRenameTable table = ReadPendingRenames();
  bool queued = false;
  for (int32_t pair = 0; pair < table.pairCount && !queued; ++pair) {
    const wchar_t* source = table.entries ? table.entries[2 * pair] : nullptr;
    if (source && !table.entries[2 * pair + 1] && SamePathText(SkipNtPrefix(source), path))
      queued = true;
  }
  ReleasePendingRenames(table);
  return queued;
}

// The monitors as EnumMonitorsW gives them at level 2, without a log line:
// this look comes before the run's own, logged enumeration.
void ReadMonitorsQuietly(MonitorList& list) {
  UniqueGlobal<BYTE> buffer;
  DWORD size = 0;
  DWORD needed = 0;
  DWORD returned = 0;
  auto enumerate = [&returned](LPBYTE block, DWORD bytes, DWORD* reported) {
    return Os().EnumMonitorsW(nullptr, 2, block, bytes, reported, &returned);
  };
  if (CallWithNeededSize(enumerate, buffer, size, needed) != SizedCall::kFilled) return;
  list.buffer = buffer.release();
  list.level = 2;
  const DWORD fits = needed / sizeof(MONITOR_INFO_2W);
  list.count = returned < fits ? returned : fits;
}

// Whether the queued deletions carried out during the run took the library
// that the removal left in place for registration.
bool MonitorLibraryLost(const InstallSession& session) {
  const MonitorPlan& plan = session.Monitor;
  if (!plan.Queued || Length(plan.Library) == 0) return false;
  if (Os().GetFileAttributesW(Text(plan.Library)) != INVALID_FILE_ATTRIBUTES) return false;
  return Absent(Os().GetLastError());
}

}  // namespace

bool IsCompatibleMonitorBuild(int32_t build) {
  return build >= kOldestCompatibleBuild && build <= kNewestCompatibleBuild;
}

void PlanMonitorFrom(InstallSession& session, const MonitorList& list) {
  MonitorPlan& plan = session.Monitor;
  if (plan.Made) return;
  plan.Made = 1;
  int32_t index = FindProductMonitor(list);
  const wchar_t* name = session.MonitorFile;
  if (index >= 0) {
    plan.Registered = 1;
    name = list.level == 2 ? reinterpret_cast<const MONITOR_INFO_2W*>(list.buffer)[index].pDLLName
                           : nullptr;
  }
  Release(plan.Library);
  // Without a file name or a system directory there is no library to look
  // at (a bare name would be looked for in the current directory).
  if (name && *name && Length(session.SystemDirectory) > 0) {
    plan.Library = CopyBuffer(session.SystemDirectory);
    if (!Append(plan.Library, name)) Release(plan.Library);
  }
  if (Length(plan.Library) == 0) return;
  plan.Build = FileBuildNumber(Text(plan.Library));
  plan.Queued = QueuedForDeletion(Text(plan.Library)) ? 1 : 0;
}

void PlanMonitor(InstallSession& session) {
  if (session.Monitor.Made) return;
  MonitorList list;
  ReadMonitorsQuietly(list);
  PlanMonitorFrom(session, list);
  FreeMonitorList(list);
}

bool MonitorSourceNeeded(const InstallSession& session) {
  const MonitorPlan& plan = session.Monitor;
  // A registered, compatible monitor stays as it is, library and all, unless
  // that library is about to go at the next boot.
  return !(plan.Made && plan.Registered && IsCompatibleMonitorBuild(plan.Build) && !plan.Queued);
}

int32_t PlannedMonitorBuild(const InstallSession& session, const wchar_t* library) {
  const MonitorPlan& plan = session.Monitor;
  if (plan.Made && SamePathText(Text(plan.Library), library)) return plan.Build;
  return FileBuildNumber(library);
}

void RecheckKeptMonitorLibrary(InstallSession& session) {
  if (session.InstallMonitor && !session.CopyMonitor && MonitorLibraryLost(session))
    session.CopyMonitor = 1;
}

const wchar_t* RegisteredMonitorLibrary(const InstallSession& session) {
  const MonitorPlan& plan = session.Monitor;
  return plan.Registered && Length(plan.Library) > 0 ? Text(plan.Library) : nullptr;
}

bool MonitorLibraryToCopyBack(const InstallSession& session) {
  const wchar_t* library = RegisteredMonitorLibrary(session);
  // Only this program's own library can be put back, and only once: a copy
  // the install half could not make has been logged already.
  if (!library || session.Monitor.CopyFailed ||
      !SameAsciiName(FileNameOf(library), session.MonitorFile))
    return false;
  if (Os().GetFileAttributesW(library) != INVALID_FILE_ATTRIBUTES) return false;
  return Absent(Os().GetLastError());
}

bool ProductMonitorRegistered(bool* answered) {
  MonitorList list;
  ReadMonitorsQuietly(list);
  // An empty answer still lists "Local Port" on any working spooler.
  *answered = list.buffer != nullptr;
  bool registered = FindProductMonitor(list) >= 0;
  FreeMonitorList(list);
  return registered;
}

void NoteMonitorRemoved(InstallSession& session) { session.Monitor.Registered = 0; }

void NoteMonitorRegistered(InstallSession& session) {
  MonitorPlan& plan = session.Monitor;
  plan.Registered = 1;
  Release(plan.Library);
  if (Length(session.SystemDirectory) > 0 && session.MonitorFile && *session.MonitorFile) {
    plan.Library = CopyBuffer(session.SystemDirectory);
    if (!Append(plan.Library, session.MonitorFile)) Release(plan.Library);
  }
}

// Putting the previous installation back when the new one is not working
// after the driver step: the user keeps a working printer.
#include <cwchar>

#include "driver/driver.h"
#include "files/files.h"
#include "monitor/monitor.h"
#include "monitor/port_text.h"
#include "platform/platform.h"
#include "previous/previous.h"
#include "previous/previous_files.h"
#include "service/spooler.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

constexpr int kRegistrationAttempts = 5;
constexpr DWORD kRegistrationPauseMs = 50;

struct Staged {
  WideBuffer paths[kMaxKeptFiles];
  int count = 0;
  const wchar_t* Find(const wchar_t* name) const {
    for (int i = 0; i < count; ++i) {
      const wchar_t* path = Text(paths[i]);
      const wchar_t* slash = std::wcsrchr(path, L'\\');
      if (SamePathText(slash ? slash + 1 : path, name)) return path;
    }
    return L"";
  }
};

// Every kept file the put-back needs, checked against its record before
// anything is touched; the first that does not match is named in `failed`.
bool KeptFilesMatch(const PreviousInstallation& previous, const wchar_t* folder,
                    WideBuffer& failed) {
  for (uint32_t i = 0; i < previous.fileCount; ++i) {
    const KeptFile& kept = previous.files[i];
    if (!kept.present) continue;
    if (!KeptPath(failed, folder, kept.name, kept.role) || !MatchesRecord(Text(failed), kept))
      return false;
  }
  return true;
}

// The kept driver files, staged in the driver directory as the driver step
// stages new ones. A file the record names as absent is not staged.
bool StageDriverFiles(InstallSession& session, const PreviousInstallation& previous,
                      const wchar_t* folder, Staged& staged, WideBuffer& failed) {
  for (uint32_t i = 0; i < previous.fileCount; ++i) {
    const KeptFile& kept = previous.files[i];
    if (kept.role != kKeptDriverFile || !kept.present) continue;
    WideBuffer source;
    WideBuffer& target = staged.paths[staged.count];
    bool ok = KeptPath(source, folder, kept.name, kept.role) &&
              ComponentPath(target, Text(session.DriverDirectory), kept.name) &&
              CopyChecked(Text(source), Text(target), kept);
    if (!ok) {
      DWORD error = Os().GetLastError();
      Assign(failed, Text(target));
      Os().SetLastError(error);
      return false;
    }
    ++staged.count;
  }
  return true;
}

void DropStaged(InstallSession& session, Staged& staged) {
  for (int i = 0; i < staged.count; ++i)
    if (!Os().DeleteFileW(Text(staged.paths[i])))
      AddPendingDelete(session.PendingDeletes, Text(staged.paths[i]));
}

// The new monitor, when it is registered, makes way for the previous one.
bool RemoveNewMonitor(InstallSession& session) {
  if (DeleteProductMonitor(session.Environment)) return true;
  // Printers on its port keep it: they go to "file:" meanwhile.
  PutBackRedirectedPrinters(session);
  RedirectPrinters(session);
  if (DeleteProductMonitor(session.Environment)) return true;
  PutBackRedirectedPrinters(session);
  return false;
}

const KeptFile* KeptLibrary(const PreviousInstallation& previous) {
  for (uint32_t i = 0; i < previous.fileCount; ++i)
    if (previous.files[i].role == kKeptMonitorLibrary && previous.files[i].present)
      return &previous.files[i];
  return nullptr;
}

// The kept library back in the system directory, the new monitor removed
// first when it is registered.
bool PutBackMonitorLibrary(InstallSession& session, const PreviousInstallation& previous,
                           const wchar_t* folder, bool registered, WideBuffer& failed) {
  Assign(failed, previous.monitorLibrary);
  const KeptFile* kept = KeptLibrary(previous);
  if (!kept) {
    Os().SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (registered && !RemoveNewMonitor(session)) return false;
  NoteMonitorRemoved(session);
  WideBuffer source, target;
  bool ok = KeptPath(source, folder, kept->name, kept->role) &&
            ComponentPath(target, Text(session.SystemDirectory), kept->name);
  if (ok && !CopyChecked(Text(source), Text(target), *kept)) {
    // A library still loaded refuses to be replaced while the spooler runs.
    SpoolerStop stopped(&session);
    ok = CopyChecked(Text(source), Text(target), *kept);
  }
  if (!ok && Length(target) > 0) {
    // Wine's spooler runs in this process, and a library it failed to load
    // stays open here: it cannot be replaced or deleted, only renamed. It
    // goes out of the way and is deleted later.
    WideBuffer aside;
    if (Assign(aside, Text(target)) && Append(aside, L".old") &&
        Os().MoveFileExW(Text(target), Text(aside), MOVEFILE_REPLACE_EXISTING)) {
      if (!Os().DeleteFileW(Text(aside))) AddPendingDelete(session.PendingDeletes, Text(aside));
      ok = CopyChecked(Text(source), Text(target), *kept);
    }
  }
  if (!ok) Assign(failed, Text(target));
  return ok;
}

}  // namespace

void PutBackPreviousInstallation(InstallSession& session) {
  PreviousInstallation* previous = session.Previous;
  if (!previous || (!previous->hasDriver && !previous->hasMonitor)) return;
  bool answered = false;
  const bool monitorThere = ProductMonitorRegistered(&answered);
  if (monitorThere && session.DriverReady) return;

  LogSection section(session, L">Put back the previous installation");
  WideBuffer folderPath, failed;
  KeptFolder folder;
  Staged staged;
  bool ok = OpenKeptFolder(session, folder, folderPath);
  if (!ok) Assign(failed, Text(folderPath));
  // Nothing is put back unless every kept file is whole and the driver's can
  // be staged: a help file that cannot be copied puts nothing back.
  ok = ok && KeptFilesMatch(*previous, Text(folderPath), failed);
  ok = ok && (!previous->hasDriver ||
              StageDriverFiles(session, *previous, Text(folderPath), staged, failed));
  // A monitor the removal kept, as a compatible build, is the previous one.
  const bool monitorKept = monitorThere && !session.InstallMonitor;
  if (ok && previous->hasMonitor && !monitorKept) {
    ok = PutBackMonitorLibrary(session, *previous, Text(folderPath), monitorThere, failed);
    if (ok) {
      MONITOR_INFO_2W monitor = {};
      monitor.pName = previous->monitorName;
      monitor.pEnvironment = const_cast<LPWSTR>(session.Environment);
      monitor.pDLLName = previous->monitorLibrary;
      bool added = false;
      for (int attempt = 0; attempt < kRegistrationAttempts && !added; ++attempt) {
        if (attempt > 0) Os().Sleep(kRegistrationPauseMs);
        added = Os().AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)) != FALSE;
      }
      ok = added;
      if (added) {
        NoteMonitorRegistered(session);
        LogLine(session, L"Put back: monitor '%s'", previous->monitorName);
        RestoreRedirectedPrinters(session);
      }
    }
  }
  if (ok && previous->hasDriver) {
    Assign(failed, previous->driverName);
    wchar_t dependent[kKeptListChars] = {};
    size_t used = 0;
    for (const wchar_t* name = previous->dependentFiles; *name; name += std::wcslen(name) + 1) {
      const wchar_t* path = staged.Find(name);
      size_t length = std::wcslen(path);
      if (!length || used + length + 2 > kKeptListChars) continue;
      std::wmemcpy(dependent + used, path, length + 1);
      used += length + 1;
    }
    DRIVER_INFO_6W record = {};
    record.cVersion = previous->driverVersion;
    record.pName = previous->driverName;
    record.pEnvironment = const_cast<LPWSTR>(session.Environment);
    record.pDriverPath = const_cast<LPWSTR>(staged.Find(previous->driverFile));
    record.pDataFile = const_cast<LPWSTR>(staged.Find(previous->dataFile));
    record.pConfigFile = const_cast<LPWSTR>(staged.Find(previous->configFile));
    record.pHelpFile = const_cast<LPWSTR>(staged.Find(previous->helpFile));
    record.pDependentFiles = used ? dependent : nullptr;
    record.pMonitorName = previous->languageMonitor[0] ? previous->languageMonitor : nullptr;
    record.pDefaultDataType = previous->defaultDataType[0] ? previous->defaultDataType : nullptr;
    record.pszzPreviousNames = previous->previousNames[0] ? previous->previousNames : nullptr;
    record.ftDriverDate = previous->driverDate;
    record.dwlDriverVersion = previous->driverVersionNumber;
    record.pszMfgName = previous->maker;
    record.pszOEMUrl = previous->makerUrl;
    record.pszHardwareID = previous->hardwareId;
    record.pszProvider = previous->provider;
    const wchar_t* paths[kMaxKeptFiles];
    for (int i = 0; i < staged.count; ++i) paths[i] = Text(staged.paths[i]);
    ok = AddDriverRecord(&record) && DriverFilesInPlace(session, paths, staged.count);
    if (ok) {
      session.DriverReady = 1;
      LogLine(session, L"Put back: driver '%s'", previous->driverName);
    }
  }
  DropStaged(session, staged);
  if (ok) {
    previous->putBack = 1;
  } else {
    LogCantPutBackPrevious(session, Length(failed) ? Text(failed) : L"");
  }
}

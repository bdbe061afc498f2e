// Keeping the previous installation before an install changes anything, the
// copies of kept files, and the clean-up after a run without error.
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "driver/driver.h"
#include "files/files.h"
#include "files/safe_folder.h"
#include "journal/journal_store.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "previous/previous.h"
#include "previous/previous_files.h"
#include "previous/sha256.h"
#include "session/session.h"

namespace {

constexpr DWORD kRecordBytes = 64 * 1024;

const wchar_t* BareName(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

// `text` into a field of the record; false when it does not fit.
bool Put(wchar_t* field, size_t capacity, const wchar_t* text) {
  if (!text) text = L"";
  size_t length = std::wcslen(text);
  if (length + 1 > capacity) return false;
  std::wmemcpy(field, text, length + 1);
  return true;
}

// A NUL-separated list into a field; with `bareNames`, each path's name only.
bool PutList(wchar_t* field, size_t capacity, const wchar_t* list, bool bareNames) {
  size_t used = 0;
  for (const wchar_t* item = list; item && *item; item += std::wcslen(item) + 1) {
    const wchar_t* text = bareNames ? BareName(item) : item;
    size_t length = std::wcslen(text);
    if (used + length + 2 > capacity) return false;
    std::wmemcpy(field + used, text, length + 1);
    used += length + 1;
  }
  field[used] = L'\0';
  return true;
}

const KeptFile* FindKept(const PreviousInstallation& previous, const wchar_t* name, uint32_t role) {
  for (uint32_t i = 0; i < previous.fileCount; ++i)
    if (previous.files[i].role == role && SamePathText(previous.files[i].name, name))
      return &previous.files[i];
  return nullptr;
}

// One installed file into the kept folder, noted in the record (once per
// name). Absent, it is noted as absent. False, with `failed` naming it, when
// it exists and cannot be kept.
bool KeepFile(PreviousInstallation& previous, const PreviousInstallation& earlier,
              const wchar_t* folder, const wchar_t* path, uint32_t role) {
  const wchar_t* name = BareName(path);
  if (!*name || FindKept(previous, name, role)) return true;
  if (previous.fileCount == kMaxKeptFiles) {
    Os().SetLastError(ERROR_TOO_MANY_NAMES);
    return false;
  }
  KeptFile& kept = previous.files[previous.fileCount];
  kept = KeptFile{};
  kept.role = role;
  if (!Put(kept.name, MAX_PATH, name)) {
    Os().SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  WideBuffer target;
  bool ok = KeptPath(target, folder, kept.name, role);
  if (ok) {
    if (Os().GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
        (Os().GetLastError() == ERROR_FILE_NOT_FOUND || Os().GetLastError() == ERROR_PATH_NOT_FOUND)) {
      // Gone since an earlier run kept it (a cut between the registration's
      // removal and the file's, say): that copy stays the one to put back.
      const KeptFile* before = FindKept(earlier, name, role);
      if (before && before->present) kept = *before;
      else kept.present = 0;
    } else {
      ok = CopyHashed(path, Text(target), &kept.size, kept.sha256);
      kept.present = 1;
    }
  }
  if (ok) ++previous.fileCount;
  return ok;
}

// The driver part of an earlier record: its fields and its kept files.
void TakeDriverPart(PreviousInstallation& to, const PreviousInstallation& from) {
  to = from;
  to.hasMonitor = 0;
  to.monitorName[0] = L'\0';
  to.monitorLibrary[0] = L'\0';
  to.fileCount = 0;
  for (uint32_t i = 0; i < from.fileCount; ++i)
    if (from.files[i].role == kKeptDriverFile) to.files[to.fileCount++] = from.files[i];
}

void TakeMonitorPart(PreviousInstallation& to, const PreviousInstallation& from) {
  to.hasMonitor = 1;
  std::memcpy(to.monitorName, from.monitorName, sizeof to.monitorName);
  std::memcpy(to.monitorLibrary, from.monitorLibrary, sizeof to.monitorLibrary);
  for (uint32_t i = 0; i < from.fileCount && to.fileCount < kMaxKeptFiles; ++i)
    if (from.files[i].role == kKeptMonitorLibrary) to.files[to.fileCount++] = from.files[i];
}

bool KeepDriver(PreviousInstallation& previous, const PreviousInstallation& earlier,
                const DRIVER_INFO_6W& record, const wchar_t* directory, const wchar_t* folder,
                const wchar_t** failed) {
  *failed = kProductDriver;
  previous.hasDriver = 1;
  previous.driverVersion = record.cVersion;
  previous.driverDate = record.ftDriverDate;
  previous.driverVersionNumber = record.dwlDriverVersion;
  if (!Put(previous.driverName, kKeptTextChars, record.pName) ||
      !Put(previous.driverFile, MAX_PATH, BareName(record.pDriverPath ? record.pDriverPath : L"")) ||
      !Put(previous.dataFile, MAX_PATH, BareName(record.pDataFile ? record.pDataFile : L"")) ||
      !Put(previous.configFile, MAX_PATH, BareName(record.pConfigFile ? record.pConfigFile : L"")) ||
      !Put(previous.helpFile, MAX_PATH, BareName(record.pHelpFile ? record.pHelpFile : L"")) ||
      !PutList(previous.dependentFiles, kKeptListChars, record.pDependentFiles, true) ||
      !Put(previous.languageMonitor, kKeptTextChars, record.pMonitorName) ||
      !Put(previous.defaultDataType, kKeptTextChars, record.pDefaultDataType) ||
      !PutList(previous.previousNames, kKeptListChars, record.pszzPreviousNames, false) ||
      !Put(previous.maker, kKeptTextChars, record.pszMfgName) ||
      !Put(previous.makerUrl, kKeptTextChars, record.pszOEMUrl) ||
      !Put(previous.hardwareId, kKeptTextChars, record.pszHardwareID) ||
      !Put(previous.provider, kKeptTextChars, record.pszProvider)) {
    Os().SetLastError(ERROR_BUFFER_OVERFLOW);
    return false;
  }
  for (const wchar_t* path : {record.pDriverPath, record.pDataFile, record.pConfigFile,
                              record.pHelpFile}) {
    if (!path || !*path || !InDriverDirectory(directory, path)) continue;
    *failed = path;
    if (!KeepFile(previous, earlier, folder, path, kKeptDriverFile)) return false;
  }
  for (const wchar_t* path = record.pDependentFiles; path && *path; path += std::wcslen(path) + 1) {
    if (!InDriverDirectory(directory, path)) continue;
    *failed = path;
    if (!KeepFile(previous, earlier, folder, path, kKeptDriverFile)) return false;
  }
  return true;
}

}  // namespace

bool KeepPreviousInstallation(InstallSession& session, PreviousInstallation& previous) {
  previous = PreviousInstallation{};
  // What an earlier run kept, for a component that is not there now.
  PreviousInstallation earlier;
  {
    UniqueGlobal<BYTE> bytes(static_cast<BYTE*>(Os().GlobalAlloc(GPTR, kRecordBytes)));
    DWORD size = kRecordBytes;
    if (bytes && !journal::ReadPreviousRecord(bytes.get(), &size)) size = 0;
    if (!bytes || size == 0 || !ParsePrevious(earlier, bytes.get(), size)) earlier = PreviousInstallation{};
  }

  DriverList drivers;
  ListDrivers(drivers, session.Environment);
  const int32_t index = FindProductDriver(drivers);
  PlanMonitor(session);
  const wchar_t* library = RegisteredMonitorLibrary(session);
  // A first install has nothing to keep; without the driver directory there
  // is no place to keep it in (that run has failed with error 6 already).
  if ((index < 0 && !library && !earlier.hasDriver && !earlier.hasMonitor) ||
      Length(session.DriverDirectory) == 0) {
    return true;
  }

  bool ok = true;
  const wchar_t* failed = nullptr;
  WideBuffer folderPath;
  KeptFolder folder;
  if (!OpenKeptFolder(session, folder, folderPath)) {
    ok = false;
    failed = Text(folderPath);
  }
  // A record left by an earlier run means that run did not end well (a run
  // without error drops it): what stands now may be its half-made work (a
  // new library copied in before a cut, the spooler still naming the old
  // monitor). The component that record holds is the last one known to
  // work, and it stays the one to put back; it is never replaced by nothing.
  if (ok && earlier.hasDriver) {
    TakeDriverPart(previous, earlier);
  } else if (ok && index >= 0) {
    const auto& record = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.buffer.get())[index];
    ok = KeepDriver(previous, earlier, record, Text(session.DriverDirectory), Text(folderPath),
                    &failed);
  }
  if (ok && earlier.hasMonitor) {
    TakeMonitorPart(previous, earlier);
  } else if (ok && library) {
    previous.hasMonitor = 1;
    failed = library;
    ok = Put(previous.monitorName, kKeptTextChars, kProductPort) &&
         Put(previous.monitorLibrary, MAX_PATH, BareName(library)) &&
         KeepFile(previous, earlier, Text(folderPath), library, kKeptMonitorLibrary);
  }

  if (!ok) {
    LogCantKeepPreviousFile(session, failed ? failed : L"");
    previous = PreviousInstallation{};
  }
  return ok;
}

bool RecordPreviousInstallation(const PreviousInstallation& previous, journal::Store& store) {
  size_t bytes = SerializePrevious(previous, nullptr);
  UniqueGlobal<BYTE> data(static_cast<BYTE*>(Os().GlobalAlloc(GPTR, bytes)));
  if (!data || bytes > kRecordBytes) {
    Os().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  SerializePrevious(previous, data.get());
  return journal::WritePreviousRecord(store, data.get(), static_cast<DWORD>(bytes));
}

bool CopyKeptFile(InstallSession& session, const wchar_t* name, uint32_t role,
                  const wchar_t* target) {
  PreviousInstallation* previous = session.Previous;
  if (!previous || !name) return false;
  const KeptFile* kept = FindKept(*previous, name, role);
  if (!kept || !kept->present) {
    Os().SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  WideBuffer folderPath, source;
  KeptFolder folder;
  bool ok = OpenKeptFolder(session, folder, folderPath) &&
            KeptPath(source, Text(folderPath), kept->name, role) &&
            CopyChecked(Text(source), target, *kept);
  return ok;
}

void DropPreviousInstallation(InstallSession& session) {
  WideBuffer folderPath;
  if (!KeptFolderPath(session, folderPath)) return;
  bool emptied = Os().GetFileAttributesW(Text(folderPath)) == INVALID_FILE_ATTRIBUTES;
  if (!emptied) {
    KeptFolder folder;
    WideBuffer opened;
    // Nothing is deleted in a folder that fails its check.
    if (OpenKeptFolder(session, folder, opened)) emptied = EmptyKeptFolder(Text(opened));
    folder.reset();
    if (emptied) Os().RemoveDirectoryW(Text(folderPath));
  }
  // A kept file that could not go keeps its record for the next run.
  if (emptied) journal::DeletePreviousRecord();
}

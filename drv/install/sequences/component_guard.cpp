// The files an installed product relies on must outlive the next restart of
// Windows. An uninstall that could not delete a held file queued its deletion
// for the next boot; an install before that boot may keep (or register
// without copying) a monitor whose library is that very file, and any queued
// deletion of a component file would break the product at the next boot.
#include <cwchar>
#include <initializer_list>

#include "driver/driver.h"
#include "files/files.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "previous/previous.h"
#include "sequences/sequences.h"
#include "session/session.h"

namespace {

constexpr int kMaxReliedOn = 5;

struct ReliedOnFile {
  WideBuffer path;
  const wchar_t* directory;  // where a lost copy goes back to (own text)
  const wchar_t* name;       // the component file name, or null when not ours
  WideBuffer ownDirectory;
  uint32_t keptRole;         // what the file is among the kept ones
};

// The file name after the last backslash.
const wchar_t* FileName(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

// The component that a driver-store file is a copy of, by name.
const wchar_t* ComponentNamed(const InstallSession& session, const wchar_t* name) {
  for (const wchar_t* component : {session.DriverFile, session.UiFile, session.HelpFile})
    if (SameAsciiName(component, name)) return component;
  return nullptr;
}

int CollectReliedOnFiles(InstallSession& session, ReliedOnFile* files) {
  int count = 0;
  // The library the registered monitor loads, whatever its name; none when
  // no product monitor is registered (an unused library is not kept).
  if (const wchar_t* library = RegisteredMonitorLibrary(session)) {
    ReliedOnFile& f = files[count++];
    Assign(f.path, library);
    f.directory = Text(session.SystemDirectory);
    f.name = nullptr;  // put back only under the conditions of MonitorLibraryToCopyBack
    f.keptRole = kKeptMonitorLibrary;
  }
  DriverList drivers;
  ListDrivers(drivers, session.Environment);
  int32_t index = FindProductDriver(drivers);
  if (index >= 0) {
    const DRIVER_INFO_6W& record = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.buffer)[index];
    for (const wchar_t* path :
         {record.pDriverPath, record.pConfigFile, record.pHelpFile, record.pDataFile}) {
      if (!path || !*path || count == kMaxReliedOn) continue;
      bool listed = false;
      for (int i = 0; i < count; ++i) listed = listed || SamePathText(Text(files[i].path), path);
      if (listed) continue;
      ReliedOnFile& f = files[count++];
      Assign(f.path, path);
      f.ownDirectory = ParentDirectory(f.path);
      Append(f.ownDirectory, L"\\");
      f.directory = Text(f.ownDirectory);
      f.name = ComponentNamed(session, FileName(path));
      f.keptRole = kKeptDriverFile;
    }
  }
  FreeDriverList(drivers);
  return count;
}

}  // namespace

void KeepComponentFiles(InstallSession& session) {
  ReliedOnFile files[kMaxReliedOn] = {};
  int count = CollectReliedOnFiles(session, files);

  // Queued deletions of those files leave the queue; renames stay.
  PendingRenameTable table = ReadPendingRenames();
  for (int32_t pair = 0; pair < table.pairCount; ++pair) {
    const wchar_t* source = table.entries ? table.entries[2 * pair] : nullptr;
    if (!source || table.entries[2 * pair + 1]) continue;
    for (int i = 0; i < count; ++i) {
      if (!SamePathText(SkipNtPrefix(source), Text(files[i].path))) continue;
      if (DropQueuedDeletion(source)) LogLine(session, L"Kept from deletion at restart: %s", source);
      break;
    }
  }
  ReleasePendingRenames(table);

  // A file carried off before the install ended is copied again: after a
  // put-back from the kept previous installation, never from this program's
  // folder, which holds the build that did not work.
  if (session.Previous && session.Previous->putBack) {
    for (int i = 0; i < count; ++i) {
      const wchar_t* path = Text(files[i].path);
      if (Os().GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) continue;
      if (!CopyKeptFile(session, FileName(path), files[i].keptRole, path))
        LogCopyFailed(session, path);
    }
  } else {
    if (MonitorLibraryToCopyBack(session))
      CopyComponentFile(session, Text(session.SystemDirectory), session.MonitorFile, nullptr, 0,
                        true);
    for (int i = 0; i < count; ++i) {
      if (!files[i].name) continue;
      if (Os().GetFileAttributesW(Text(files[i].path)) != INVALID_FILE_ATTRIBUTES) continue;
      CopyComponentFile(session, files[i].directory, files[i].name, nullptr, 0, true);
    }
  }
}

#include <cstddef>
#include <cwchar>
#include <utility>

#include "driver/driver.h"
#include "platform/platform.h"
#include "platform/sized_call.h"
#include "service/spooler.h"
#include "session/log_section.h"
#include "session/session.h"

namespace {

// The driver name of record `index` of a block of DRIVER_INFO_`level`
// records; null at a level this program does not read.
const wchar_t* DriverName(const BYTE* buffer, uint32_t level, uint32_t index) {
  switch (level) {
    case 1: return reinterpret_cast<const DRIVER_INFO_1W*>(buffer)[index].pName;
    case 2: return reinterpret_cast<const DRIVER_INFO_2W*>(buffer)[index].pName;
    case 3: return reinterpret_cast<const DRIVER_INFO_3W*>(buffer)[index].pName;
    case 4: return reinterpret_cast<const DRIVER_INFO_4W*>(buffer)[index].pName;
    case 5: return reinterpret_cast<const DRIVER_INFO_5W*>(buffer)[index].pName;
    case 6: return reinterpret_cast<const DRIVER_INFO_6W*>(buffer)[index].pName;
    default: return nullptr;
  }
}

// The files a driver record names: driver, data, configuration and help file,
// and the dependent files (a list of NUL-terminated names), at the levels
// that carry them.
struct DriverFileNames {
  const wchar_t* files[4] = {};
  const wchar_t* dependent = nullptr;
};

DriverFileNames FileNamesOf(const BYTE* buffer, uint32_t level, uint32_t index) {
  DriverFileNames names;
  auto firstThree = [&names](const auto& r) {
    names.files[0] = r.pDriverPath;
    names.files[1] = r.pDataFile;
    names.files[2] = r.pConfigFile;
  };
  auto all = [&names, &firstThree](const auto& r) {
    firstThree(r);
    names.files[3] = r.pHelpFile;
    names.dependent = r.pDependentFiles;
  };
  switch (level) {
    case 2: firstThree(reinterpret_cast<const DRIVER_INFO_2W*>(buffer)[index]); break;
    case 3: all(reinterpret_cast<const DRIVER_INFO_3W*>(buffer)[index]); break;
    case 4: all(reinterpret_cast<const DRIVER_INFO_4W*>(buffer)[index]); break;
    case 5: firstThree(reinterpret_cast<const DRIVER_INFO_5W*>(buffer)[index]); break;
    case 6: all(reinterpret_cast<const DRIVER_INFO_6W*>(buffer)[index]); break;
    default: break;
  }
  return names;
}

bool NamesFile(const DriverFileNames& names, const wchar_t* path) {
  for (const wchar_t* file : names.files)
    if (SamePathText(file, path)) return true;
  for (const wchar_t* file = names.dependent; file && *file; file += wcslen(file) + 1)
    if (SamePathText(file, path)) return true;
  return false;
}

// A file the uninstall may delete on the driver's behalf: one in the
// spooler's driver directory (its version folders included) that no other
// driver names. A record the spooler returns may name shared files.
bool DriverFileToDelete(const InstallSession& session, const DriverList& list, uint32_t index,
                        const wchar_t* path) {
  if (!path || !InDriverDirectory(Text(session.DriverDirectory), path)) return false;
  for (uint32_t other = 0; other < list.count; ++other)
    if (other != index && NamesFile(FileNamesOf(list.buffer.get(), list.level, other), path))
      return false;
  return true;
}

// Windows deletes a removed driver's files itself, except those something
// still holds; on Wine the compatibility path deletes them and may be
// refused just the same. In an uninstall, such files join the others that
// resisted: tried again with the spooler stopped, else deleted at the next
// restart. A re-install leaves them: its install half puts new files under
// the same names, which a deletion at restart would then take away.
void ListLeftDriverFiles(InstallSession& session, const DriverList& list, uint32_t index) {
  if (session.Reinstall) return;
  DriverFileNames names = FileNamesOf(list.buffer.get(), list.level, index);
  auto check = [&](const wchar_t* path) {
    if (!path || !*path || !DriverFileToDelete(session, list, index, path)) return;
    DWORD attributes = Os().GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      AddPendingDelete(session.PendingDeletes, path);
  };
  for (const wchar_t* file : names.files) check(file);
  for (const wchar_t* file = names.dependent; file && *file; file += wcslen(file) + 1) check(file);
}

bool DeleteProductDriver(const wchar_t* environment, DWORD flags = DPD_DELETE_ALL_FILES) {
  return Os().DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(environment),
                                     const_cast<LPWSTR>(kProductDriver), flags, 0) != FALSE;
}

// Whether another driver of the list names one of the files of record `index`.
bool SharesFiles(const DriverList& list, uint32_t index) {
  DriverFileNames names = FileNamesOf(list.buffer.get(), list.level, index);
  auto shared = [&](const wchar_t* path) {
    for (uint32_t other = 0; path && *path && other < list.count; ++other)
      if (other != index && NamesFile(FileNamesOf(list.buffer.get(), list.level, other), path))
        return true;
    return false;
  };
  for (const wchar_t* file : names.files)
    if (shared(file)) return true;
  for (const wchar_t* file = names.dependent; file && *file; file += wcslen(file) + 1)
    if (shared(file)) return true;
  return false;
}

}  // namespace

bool ListDrivers(DriverList& list, const wchar_t* environment) {
  list = DriverList();
  UniqueGlobal<BYTE> buffer;
  DWORD size = 0;
  DWORD needed = 0;
  DWORD count = 0;
  LPWSTR env = const_cast<LPWSTR>(environment);
  auto enumerate = [env, &count](LPBYTE block, DWORD bytes, DWORD* reported) {
    return Os().EnumPrinterDriversW(nullptr, env, 6, block, bytes, reported, &count);
  };
  SizedCall result = CallWithNeededSize(enumerate, buffer, size, needed);
  if (result != SizedCall::kFilled) return result == SizedCall::kAnswered;
  list.buffer = std::move(buffer);
  list.count = count;
  return true;
}

int32_t FindProductDriver(const DriverList& list) {
  if (list.count == 0 || !list.buffer || list.level < 1 || list.level > 6) return -1;
  for (uint32_t i = 0; i < list.count; ++i)
    if (IsProductDriverName(DriverName(list.buffer.get(), list.level, i))) return static_cast<int32_t>(i);
  return -1;
}

void RemovePrinterDriver(InstallSession& session, const DriverList& list) {
  LogSection section(session, L">DeletePrinterDriver for %s",
                     session.Environment ? session.Environment : L"");

  bool readable = list.buffer && list.level >= 1 && list.level <= 6;
  if (list.count > 0 && readable) {
    LogLine(session, L"------------ %d existing drivers-----------", static_cast<int>(list.count));
    for (uint32_t i = 0; i < list.count; ++i) {
      const wchar_t* name = DriverName(list.buffer.get(), list.level, i);
      LogLine(session, L"%d. %s", static_cast<int>(i + 1), name ? name : L"***EMPTY***");
    }
    LogLine(session, L"-------------------------------------------");
  } else {
    LogLine(session, L"BTW, there is no printer drivers on this system.");
  }

  int32_t index = FindProductDriver(list);
  if (index < 0) {
    LogLine(session, L"No Loomscribe driver was found");
    return;
  }
  LogLine(session, L"Driver is found. Index=%d", index + 1);

  bool deleted = DeleteProductDriver(session.Environment);
  // Windows refuses to delete all the files of a driver while another
  // driver (another vendor's, made of the same files) names one of them,
  // and deletes nothing. That driver keeps its files; ours go, all but those.
  if (!deleted && SharesFiles(list, static_cast<uint32_t>(index))) {
    LogLine(session, L"Driver files that another driver uses are kept");
    deleted = DeleteProductDriver(session.Environment, DPD_DELETE_UNUSED_FILES);
  }
  if (!deleted) {
    // A driver that a print job or the spooler itself still holds goes once
    // the spooler has let go of it.
    LogLine(session, L"Can't delete driver. Trying to restart spooler");
    RestartSpooler(&session);
    if (!DeleteProductDriver(session.Environment)) {
      LogDriverRemoveFailed(session);
      return;
    }
  }
  LogLine(session, L"OK :)");
  ListLeftDriverFiles(session, list, static_cast<uint32_t>(index));
}

UniqueGlobal<DRIVER_INFO_2W> QueryPrinterDriver(HANDLE printer) {
  wchar_t environment[] = L"Windows x64";
  // The size is asked for "Windows x64" and only the last error it leaves
  // decides; the record is then read for the printer's own environment.
  auto query = [printer, &environment](LPBYTE block, DWORD bytes, DWORD* reported) -> BOOL {
    if (!block) {
      Os().GetPrinterDriverW(printer, environment, 2, nullptr, 0, reported);
      return FALSE;
    }
    return Os().GetPrinterDriverW(printer, nullptr, 2, block, bytes, reported);
  };
  UniqueGlobal<BYTE> block;
  DWORD size = 0;
  DWORD needed = 0;
  if (CallWithNeededSize(query, block, size, needed) != SizedCall::kFilled) return {};
  return UniqueGlobal<DRIVER_INFO_2W>(reinterpret_cast<DRIVER_INFO_2W*>(block.release()));
}

bool InDriverDirectory(const wchar_t* directory, const wchar_t* path) {
  size_t length = directory ? wcslen(directory) : 0;
  return path && length > 0 && wcslen(path) > length && PathBeginsWith(path, directory, length) &&
         !wcsstr(path + length, L"..");
}

// The previous installation: the registered driver's files and the monitor's
// library, kept before an install changes anything, put back when the new
// installation is not working afterwards, and dropped when a run ends
// without error. The files lie in the folder "Loomscribe-previous" of the
// spooler's driver directory, which only SYSTEM and Administrators may write
// (the put-back copies a kept library into the system directory, where the
// spooler loads it as SYSTEM); what is needed to register them again, and
// each file's size and SHA-256, is recorded in the journal key.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct InstallSession;
namespace journal {
struct Store;
}

inline constexpr wchar_t kKeptFolderName[] = L"Loomscribe-previous";
// The kept monitor library's name in the folder: the prefix and its name.
inline constexpr wchar_t kKeptLibraryPrefix[] = L"monitor.";
constexpr uint32_t kMaxKeptFiles = 16;
constexpr size_t kKeptTextChars = 512;   // one text of the record
constexpr size_t kKeptListChars = 2048;  // a list of names, NUL-separated, NUL-NUL-ended

enum KeptRole : uint32_t { kKeptDriverFile = 1, kKeptMonitorLibrary = 2 };

struct KeptFile {
  uint32_t role = 0;
  uint32_t present = 0;  // 0: named by the registration, but absent when kept
  uint64_t size = 0;
  uint8_t sha256[32] = {};
  wchar_t name[MAX_PATH] = {};  // its bare name where it was installed
};

// The driver's DRIVER_INFO_6 as it was registered (files by bare name in
// their version folder) and the monitor's name and library.
struct PreviousInstallation {
  uint8_t hasDriver = 0;
  uint8_t hasMonitor = 0;
  uint8_t putBack = 0;  // this run put it back
  uint32_t driverVersion = 0;
  FILETIME driverDate = {};
  uint64_t driverVersionNumber = 0;
  wchar_t driverName[kKeptTextChars] = {};
  wchar_t driverFile[MAX_PATH] = {};
  wchar_t dataFile[MAX_PATH] = {};
  wchar_t configFile[MAX_PATH] = {};
  wchar_t helpFile[MAX_PATH] = {};
  wchar_t dependentFiles[kKeptListChars] = {};
  wchar_t languageMonitor[kKeptTextChars] = {};
  wchar_t defaultDataType[kKeptTextChars] = {};
  wchar_t previousNames[kKeptListChars] = {};
  wchar_t maker[kKeptTextChars] = {};
  wchar_t makerUrl[kKeptTextChars] = {};
  wchar_t hardwareId[kKeptTextChars] = {};
  wchar_t provider[kKeptTextChars] = {};
  wchar_t monitorName[kKeptTextChars] = {};
  wchar_t monitorLibrary[MAX_PATH] = {};
  uint32_t fileCount = 0;
  KeptFile files[kMaxKeptFiles];
};

// The record's bytes as the journal key holds them: the size needed when
// `out` is null. Parse is false for bytes this program did not write.
size_t SerializePrevious(const PreviousInstallation& previous, BYTE* out);
bool ParsePrevious(PreviousInstallation& previous, const BYTE* data, size_t bytes);
// Writes the record into the journal's open key (flushed with its entries).
bool RecordPreviousInstallation(const PreviousInstallation& previous, journal::Store& store);

// Before the uninstall half of an install: keeps the files of the driver and
// the monitor registered now; a component absent now keeps what an earlier
// run kept of it. A file that exists but cannot be kept stops the run with
// error 22 before anything is changed (false). The record is written with
// the journal's entries (PrepareJournal).
bool KeepPreviousInstallation(InstallSession& session, PreviousInstallation& previous);

// After the driver step: when no "Loomscribe:" monitor is registered, or the
// product driver is not in place, registers the kept monitor and driver
// again; error 23 when that fails too.
void PutBackPreviousInstallation(InstallSession& session);

// Copies a kept file, checked against its record, to `target`. False when it
// is not kept, does not match or cannot be copied.
bool CopyKeptFile(InstallSession& session, const wchar_t* name, uint32_t role,
                  const wchar_t* target);

// A run that ends without error: the kept files and their record go, without
// a log line. A file that cannot be deleted waits for the next run.
void DropPreviousInstallation(InstallSession& session);

// The printer driver "Loomscribe printer": installing, listing, removing.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>

#include "platform/unique_handle.h"

struct InstallSession;

// The result of one EnumPrinterDriversW (level 6), in one global-heap block
// that goes with the list.
struct DriverList {
  UniqueGlobal<BYTE> buffer;
  uint32_t level = 6;
  uint32_t count = 0;
};

// Fills `list` afresh (what it held is freed first). False when the spooler
// gave no list (an empty one is a list).
bool ListDrivers(DriverList& list, const wchar_t* environment);
int32_t FindProductDriver(const DriverList& list);
void RemovePrinterDriver(InstallSession& session, const DriverList& list);
// Whether a file a driver record names lies in the spooler's driver
// directory (its version folders included). A record that names another
// place (a full path elsewhere, a way out through "..") is not followed:
// nothing there is deleted, kept or put back on its word.
bool InDriverDirectory(const wchar_t* directory, const wchar_t* path);
// The driver record of an open printer, in a global-heap block, or null.
UniqueGlobal<DRIVER_INFO_2W> QueryPrinterDriver(HANDLE printer);

void InstallPrinterDriver(InstallSession& session);
bool AddDriverRecord(DRIVER_INFO_6W* record);
// Whether the registered product driver has every file it names in its
// version folder with the bytes of the staged copy of that name (`staged`:
// full paths, empty ones skipped). A file that is not logs its path.
bool DriverFilesInPlace(InstallSession& session, const wchar_t* const* staged, int stagedCount);

// The machine's printers: the snapshot, creating, removing and re-creating
// the product's printers with their settings.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>

#include "monitor/monitor.h"
#include "platform/unique_handle.h"
#include "session/session.h"

// Lists the machine's printers into `list`, first freeing what the list held:
// every pointer into the old buffer dangles afterwards. The session's
// Printers is listed once per run, by MarkDefaultPrinter (session.h).
void ListPrinters(PrinterList& list);

// PRINTER_INFO_2 of one open printer, in one global-heap block that goes
// with the record.
struct PrinterInfoBuffer {
  UniqueGlobal<PRINTER_INFO_2W> buffer;
  uint32_t size = 0;
};

PrinterInfoBuffer QueryPrinterInfo(HANDLE printer);
// Takes the session's snapshot of the printers and marks the default one.
// Once per run: SavedPrinters and RedirectedPorts point into the snapshot.
void MarkDefaultPrinter(InstallSession& session);

// The monitor check of a batch of AddProductPrinter calls: the first printer
// lists the monitors and the rest of the batch reads that listing, since
// nothing in a batch registers or removes a monitor. A listing that failed is
// not kept: the next printer lists, and logs, again.
struct MonitorCheck {
  MonitorList list;
};

// `check`, when given, is the batch's monitor check. `comment` and
// `location` go into the new printer's record (null: an empty comment and
// no location), so a carried printer is never seen without them.
HANDLE AddProductPrinter(InstallSession& session, const wchar_t* name, MonitorCheck* check = nullptr,
                         const wchar_t* comment = nullptr, const wchar_t* location = nullptr);

void DeleteAllPrinters(InstallSession& session);
void DeleteNamedPrinter(InstallSession& session, const wchar_t* name);
// OpenPrinterW with the access the delete step asks for.
bool OpenPrinterForDelete(const wchar_t* name, HANDLE* printer);
bool PurgeAndDeletePrinter(HANDLE printer);

// Notes a product printer with a "SubKey" in SavedPrinters; `subKey` (64
// bytes, may be null) receives the value read, "" when there is none.
void SaveProductPrinter(InstallSession& session, PRINTER_INFO_2W* printer, char* subKey = nullptr);
void RecreateSavedPrinters(InstallSession& session);
bool WritePrinterSubKey(HANDLE printer, const char* subKey);
// `buffer` holds at least 64 bytes.
void ReadPrinterSubKey(HANDLE printer, char* buffer);
bool ClearDeletedMarker(const char* path);
// Gives a product printer just created the settings it is carried with:
// comment and location, the default status when `makeDefault`, and, last,
// its "SubKey" in both places with the per-user marker cleared (when
// `clearMarker`). The sub-key comes last so that a printer holding one is
// whole. True when the printer is whole: the sub-key written in both places
// and the comment and location stored.
bool CarrySettings(HANDLE printer, const char* subKey, const wchar_t* comment,
                   const wchar_t* location, bool makeDefault, bool clearMarker = true);
// The same for a printer AddProductPrinter created under `name` with its
// comment and location in the record: the default status and the sub-key.
bool CarryToNewPrinter(HANDLE printer, const wchar_t* name, const char* subKey, bool makeDefault,
                       bool clearMarker = true);

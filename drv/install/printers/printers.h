// The machine's printers: the snapshot, creating, removing and re-creating
// the product's printers with their settings.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>

#include "session/session.h"

// Lists the machine's printers into `list`, first freeing what the list held:
// every pointer into the old buffer dangles afterwards. The session's
// Printers is listed once per run, by MarkDefaultPrinter (session.h).
void ListPrinters(PrinterList& list);
void FreePrinterList(PrinterList& list);

// PRINTER_INFO_2 of one open printer, in one global-heap block.
struct PrinterInfoBuffer {
  PRINTER_INFO_2W* buffer = nullptr;
  uint32_t size = 0;
};

PrinterInfoBuffer QueryPrinterInfo(HANDLE printer);
bool ClosePrinterHandle(HANDLE printer);
// Takes the session's snapshot of the printers and marks the default one.
// Once per run: SavedPrinters and RedirectedPorts point into the snapshot.
void MarkDefaultPrinter(InstallSession& session);

HANDLE AddProductPrinter(InstallSession& session, const wchar_t* name);

void DeleteAllPrinters(InstallSession& session);
void DeleteNamedPrinter(InstallSession& session, const wchar_t* name);
bool PurgeAndDeletePrinter(HANDLE printer);

// Notes a product printer with a "SubKey" in SavedPrinters; `subKey` (64
// bytes, may be null) receives the value read, "" when there is none.
void SaveProductPrinter(InstallSession& session, PRINTER_INFO_2W* printer, char* subKey = nullptr);
// Whether the printer's record is noted in SavedPrinters already.
bool IsSavedPrinter(const InstallSession& session, const PRINTER_INFO_2W* printer);
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

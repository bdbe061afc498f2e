// Removing the product's printers, each saved first so that a re-install can
// create it again.
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "printers/printers.h"
#include "session/log_section.h"

void DeleteAllPrinters(InstallSession& session) {
  LogSection section(session, L">DeleteAllPrinters");
  PRINTER_INFO_2W* records = session.Printers.buffer;
  uint32_t count = records ? session.Printers.count : 0;
  for (uint32_t i = 0; i < count; ++i) {
    PRINTER_INFO_2W* record = &records[i];
    if (!IsProductDriverName(record->pDriverName)) continue;
    // Saved while the printer still exists: its printer data goes with it.
    if (!IsSavedPrinter(session, record)) SaveProductPrinter(session, record);
    DeleteNamedPrinter(session, record->pPrinterName);
  }
}

void DeleteNamedPrinter(InstallSession& session, const wchar_t* name) {
  const wchar_t* shown = name ? name : L"*";
  LogSection section(session, L">DeletePrinter(%s)", shown);

  PRINTER_DEFAULTSW defaults = {};
  defaults.DesiredAccess = DELETE | PRINTER_ACCESS_ADMINISTER;
  HANDLE handle = nullptr;
  BOOL opened = FALSE;
  if (name) {
    opened = Os().OpenPrinterW(const_cast<wchar_t*>(name), &handle, &defaults);
  } else {
    // OpenPrinterW with no name opens the print server itself, which is never
    // a printer to delete.
    Os().SetLastError(ERROR_INVALID_PRINTER_NAME);
  }
  if (!opened || !handle) {
    LogPrinterOpenFailed(session, shown);
  } else {
    // Closed once the outcome is in the log.
    UniquePrinter printer(handle);
    if (PurgeAndDeletePrinter(printer.get()))
      LogLine(session, L"OK");
    else
      LogPrinterDeleteFailed(session, shown);
  }
}

bool PurgeAndDeletePrinter(HANDLE printer) {
  // Drops the queued jobs first. Wine refuses the purge at level 0 (124); the
  // delete is attempted whatever it answers.
  Os().SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
  return Os().DeletePrinter(printer) != FALSE;
}

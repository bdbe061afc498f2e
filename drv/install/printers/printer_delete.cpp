// Removing the product's printers, each saved first so that a re-install can
// create it again.
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "printers/printers.h"
#include "session/log_section.h"

namespace {

// One printer's ">DeletePrinter(%s)" block. `held` is the printer opened
// with the delete step's access already, or null: it is opened here.
void DeletePrinterBlock(InstallSession& session, const wchar_t* name, HANDLE held) {
  UniquePrinter printer(held);
  const wchar_t* shown = name ? name : L"*";
  LogSection section(session, L">DeletePrinter(%s)", shown);

  if (!printer) {
    HANDLE handle = nullptr;
    if (!name) {
      // OpenPrinterW with no name opens the print server itself, which is
      // never a printer to delete.
      Os().SetLastError(ERROR_INVALID_PRINTER_NAME);
    } else if (OpenPrinterForDelete(name, &handle)) {
      printer.reset(handle);
    }
  }
  if (!printer) {
    LogPrinterOpenFailed(session, shown);
    return;
  }
  // Closed once the outcome is in the log.
  if (PurgeAndDeletePrinter(printer.get()))
    LogLine(session, L"OK");
  else
    LogPrinterDeleteFailed(session, shown);
}

SavedPrinter* SavedNode(InstallSession& session, const PRINTER_INFO_2W* record) {
  for (SavedPrinter* node = session.SavedPrinters.get(); node; node = node->next)
    if (node->printer == record) return node;
  return nullptr;
}

}  // namespace

void DeleteAllPrinters(InstallSession& session) {
  LogSection section(session, L">DeleteAllPrinters");
  PRINTER_INFO_2W* records = session.Printers.buffer.get();
  uint32_t count = records ? session.Printers.count : 0;
  for (uint32_t i = 0; i < count; ++i) {
    PRINTER_INFO_2W* record = &records[i];
    if (!IsProductDriverName(record->pDriverName)) continue;
    // Saved while the printer still exists: its printer data goes with it.
    SavedPrinter* node = SavedNode(session, record);
    if (!node) {
      SaveProductPrinter(session, record);
      node = SavedNode(session, record);
    }
    HANDLE held = node ? node->opened : nullptr;
    if (node) node->opened = nullptr;
    DeletePrinterBlock(session, record->pPrinterName, held);
  }
}

void DeleteNamedPrinter(InstallSession& session, const wchar_t* name) {
  DeletePrinterBlock(session, name, nullptr);
}

bool OpenPrinterForDelete(const wchar_t* name, HANDLE* printer) {
  PRINTER_DEFAULTSW defaults = {};
  defaults.DesiredAccess = DELETE | PRINTER_ACCESS_ADMINISTER;
  *printer = nullptr;
  if (Os().OpenPrinterW(const_cast<wchar_t*>(name), printer, &defaults) && *printer) return true;
  *printer = nullptr;
  return false;
}

bool PurgeAndDeletePrinter(HANDLE printer) {
  // Drops the queued jobs first. Wine refuses the purge at level 0 (124); the
  // delete is attempted whatever it answers.
  Os().SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
  return Os().DeletePrinter(printer) != FALSE;
}

#include "printers/printers.h"
void DeleteAllPrinters(InstallSession&) {}  // TODO(stub)
void DeleteNamedPrinter(InstallSession&, const wchar_t*) {}
bool PurgeAndDeletePrinter(HANDLE) { return false; }

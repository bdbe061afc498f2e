#include "printers/printers.h"
void ListPrinters(PrinterList&) {}  // TODO(stub)
void FreePrinterList(PrinterList&) {}
PrinterInfoBuffer QueryPrinterInfo(HANDLE) { return {}; }
bool ClosePrinterHandle(HANDLE) { return false; }
void MarkDefaultPrinter(InstallSession&) {}

#include "printers/printers.h"
void SaveProductPrinter(InstallSession&, PRINTER_INFO_2W*) {}  // TODO(stub)
void RecreateSavedPrinters(InstallSession&) {}
bool WritePrinterSubKey(HANDLE, const char*) { return false; }
void ReadPrinterSubKey(HANDLE, char* b) { b[0] = 0; }
bool ClearDeletedMarker(const char*) { return false; }

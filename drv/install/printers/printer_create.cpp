#include "printers/printers.h"
HANDLE AddProductPrinter(InstallSession&, const wchar_t*) { return nullptr; }  // TODO(stub)

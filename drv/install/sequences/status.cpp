#include "sequences/sequences.h"
bool IsDriverUpToDate() { return false; }  // TODO(stub)
bool HasPendingComponentFiles() { return false; }
bool IsDefaultPrinterForeign() { return false; }
void SetOurPrinterAsDefault() {}

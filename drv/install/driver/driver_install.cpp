#include "driver/driver.h"
void InstallPrinterDriver(InstallSession&) {}  // TODO(stub)
bool AddDriverRecord(DRIVER_INFO_6W*) { return false; }

#include "driver/driver.h"
void ListDrivers(DriverList&, const wchar_t*) {}  // TODO(stub)
void FreeDriverList(DriverList&) {}
int32_t FindProductDriver(const DriverList&) { return -1; }
void RemovePrinterDriver(InstallSession&, const DriverList&) {}
DRIVER_INFO_2W* QueryPrinterDriver(HANDLE) { return nullptr; }

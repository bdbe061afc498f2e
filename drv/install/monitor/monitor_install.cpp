#include "monitor/monitor.h"
void InstallPortMonitor(InstallSession&) {}  // TODO(stub)

#include "monitor/monitor.h"
void ListMonitors(MonitorList&, InstallSession&) {}  // TODO(stub)
void FreeMonitorList(MonitorList&) {}
int32_t FindProductMonitor(const MonitorList&) { return -1; }
void LogMonitorList(InstallSession&, const MonitorList&) {}

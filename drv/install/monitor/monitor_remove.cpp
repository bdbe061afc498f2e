#include "monitor/monitor.h"
void RemovePortMonitor(InstallSession&, const MonitorList&) {}  // TODO(stub)
bool DeleteProductMonitor(const wchar_t*) { return false; }
int32_t FileBuildNumber(const wchar_t*) { return -1; }

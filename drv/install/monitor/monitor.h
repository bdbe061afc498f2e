// The product's port monitor "Loomscribe:": listing, installing, removing.
#pragma once

#include <windows.h>

#include <cstdint>

struct InstallSession;

// The result of one EnumMonitorsW (level 2), in one global-heap block.
struct MonitorList {
  BYTE* buffer = nullptr;
  uint32_t level = 2;
  uint32_t count = 0;
};

void ListMonitors(MonitorList& list, InstallSession& session);
void FreeMonitorList(MonitorList& list);
// 0-based index of the first record named exactly "Loomscribe:", or -1.
int32_t FindProductMonitor(const MonitorList& list);
void LogMonitorList(InstallSession& session, const MonitorList& list);

void InstallPortMonitor(InstallSession& session);
void RemovePortMonitor(InstallSession& session, const MonitorList& list);
bool DeleteProductMonitor(const wchar_t* environment);
// The fourth part of the file's product version (0 to 65535), or -1.
int32_t FileBuildNumber(const wchar_t* path);

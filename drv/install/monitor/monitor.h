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

// The monitor already registered, looked at once per install before anything
// changes (session.Monitor). PlanMonitor reads the monitors itself, without a
// log line; PlanMonitorFrom takes a list already read. Neither does anything
// once the record is made.
void PlanMonitor(InstallSession& session);
void PlanMonitorFrom(InstallSession& session, const MonitorList& list);
// A build from 1214 to this program's own.
bool IsCompatibleMonitorBuild(int32_t build);
// Whether the install needs lmxmon64.dll from its own folder: always, unless a
// registered, compatible monitor's library is there and not queued for
// deletion at the next boot.
bool MonitorSourceNeeded(const InstallSession& session);
// The build number the record holds for `library`, else the file's own.
int32_t PlannedMonitorBuild(const InstallSession& session, const wchar_t* library);
// After the queued deletions were carried out in the middle of an install:
// when they took the library that the removal kept for a registration
// without a copy, the install half copies it after all (CopyMonitor).
void RecheckKeptMonitorLibrary(InstallSession& session);
// The library of the product monitor registered now, or null.
const wchar_t* RegisteredMonitorLibrary(const InstallSession& session);
// Whether that library is this program's own (lmxmon64.dll), is missing and
// was not already a failed copy of this run: then it is copied back.
bool MonitorLibraryToCopyBack(const InstallSession& session);
// Whether "Loomscribe:" is registered now, as EnumMonitorsW lists it (not as
// AddPrinterW suggests: Wine takes a printer on a port no monitor provides).
// `answered` is false when the spooler did not answer.
bool ProductMonitorRegistered(bool* answered);
void NoteMonitorRemoved(InstallSession& session);
void NoteMonitorRegistered(InstallSession& session);

// The spooler service: make sure it runs, or hold it stopped for a moment.
#pragma once

#include <windows.h>

struct InstallSession;

// One stop of the spooler service, from BeginSpoolerRestart to
// EndSpoolerRestart. EndSpoolerRestart must run exactly once for each
// BeginSpoolerRestart, on every path.
struct SpoolerRestart {
  InstallSession* installSession;  // where lines and errors go; null logs nothing
  SC_HANDLE scm;
  SC_HANDLE service;
  bool stopRequested;
};

bool CheckSpooler(InstallSession& session);
bool StartSpoolerAndWait(SC_HANDLE service);
SpoolerRestart BeginSpoolerRestart(InstallSession* session);
void EndSpoolerRestart(SpoolerRestart& restart);

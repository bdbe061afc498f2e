// The install and uninstall sequences, and the status commands.
#pragma once

#include <windows.h>

#include <cstdint>

struct InstallSession;

struct RunResult {
  bool errorsCounted = false;
  uint32_t scheduledForRestart = 0;
};

RunResult RunInstall(HWND parentWindow);
RunResult RunUninstall(HWND parentWindow);
void ReInstall(InstallSession& session);
void FullUninstall(InstallSession& session);
void UnInstall(InstallSession& session);
// At the end of an install: no queued boot-time deletion is left for a file
// the installed product relies on, and such a file lost meanwhile is copied
// again.
void KeepComponentFiles(InstallSession& session);

bool IsDriverUpToDate();
bool HasPendingComponentFiles();
bool IsDefaultPrinterForeign();
void SetOurPrinterAsDefault();

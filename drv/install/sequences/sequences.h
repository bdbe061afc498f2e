// The install and uninstall sequences, and the status commands.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/unique_handle.h"

struct InstallSession;

struct RunResult {
  bool errorsCounted = false;
  uint32_t scheduledForRestart = 0;
};

// The component files an install cannot do without, held open from before
// its removal starts until its install half has copied them.
struct ComponentSources {
  UniqueFile held[3];
  int count = 0;
};
// Opens and holds them, and checks that the driver's staged copies can be
// replaced. False, with the cause logged (the copy's own error line) and
// nothing held or changed, when one of them is missing or held.
bool HoldComponentSources(InstallSession& session, ComponentSources& sources);
// Lets them go, in the order they were opened.
void ReleaseComponentSources(ComponentSources& sources);

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
// Whether a 64-bit component file waits for a boot-time operation, read only:
// nothing is carried out and the spooler is not restarted.
bool ComponentFileQueued();
bool IsDefaultPrinterForeign();
void SetOurPrinterAsDefault();

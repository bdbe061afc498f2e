#include "sequences/sequences.h"
RunResult RunInstall(HWND) { return {}; }  // TODO(stub)
RunResult RunUninstall(HWND) { return {}; }
void ReInstall(InstallSession&) {}
void FullUninstall(InstallSession&) {}
void UnInstall(InstallSession&) {}

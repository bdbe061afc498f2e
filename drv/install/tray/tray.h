// The tray program lsbtray.exe: its Run entry, its start and its shutdown.
#pragma once

#include "session/session.h"

#include "tray/tray_protocol.h"

extern const char kRunKeyPath[];         // "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"

void RegisterAndStartTray(InstallSession& session);
// Stops the tray program and removes its Run value and the file it names,
// when that is an absolute path of a file named lsbtray.exe; `keepFile`, when
// given, stays even when the Run value names it under another spelling (the
// tray program a re-install is about to start again).
void StopAndUnregisterTray(const wchar_t* keepFile = nullptr);

// lsbtray.exe in the parent of the program's directory; empty when memory
// ran out on the way (a cut path is never handed out).
WideBuffer TrayProgramPath(const InstallSession& session);

// The tray program lsbtray.exe: its Run entry, its start and its shutdown.
#pragma once

#include "session/session.h"

extern const char kTrayMutexName[];      // "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}"
extern const wchar_t kTrayWindowClass[]; // "qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}"
extern const char kTrayFileName[];       // "lsbtray.exe"
extern const char kRunKeyPath[];         // "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
extern const wchar_t kTrayRunValueW[];   // "LoomscribeTray"
constexpr unsigned kTrayQuitMessage = 1026;  // WM_USER + 2

void RegisterAndStartTray(InstallSession& session);
// Stops the tray program and removes its Run value and the file it names,
// when that is an absolute path of a file named lsbtray.exe; `keepFile`, when
// given, stays even when the Run value names it under another spelling (the
// tray program a re-install is about to start again).
void StopAndUnregisterTray(const wchar_t* keepFile = nullptr);

// lsbtray.exe in the parent of the program's directory; empty when memory
// ran out on the way (a cut path is never handed out).
WideBuffer TrayProgramPath(const InstallSession& session);

// The tray program lsbtray.exe: its Run entry, its start and its shutdown.
#pragma once

#include "session/session.h"

#include "tray/tray_protocol.h"

extern const char kRunKeyPath[];         // "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"

void RegisterAndStartTray(InstallSession& session);
// Stops the tray program and removes its Run value and the file it names,
// when that is an absolute path of a file named lsbtray.exe; `keepFile`, when
// given, stays even when the Run value names it under another spelling (the
// tray program a re-install is about to start again). A file that still
// cannot be deleted after the attempts is added to `undeleted`, when given.
void StopAndUnregisterTray(const wchar_t* keepFile = nullptr,
                           PendingDeleteList* undeleted = nullptr);

// How the tray program is started from this run.
enum class TrayStart {
  AsThisRun,      // this run's own token is the user's ordinary one (no split token)
  AsSignedInUser, // elevated from a split token: with the shell's token
  NotStarted,     // a service account, or no interactive window station
};
// Decides from this process's token and window station; `why` gets the
// reason when the answer is NotStarted.
TrayStart ChooseTrayStart(const wchar_t** why);
// Starts the program with the shell's token: this run's account, not
// elevated, this session; the user's environment, the tray's folder as the
// working directory. False (nothing started) when any of it cannot be had;
// `why` then says what.
bool StartTrayAsSignedInUser(wchar_t* commandLine, const wchar_t* directory,
                             const wchar_t** why);

// lsbtray.exe in the parent of the program's directory; empty when memory
// ran out on the way (a cut path is never handed out).
WideBuffer TrayProgramPath(const InstallSession& session);

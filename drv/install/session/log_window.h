// The log window: the run's log in a modal dialog (template 101).
#pragma once

#include <windows.h>

struct InstallSession;

// The program's instance handle, kept from the start of the program for the
// dialog template the log window is made from.
HINSTANCE ProgramInstance();
void SetProgramInstance(HINSTANCE instance);

INT_PTR CALLBACK LogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Whether this process runs on the interactive window station "WinSta0",
// where a window can be seen and closed and a tray icon shown; a service or
// a SYSTEM deployment runs on another one ("Service-0x0-3e7$").
bool InteractiveWindowStation();

// Shows the log modally, owned by `parent` (may be null). Without an
// interactive window station nobody could close a dialog, and none is shown:
// the run's log file is then the only copy.
void ShowLogWindow(InstallSession& session, HWND parent);

// The title the window gets: "Loomscribe build 2070- Install" and " error
// log!" or " log.".
void FormatLogWindowTitle(const InstallSession& session, wchar_t* title, size_t chars);

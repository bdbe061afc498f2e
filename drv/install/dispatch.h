// Command entry: the command word, the optional owner window, the exit code.
#pragma once

#include <windows.h>

#include <cstdint>

enum ExitCode : int {
  kExitInstalled = 1,
  kExitUninstalled = 2,
  kExitNo = 3,
  kExitDefaultSet = 4,
  kExitUnrecognised = 6,
  kExitErrors = 100,
  kExitRestartNeeded = 101,
  kExitDefaultForeign = 102,
  kExitDriverUpToDate = 103,
  kExitComponentPending = 200,
};

enum class Command {
  None,  // no word, or an unrecognised one
  CheckDriver,
  Init,
  Uninstall,
  RemoveTray,
  Install,
  SetDefault,
};

// The command a word names, in the order of the word table.
Command MatchCommand(const wchar_t* word);
// A decimal number as a signed 32-bit value: leading white space and one
// sign accepted, reading stops at the first non-digit, out-of-range values
// clamped.
int32_t ParseInt32(const wchar_t* text);
// The owner window named by the third argument, or null.
HWND ParseParentWindow(const wchar_t* text);

// Asks every help viewer window of the product to close.
void CloseHelpWindows();

// Runs the command of an argument list (argv[0] is the program) and returns
// its exit code.
int DispatchArguments(int argc, wchar_t** argv);
// Splits the process command line and runs its command.
int Dispatch();

// install.exe as the product's installer runs it: a copy of the product
// folder, install.exe started as a separate process, its exit code; and the
// traces a run leaves (Run value, tray program) cleaned up.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/product_state.h"

namespace productrun {

extern const wchar_t kTrayClass[];

// A scratch copy of the product folder (lsbtray.exe beside x64\, the rest in
// x64\): uninstall deletes the tray program the Run value names, and the
// build's own product folder must stay whole. Returns its path.
std::wstring StageProduct(const std::wstring& name);

// What Process::Wait and the runs answer for a program that has not ended.
constexpr DWORD kNotEnded = 0xFFFFFFFF;

// A started program. A program still running when the holder ends is ended
// (exit code 99).
struct Process {
  HANDLE handle = nullptr;
  DWORD id = 0;
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();
  // The exit code once the program has ended within `ms`, else kNotEnded.
  DWORD Wait(DWORD ms) const;
};
// Starts a whole command line; false (with the last error) when it did not start.
bool Start(const std::wstring& commandLine, Process& process);
// Waits up to `timeoutMs` for the end and returns the exit code (kNotEnded
// when it did not end, which is a test failure). A log window that shows up
// is closed, so the run can end: its text goes to `log` when one is given,
// else the window is reported as a test failure.
DWORD WaitClosingLogWindows(Process& process, DWORD timeoutMs = 180000,
                            std::wstring* log = nullptr);

// Runs `exe` with `arguments` and returns its exit code (0xFFFFFFFF when it
// did not start or end). A log window that shows up is reported as a test
// failure and closed, so the run can end.
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments,
                 DWORD timeoutMs = 180000);
// install.exe of a staged product folder.
DWORD RunInstall(const std::wstring& product, const std::wstring& arguments);
// The same, for a run that may show its log window: its text goes to `log`.
DWORD RunInstallReadingLog(const std::wstring& product, const std::wstring& arguments,
                           std::wstring& log);

// A visible dialog of the process, or null; the text of a window.
HWND FindDialogOf(DWORD processId);
std::wstring WindowText(HWND window);

// What every system test starts and ends with: no tray program, no Run
// value, nothing of the product in the spooler.
void RemoveProductTraces();
// The fixture of a system test that runs the product: before and after each
// test CleanUp() (the product's traces, and whatever a test adds to it), and
// the default printer found after the first clean-up set again at the end.
class ProductTest : public ::testing::Test {
 protected:
  virtual void CleanUp() { RemoveProductTraces(); }
  void SetUp() override;
  void TearDown() override;

 private:
  std::wstring savedDefault_;
};

void WriteRunValue(const std::wstring& text);
void DeleteRunValue();
// The tray program's window once it is up (waiting up to `ms`), or null.
HWND WaitForTrayWindow(DWORD ms);
// Asks every running tray program to quit and waits until none is left;
// ends those that do not go.
void QuitAnyTray();
// Processes running lsbtray.exe.
std::vector<DWORD> TrayProcessIds();

// Copies one folder's files (not its sub-folders) into another, made first
// when missing.
// Writes a printer's "SubKey" value (its own data) and its comment and
// location, as the product's other components and a user would.
void Customise(const std::wstring& name, const char* subKey, const std::wstring& comment,
               const std::wstring& location);
// A printer's "SubKey": its own value (`key` null) or the one under `key`;
// "(none)" when absent or not REG_SZ, "(no printer)" when it cannot be opened.
std::string SubKeyOf(const std::wstring& name, const char* key);

void CopyFilesOf(const std::wstring& from, const std::wstring& to);
void DeleteFilesOf(const std::wstring& directory);

}  // namespace productrun

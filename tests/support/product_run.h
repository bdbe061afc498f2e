// install.exe as the product's installer runs it: a copy of the product
// folder, install.exe started as a separate process, its exit code; and the
// traces a run leaves (Run value, tray program) cleaned up.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace productrun {

extern const wchar_t kRunKey[];    // SOFTWARE\Microsoft\Windows\CurrentVersion\Run
extern const wchar_t kRunValue[];  // LoomscribeTray
extern const wchar_t kTrayClass[];

// A scratch copy of the product folder (lsbtray.exe beside x64\, the rest in
// x64\): uninstall deletes the tray program the Run value names, and the
// build's own product folder must stay whole. Returns its path.
std::wstring StageProduct(const std::wstring& name);

// Runs `exe` with `arguments` and returns its exit code (0xFFFFFFFF when it
// did not start or end). A log window that shows up is reported as a test
// failure and closed, so the run can end.
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments,
                 DWORD timeoutMs = 180000);
// install.exe of a staged product folder.
DWORD RunInstall(const std::wstring& product, const std::wstring& arguments);

// A visible dialog of the process, or null; the text of a window.
HWND FindDialogOf(DWORD processId);
std::wstring WindowText(HWND window);

std::wstring ReadRunValue();
bool RunValueExists();
void DeleteRunValue();
bool TrayMutexExists();
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

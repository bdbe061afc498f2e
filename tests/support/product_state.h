// What a run leaves of the tray program, read straight from Windows: the Run
// value and the tray program's mutex. No test framework here: the listing
// tool of the main job uses it too.
#pragma once

#include <windows.h>

#include <string>

namespace productrun {

extern const wchar_t kRunKey[];    // SOFTWARE\Microsoft\Windows\CurrentVersion\Run
extern const wchar_t kRunValue[];  // LoomscribeTray

std::wstring ReadRunValue();
bool RunValueExists();
bool TrayMutexExists();

}  // namespace productrun

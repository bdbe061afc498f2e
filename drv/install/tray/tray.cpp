#include "tray/tray.h"
const char kTrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const wchar_t kTrayWindowClass[] = L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const char kTrayFileName[] = "lsbtray.exe";
const char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kTrayRunValueW[] = L"LoomscribeTray";
void RegisterAndStartTray(InstallSession&) {}  // TODO(stub)
void StopAndUnregisterTray() {}

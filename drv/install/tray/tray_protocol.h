// The handshake between this program and the tray program lsbtray.exe, which
// includes this header too. While the tray program runs it owns the named
// mutex and keeps a hidden top-level window of the class below; the setup
// tool finds that window, posts it the quit message and waits on the mutex.
#pragma once

// The mutex name is ANSI: both sides use CreateMutexA.
inline constexpr char kTrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
inline constexpr wchar_t kTrayWindowClass[] = L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
inline constexpr wchar_t kTrayWindowTitle[] = L"Loomscribe";
// WM_USER + 2.
inline constexpr unsigned kTrayQuitMessage = 1026;

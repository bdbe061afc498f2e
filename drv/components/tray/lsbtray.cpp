// lsbtray.exe: the Loomscribe tray companion.
//
// While it runs it owns the setup tool's tray mutex and keeps a hidden
// top-level window of the tray window class (tray/tray_protocol.h, shared with
// the setup tool). On the quit message the window is destroyed, the mutex is
// released and the program ends, so that the setup tool can delete this file.
// A second copy finds the mutex taken and ends at once.
#include <windows.h>

#include "tray/tray_protocol.h"

namespace {

static_assert(kTrayQuitMessage == WM_USER + 2, "the quit message the setup tool posts");

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kTrayQuitMessage:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  HANDLE mutex = CreateMutexA(nullptr, TRUE, kTrayMutexName);
  if (!mutex) return 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // Another copy runs; the handle we got does not own the mutex.
    CloseHandle(mutex);
    return 0;
  }

  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = TrayWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kTrayWindowClass;
  int result = 1;
  if (RegisterClassExW(&windowClass)) {
    // A top-level window (never shown), not a message-only one: FindWindow
    // sees only top-level windows.
    HWND window = CreateWindowExW(0, kTrayWindowClass, kTrayWindowTitle, WS_OVERLAPPED, 0, 0, 0, 0,
                                  nullptr, nullptr, instance, nullptr);
    if (window) {
      MSG message;
      BOOL got;
      while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0 && got != -1) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      result = 0;
    }
    UnregisterClassW(kTrayWindowClass, instance);
  }
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return result;
}

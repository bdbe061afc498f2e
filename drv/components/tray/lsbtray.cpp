// lsbtray.exe: the Loomscribe tray companion.
//
// While it runs it owns the named mutex below and keeps a hidden top-level
// window of the class below; the setup tool finds that window, posts it
// kQuitMessage and waits on the mutex. On that message the window is
// destroyed, the mutex is released and the program ends, so that the setup
// tool can delete this file. A second copy finds the mutex taken and ends at
// once.
#include <windows.h>

namespace {

const char kMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const wchar_t kWindowClass[] = L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
constexpr UINT kQuitMessage = WM_USER + 2;  // 1026

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kQuitMessage:
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
  HANDLE mutex = CreateMutexA(nullptr, TRUE, kMutexName);
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
  windowClass.lpszClassName = kWindowClass;
  int result = 1;
  if (RegisterClassExW(&windowClass)) {
    // A top-level window (never shown), not a message-only one: FindWindow
    // sees only top-level windows.
    HWND window = CreateWindowExW(0, kWindowClass, L"Loomscribe", WS_OVERLAPPED, 0, 0, 0, 0,
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
    UnregisterClassW(kWindowClass, instance);
  }
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return result;
}

#include "session/log_window.h"

#include <cwchar>

#include "platform/platform.h"
#include "resource.h"
#include "session/session.h"

namespace {

HINSTANCE g_instance = nullptr;

}  // namespace

HINSTANCE ProgramInstance() { return g_instance; }
void SetProgramInstance(HINSTANCE instance) { g_instance = instance; }

void FormatLogWindowTitle(const InstallSession& session, wchar_t* title, size_t chars) {
  int n = _snwprintf_s(title, chars, _TRUNCATE, kLogTitleFormat, kBuildNumber);
  if (n >= 0)
    _snwprintf_s(title + n, chars - n, _TRUNCATE, L"%s",
                 session.ErrorCount != 0 ? L" error log!" : L" log.");
}

INT_PTR CALLBACK LogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* session = reinterpret_cast<const InstallSession*>(lParam);
      if (!session) break;
      Os().SetDlgItemTextW(dialog, IDC_LOG_TEXT, Text(session->InstallLog));
      wchar_t title[264];
      FormatLogWindowTitle(*session, title, 264);
      Os().SetWindowTextW(dialog, title);
      break;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          Os().EndDialog(dialog, 1);
          break;
        case IDCANCEL:
          Os().EndDialog(dialog, 0);
          break;
      }
      break;
  }
  return FALSE;
}

bool InteractiveWindowStation() {
  HWINSTA station = Os().GetProcessWindowStation();
  if (!station) return false;
  wchar_t name[64] = {};
  DWORD needed = 0;
  if (!Os().GetUserObjectInformationW(station, UOI_NAME, name, sizeof(name) - sizeof(wchar_t),
                                      &needed))
    return false;
  return SameAsciiName(name, L"WinSta0");
}

void ShowLogWindow(InstallSession& session, HWND parent) {
  // The run's log file holds the log in any case.
  if (!InteractiveWindowStation()) return;
  Os().DialogBoxParamW(ProgramInstance(), MAKEINTRESOURCEW(IDD_LOG_WINDOW), parent, &LogWindowProc,
                       reinterpret_cast<LPARAM>(&session));
}

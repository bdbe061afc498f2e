#include "session/log_window.h"

#include <cwchar>

#include "dispatch.h"
#include "platform/platform.h"
#include "session/session.h"

void FormatLogWindowTitle(const InstallSession& session, wchar_t* title, size_t chars) {
  _snwprintf_s(title, chars, _TRUNCATE, L"Loomscribe build %d- Install%s", kBuildNumber,
               session.ErrorCount != 0 ? L" error log!" : L" log.");
}

INT_PTR CALLBACK LogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* session = reinterpret_cast<const InstallSession*>(lParam);
      if (!session) break;
      Os().SetDlgItemTextW(dialog, kLogTextId, Text(session->InstallLog));
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

namespace {

// A dialog can be seen and closed only on the interactive window station
// "WinSta0"; a service or a SYSTEM deployment runs on another one.
bool InteractiveWindowStation() {
  HWINSTA station = Os().GetProcessWindowStation();
  if (!station) return false;
  wchar_t name[64] = {};
  DWORD needed = 0;
  if (!Os().GetUserObjectInformationW(station, UOI_NAME, name, sizeof(name) - sizeof(wchar_t),
                                      &needed))
    return false;
  return _wcsicmp(name, L"WinSta0") == 0;
}

// Writes the log as UTF-16 text into the temporary directory.
void WriteLogFile(InstallSession& session) {
  wchar_t path[MAX_PATH + 32] = {};
  DWORD n = Os().GetTempPathW(MAX_PATH, path);
  if (n == 0 || n >= MAX_PATH) return;
  wcscat_s(path, L"Loomscribe-install.log");
  HANDLE file = Os().CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  wchar_t title[264];
  FormatLogWindowTitle(session, title, 264);
  const wchar_t bom = 0xFEFF;
  DWORD written = 0;
  Os().WriteFile(file, &bom, sizeof(bom), &written, nullptr);
  Os().WriteFile(file, title, static_cast<DWORD>(std::wcslen(title) * sizeof(wchar_t)), &written,
                 nullptr);
  Os().WriteFile(file, L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
  // Written in pieces: a log can outgrow what one WriteFile takes.
  const wchar_t* text = Text(session.InstallLog);
  uint64_t left = Length(session.InstallLog);
  while (left > 0) {
    DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
    if (!Os().WriteFile(file, text, chunk * sizeof(wchar_t), &written, nullptr)) break;
    text += chunk;
    left -= chunk;
  }
  Os().CloseHandle(file);
}

}  // namespace

void ShowLogWindow(InstallSession& session, HWND parent) {
  if (!InteractiveWindowStation()) {
    WriteLogFile(session);
    return;
  }
  Os().DialogBoxParamW(ProgramInstance(), MAKEINTRESOURCEW(kLogDialogId), parent, &LogWindowProc,
                       reinterpret_cast<LPARAM>(&session));
}

// fake::World: the tray program (its mutex, window and process), processes,
// the window station, dialogs, the Windows version and the Shift key.
#include "support/fake_world.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "support/fake_world_internal.h"

namespace fake {

using namespace world_internal;

namespace {

constexpr const char kTrayMutex[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
constexpr const wchar_t kTrayClass[] = L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
constexpr UINT kTrayQuit = WM_USER + 2;

// Fabricated handle values, each kind in a range of its own.
const auto kStation = reinterpret_cast<HWINSTA>(0x5701);
const auto kTrayWindow = reinterpret_cast<HWND>(0x7A01);
const auto kDialogWindow = reinterpret_cast<HWND>(0x7A02);

}  // namespace

void World::InstallProcessHooks() {
  World& w = *this;
  Handles& h = TheHandles();

  // --- tray program, processes, windows ---------------------------------------
  Set<&Platform::GetVersionExA>([](LPOSVERSIONINFOA info) {
    if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA))
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    info->dwMajorVersion = 10;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 19045;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = '\0';
    return TRUE;
  });
  Set<&Platform::CreateMutexA>([&w, &h](LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    HANDLE mutex = h.New();
    h.mutexes.push_back(mutex);
    bool exists = name && std::strcmp(name, kTrayMutex) == 0 && w.trayRunning;
    ::SetLastError(exists ? ERROR_ALREADY_EXISTS : 0);
    return mutex;
  });
  Set<&Platform::ReleaseMutex>([&h](HANDLE mutex) {
    return std::count(h.mutexes.begin(), h.mutexes.end(), mutex) ? TRUE
                                                                  : Fail(ERROR_NOT_OWNER);
  });
  Set<&Platform::WaitForSingleObject>([&w, &h](HANDLE handle, DWORD ms) -> DWORD {
    bool mutex = std::count(h.mutexes.begin(), h.mutexes.end(), handle) != 0;
    if (!mutex || !w.trayRunning) return WAIT_OBJECT_0;
    if (ms != INFINITE) {
      TheClock().now += ms;
      TheClock().slept += ms;
    }
    return WAIT_TIMEOUT;
  });
  Set<&Platform::FindWindowW>([&w](LPCWSTR windowClass, LPCWSTR) -> HWND {
    if (windowClass && std::wcscmp(windowClass, kTrayClass) == 0 && w.trayRunning)
      return kTrayWindow;
    return nullptr;
  });
  Set<&Platform::PostMessageW>([&w](HWND window, UINT message, WPARAM, LPARAM) {
    if (window != kTrayWindow || !w.trayRunning) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (message == kTrayQuit && w.trayQuitsOnRequest) w.trayRunning = false;
    return TRUE;
  });
  Set<&Platform::IsWindow>([](HWND window) { return window == kTrayWindow ? TRUE : FALSE; });
  Set<&Platform::CreateProcessW>([&w, &h](LPCWSTR application, LPWSTR commandLine,
                                          LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                          DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                          LPPROCESS_INFORMATION info) {
    std::wstring path = Str(application);
    if (path.empty()) {
      std::wstring line = Str(commandLine);
      if (!line.empty() && line[0] == L'"') {
        size_t end = line.find(L'"', 1);
        path = line.substr(1, end == std::wstring::npos ? end : end - 1);
      } else {
        path = line.substr(0, line.find(L' '));
      }
    }
    if (!w.HasFile(path)) return Fail(ERROR_FILE_NOT_FOUND);
    if (SameText(FileNameOf(path), L"lsbtray.exe")) {
      w.trayRunning = true;
      w.trayPath = path;
      ++w.trayStarts;
      w.trayStartedWith = L"run";
      w.trayDirectory.clear();
      w.trayOwnEnvironment = false;
    }
    *info = PROCESS_INFORMATION{};
    info->hProcess = h.New();
    info->hThread = h.New();
    h.others.push_back(info->hProcess);
    h.others.push_back(info->hThread);
    info->dwProcessId = 4242;
    info->dwThreadId = 4243;
    return TRUE;
  });
  Set<&Platform::GetCommandLineW>([] { return const_cast<LPWSTR>(L"install.exe install"); });
  Set<&Platform::GetAsyncKeyState>([&w](int key) -> SHORT {
    return key == VK_SHIFT && w.shiftDown ? static_cast<SHORT>(0x8001) : 0;
  });
  Set<&Platform::GetProcessWindowStation>([] { return kStation; });
  Set<&Platform::GetUserObjectInformationW>([&w](HANDLE object, int index, PVOID data,
                                                 DWORD size, LPDWORD needed) {
    if (object != kStation || index != UOI_NAME) return Fail(ERROR_INVALID_PARAMETER);
    std::wstring name = w.interactiveStation ? L"WinSta0" : L"Service-0x0-3e7$";
    DWORD bytes = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    if (needed) *needed = bytes;
    if (size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(data, name.c_str(), bytes);
    return TRUE;
  });
  Set<&Platform::DialogBoxParamW>([&w](HINSTANCE instance, LPCWSTR templateName, HWND owner,
                                       DLGPROC procedure, LPARAM parameter) -> INT_PTR {
    WorldDialog dialog;
    dialog.instance = instance;
    dialog.templateId = IS_INTRESOURCE(templateName)
                            ? static_cast<int>(reinterpret_cast<uintptr_t>(templateName))
                            : -1;
    dialog.owner = owner;
    dialog.result = -1;
    w.dialogs.push_back(dialog);
    // The dialog manager's order: WM_INITDIALOG, then the user's close.
    procedure(kDialogWindow, WM_INITDIALOG, 0, parameter);
    procedure(kDialogWindow, WM_COMMAND, MAKEWPARAM(w.dialogCloseCommand, BN_CLICKED), 0);
    return w.dialogs.back().result;
  });
  Set<&Platform::SetDlgItemTextW>([&w](HWND dialog, int id, LPCWSTR text) {
    if (dialog != kDialogWindow || w.dialogs.empty()) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (id != 1001) return Fail(ERROR_CONTROL_ID_NOT_FOUND);
    w.dialogs.back().text = Str(text);
    return TRUE;
  });
  Set<&Platform::SetWindowTextW>([&w](HWND window, LPCWSTR text) {
    if (window != kDialogWindow || w.dialogs.empty()) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    w.dialogs.back().title = Str(text);
    return TRUE;
  });
  Set<&Platform::EndDialog>([&w](HWND dialog, INT_PTR result) {
    if (dialog != kDialogWindow || w.dialogs.empty()) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    w.dialogs.back().result = result;
    return TRUE;
  });
}

}  // namespace fake

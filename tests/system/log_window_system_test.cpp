// The log window on a real display (Xvfb under Wine): the template from
// install.exe, the title and text, and how each way of closing it ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "dispatch.h"
#include "session/log_window.h"
#include "session/session.h"
#include "support/test_util.h"

namespace {

struct Seen {
  std::wstring title, text;
  bool found = false;
};

HWND WaitForDialog(DWORD thread) {
  for (int i = 0; i < 200; ++i) {
    HWND found = nullptr;
    ::EnumThreadWindows(
        thread,
        [](HWND w, LPARAM out) -> BOOL {
          wchar_t cls[32] = {};
          ::GetClassNameW(w, cls, 32);
          if (std::wstring(cls) != L"#32770" || !::IsWindowVisible(w)) return TRUE;
          *reinterpret_cast<HWND*>(out) = w;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    if (found) return found;
    ::Sleep(50);
  }
  return nullptr;
}

// A screenshot of the window as the display shows it, kept as a BMP file.
void SaveScreenshot(HWND window, const std::wstring& path) {
  RECT r;
  ::GetWindowRect(window, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  ::GdiFlush();
  DWORD stride = ((w * 3 + 3) & ~3);
  BITMAPFILEHEADER fh = {};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
  fh.bfSize = fh.bfOffBits + stride * h;
  std::string bytes(reinterpret_cast<char*>(&fh), sizeof(fh));
  bytes.append(reinterpret_cast<char*>(&bi.bmiHeader), sizeof(bi.bmiHeader));
  bytes.append(static_cast<char*>(bits), stride * h);
  testutil::WriteFileBytes(path, bytes);
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
}

class LogWindowSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t display[64] = {};
    if (!::GetEnvironmentVariableW(L"DISPLAY", display, 64)) GTEST_SKIP() << "no display";
    // The template lives in install.exe's resources.
    module = ::LoadLibraryExW((testutil::ProductX64Directory() + L"\\install.exe").c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    SetProgramInstance(module);
    BeginSession(session);
  }
  void TearDown() override {
    EndSession(session);
    if (module) ::FreeLibrary(module);
  }

  // Shows the window on this thread; `act` runs on another once it is up.
  INT_PTR Show(void (*act)(HWND), Seen& seen, const std::wstring& screenshot = L"") {
    DWORD thread = ::GetCurrentThreadId();
    std::thread helper([&] {
      HWND dialog = WaitForDialog(thread);
      if (!dialog) return;
      seen.found = true;
      wchar_t buffer[4096] = {};
      ::GetWindowTextW(dialog, buffer, 4096);
      seen.title = buffer;
      ::GetDlgItemTextW(dialog, 1001, buffer, 4096);
      seen.text = buffer;
      if (!screenshot.empty()) {
        ::Sleep(300);  // let it paint
        SaveScreenshot(dialog, screenshot);
      }
      act(dialog);
    });
    INT_PTR result = ::DialogBoxParamW(module, MAKEINTRESOURCEW(101), nullptr, &LogWindowProc,
                                       reinterpret_cast<LPARAM>(&session));
    helper.join();
    return result;
  }

  HMODULE module = nullptr;
  InstallSession session;
};

TEST_F(LogWindowSystemTest, ARunWithErrorsShowsItsLogAndEnterClosesWithOne) {
  LogLine(session, L">Check Spooler");
  ++session.IndentDepth;
  ::SetLastError(ERROR_ACCESS_DENIED);
  LogServiceManagerOpenFailed(session);
  --session.IndentDepth;
  Seen seen;
  std::wstring artifacts = testutil::WindowsPath(LMX_BUILD_DIR_UNIX) + L"\\artifacts";
  ::CreateDirectoryW(artifacts.c_str(), nullptr);
  std::wstring shot = artifacts + L"\\log_window.bmp";
  ::DeleteFileW(shot.c_str());
  INT_PTR result = Show([](HWND d) { ::PostMessageW(d, WM_KEYDOWN, VK_RETURN, 0); }, seen, shot);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(seen.title, L"Loomscribe build 2070- Install error log!");
  EXPECT_EQ(seen.text, L"Loomscribe 2070\r\n>Check Spooler\r\n  Error(1): Can't open service "
                       L"manager. - (" + testutil::SystemText(ERROR_ACCESS_DENIED) + L")\r\n");
  EXPECT_TRUE(testutil::FileExists(shot));
}

TEST_F(LogWindowSystemTest, ARunWithoutErrorsAndEscClosesWithZero) {
  Seen seen;
  INT_PTR result = Show([](HWND d) { ::PostMessageW(d, WM_KEYDOWN, VK_ESCAPE, 0); }, seen);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(seen.title, L"Loomscribe build 2070- Install log.");
  EXPECT_EQ(seen.text, L"Loomscribe 2070\r\n");
}

TEST_F(LogWindowSystemTest, TheCloseButtonEndsWithOneAndTheCloseBoxWithZero) {
  Seen seen;
  EXPECT_EQ(Show([](HWND d) { ::PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                                             reinterpret_cast<LPARAM>(::GetDlgItem(d, IDOK))); },
                 seen),
            1);
  EXPECT_EQ(Show([](HWND d) { ::PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); }, seen), 0);
}

TEST_F(LogWindowSystemTest, TheLogCannotBeEdited) {
  Seen seen;
  INT_PTR result = Show(
      [](HWND d) {
        HWND edit = ::GetDlgItem(d, 1001);
        LONG style = ::GetWindowLongW(edit, GWL_STYLE);
        // Typing into a read-only edit changes nothing.
        ::SendMessageW(edit, WM_CHAR, L'x', 0);
        wchar_t text[64] = {};
        ::GetWindowTextW(edit, text, 64);
        ::SetWindowTextW(d, (style & ES_READONLY) && std::wstring(text) == L"Loomscribe 2070\r\n"
                                ? L"read-only"
                                : L"editable");
        wchar_t title[32] = {};
        ::GetWindowTextW(d, title, 32);
        ::PostMessageW(d, WM_COMMAND, std::wstring(title) == L"read-only" ? IDOK : IDCANCEL, 0);
      },
      seen);
  // The helper closed with IDOK (1) only when the box stayed read-only and unchanged.
  EXPECT_EQ(result, 1);
}

}  // namespace

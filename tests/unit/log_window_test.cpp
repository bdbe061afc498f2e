#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "session/log_window.h"
#include "session/session.h"
#include "support/fake_platform.h"

namespace {

class LogWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    LogLine(session, L"second line");
    fake::Set<&Platform::SetDlgItemTextW>([this](HWND, int id, LPCWSTR text) -> BOOL {
      textId = id;
      shownText = text;
      return TRUE;
    });
    fake::Set<&Platform::SetWindowTextW>([this](HWND, LPCWSTR text) -> BOOL {
      title = text;
      return TRUE;
    });
    fake::Set<&Platform::EndDialog>([this](HWND, INT_PTR result) -> BOOL {
      ended.push_back(result);
      return TRUE;
    });
  }
  void TearDown() override { EndSession(session); }
  fake::FakePlatform os;
  InstallSession session;
  int textId = 0;
  std::wstring shownText, title;
  std::vector<INT_PTR> ended;
  HWND const dialog = reinterpret_cast<HWND>(0x500);
};

TEST_F(LogWindowTest, InitShowsTheLogAndTheTitleOfARunWithoutErrors) {
  EXPECT_EQ(LogWindowProc(dialog, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&session)), FALSE);
  EXPECT_EQ(textId, 1001);
  EXPECT_EQ(shownText, L"Loomscribe 2070\r\nsecond line\r\n");
  EXPECT_EQ(title, L"Loomscribe build 2070- Install log.");
}

TEST_F(LogWindowTest, TheTitleOfARunWithErrors) {
  ::SetLastError(0);
  LogSpoolerStartFailed(session);
  LogWindowProc(dialog, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&session));
  EXPECT_EQ(title, L"Loomscribe build 2070- Install error log!");
}

TEST_F(LogWindowTest, CloseAndEnterEndWithOneEscAndCloseBoxWithZero) {
  EXPECT_EQ(LogWindowProc(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0), FALSE);
  EXPECT_EQ(LogWindowProc(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0), FALSE);
  LogWindowProc(dialog, WM_COMMAND, MAKEWPARAM(1001, EN_SETFOCUS), 0);
  LogWindowProc(dialog, WM_CLOSE, 0, 0);
  EXPECT_THAT(ended, ::testing::ElementsAre(1, 0));
}

TEST_F(LogWindowTest, ShownModallyOnTheInteractiveStationWithItsOwner) {
  fake::Set<&Platform::GetProcessWindowStation>([] { return reinterpret_cast<HWINSTA>(0x9); });
  fake::Set<&Platform::GetUserObjectInformationW>(
      [](HANDLE, int index, PVOID info, DWORD size, LPDWORD needed) -> BOOL {
        EXPECT_EQ(index, UOI_NAME);
        wcscpy_s(static_cast<wchar_t*>(info), size / sizeof(wchar_t), L"WinSta0");
        *needed = 16;
        return TRUE;
      });
  HWND owner = reinterpret_cast<HWND>(0x321);
  HINSTANCE instance = nullptr;
  LPCWSTR templateName = nullptr;
  HWND shownOwner = nullptr;
  LPARAM parameter = 0;
  fake::Set<&Platform::DialogBoxParamW>(
      [&](HINSTANCE i, LPCWSTR t, HWND o, DLGPROC proc, LPARAM p) -> INT_PTR {
        instance = i;
        templateName = t;
        shownOwner = o;
        parameter = p;
        EXPECT_EQ(proc, &LogWindowProc);
        return 1;
      });
  ShowLogWindow(session, owner);
  EXPECT_EQ(templateName, MAKEINTRESOURCEW(101));
  EXPECT_EQ(shownOwner, owner);
  EXPECT_EQ(parameter, reinterpret_cast<LPARAM>(&session));
  EXPECT_EQ(fake::CountCalls("CreateFileW"), 0);
}

TEST_F(LogWindowTest, WithoutAnInteractiveStationNothingIsShownAndNoFileWritten) {
  fake::Set<&Platform::GetProcessWindowStation>([] { return reinterpret_cast<HWINSTA>(0x9); });
  fake::Set<&Platform::GetUserObjectInformationW>(
      [](HANDLE, int, PVOID info, DWORD size, LPDWORD) -> BOOL {
        wcscpy_s(static_cast<wchar_t*>(info), size / sizeof(wchar_t),
                 L"Service-0x0-3e7$");
        return TRUE;
      });
  ShowLogWindow(session, nullptr);
  // The run's log file, written before, is the copy a service run leaves.
  EXPECT_EQ(fake::CountCalls("DialogBoxParamW"), 0);
  EXPECT_EQ(fake::CountCalls("CreateFileW"), 0);
}

}  // namespace

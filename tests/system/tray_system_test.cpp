// The real tray program lsbtray.exe against the real registration and
// shutdown code, and the "removetray" command of install.exe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "session/session.h"
#include "support/test_util.h"
#include "tray/tray.h"

namespace {

const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"LoomscribeTray";
const wchar_t kWindowClass[] = L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";

std::wstring ProductTray() { return testutil::ProductDirectory() + L"\\lsbtray.exe"; }

bool ReadRunValue(std::wstring* text) {
  wchar_t value[1024] = {};
  DWORD bytes = sizeof(value) - sizeof(wchar_t);
  LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr,
                                  value, &bytes);
  if (status != ERROR_SUCCESS) return false;
  if (text) *text = value;
  return true;
}

void WriteRunValue(const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
}

void DeleteRunValue() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  ::RegDeleteValueW(key, kRunValue);
  ::RegCloseKey(key);
}

HWND WaitForTrayWindow(DWORD ms) {
  for (DWORD waited = 0;; waited += 50) {
    if (HWND window = ::FindWindowW(kWindowClass, nullptr)) return window;
    if (waited >= ms) return nullptr;
    ::Sleep(50);
  }
}

// Asks every tray program still running to quit, as the tray's own protocol
// allows, without touching any file.
void QuitAnyTray() {
  for (int round = 0; round < 100; ++round) {
    HWND window = ::FindWindowW(kWindowClass, nullptr);
    if (!window) break;
    ::PostMessageW(window, WM_USER + 2, 0, 0);
    ::Sleep(50);
  }
}

bool TrayMutexExists() {
  HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}");
  if (!mutex) return false;
  ::CloseHandle(mutex);
  return true;
}

struct Process {
  HANDLE handle = nullptr;
  ~Process() {
    if (!handle) return;
    if (::WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) ::TerminateProcess(handle, 99);
    ::CloseHandle(handle);
  }
  bool Ended(DWORD ms) const { return ::WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(handle, &code);
    return code;
  }
};

bool Start(const std::wstring& commandLine, Process& process) {
  std::wstring line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
    return false;
  ::CloseHandle(info.hThread);
  process.handle = info.hProcess;
  return true;
}

class TraySystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    ASSERT_TRUE(testutil::FileExists(ProductTray())) << "lsbtray.exe is not built";
    scratch = testutil::ScratchDirectory(L"tray");
    // A copy, so that deleting it leaves the product folder's own file.
    scratchTray = scratch + L"\\lsbtray.exe";
    ASSERT_TRUE(::CopyFileW(ProductTray().c_str(), scratchTray.c_str(), FALSE));
  }
  void TearDown() override {
    Clean();
    ::DeleteFileW(scratchTray.c_str());
    ::RemoveDirectoryW(scratch.c_str());
    EXPECT_TRUE(testutil::FileExists(ProductTray()));
  }
  static void Clean() {
    QuitAnyTray();
    // The mutex goes when the last tray program has ended.
    for (int round = 0; round < 100 && TrayMutexExists(); ++round) ::Sleep(50);
    DeleteRunValue();
  }

  // Starts the scratch copy the way the setup tool does and waits for its window.
  void StartScratchTray(Process& tray) {
    ASSERT_TRUE(Start(L"\"" + scratchTray + L"\"", tray));
    ASSERT_NE(WaitForTrayWindow(10000), nullptr) << "the tray program shows no window";
    ASSERT_TRUE(TrayMutexExists());
  }

  std::wstring scratch, scratchTray;
};

TEST_F(TraySystemTest, TrayProgramHoldsItsMutexAndWindowAndRunsOnlyOnce) {
  Process tray;
  StartScratchTray(tray);
  Process second;
  ASSERT_TRUE(Start(L"\"" + ProductTray() + L"\"", second));
  EXPECT_TRUE(second.Ended(10000)) << "a second copy must end at once";
  EXPECT_EQ(second.ExitCode(), 0u);
  EXPECT_FALSE(tray.Ended(0));

  // The quit message ends it and lets the mutex go.
  ::PostMessageW(::FindWindowW(kWindowClass, nullptr), WM_USER + 2, 0, 0);
  EXPECT_TRUE(tray.Ended(10000));
  EXPECT_EQ(tray.ExitCode(), 0u);
  EXPECT_EQ(::FindWindowW(kWindowClass, nullptr), nullptr);
  EXPECT_FALSE(TrayMutexExists());
}

TEST_F(TraySystemTest, StopAndUnregisterEndsTheTrayAndRemovesFileAndValue) {
  Process tray;
  StartScratchTray(tray);
  WriteRunValue(scratchTray);

  StopAndUnregisterTray();

  EXPECT_TRUE(tray.Ended(5000));
  EXPECT_EQ(::FindWindowW(kWindowClass, nullptr), nullptr);
  EXPECT_FALSE(testutil::FileExists(scratchTray));
  EXPECT_FALSE(ReadRunValue(nullptr));
}

TEST_F(TraySystemTest, StopWithoutRunningTrayStillRemovesFileAndValue) {
  WriteRunValue(scratchTray);
  DWORD started = ::GetTickCount();
  StopAndUnregisterTray();
  EXPECT_LT(::GetTickCount() - started, 4000u);  // no handshake waits
  EXPECT_FALSE(testutil::FileExists(scratchTray));
  EXPECT_FALSE(ReadRunValue(nullptr));
  EXPECT_FALSE(TrayMutexExists());
}

TEST_F(TraySystemTest, RegisterNamesTheTrayBesideX64AndStartsIt) {
  // The module directory is the product folder's x64 directory, with its
  // separator, as the session takes it.
  InstallSession session;
  Assign(session.ModuleDirectory, (testutil::ProductX64Directory() + L"\\").c_str());
  RegisterAndStartTray(session);
  Release(session.ModuleDirectory);

  std::wstring value;
  ASSERT_TRUE(ReadRunValue(&value));
  EXPECT_EQ(value, ProductTray());
  EXPECT_NE(WaitForTrayWindow(10000), nullptr) << "the tray program was not started";
  EXPECT_TRUE(TrayMutexExists());
  // TearDown asks it to quit and removes the value; the product's file stays.
}

TEST_F(TraySystemTest, RemoveTrayCommandStopsTheTray) {
  Process tray;
  StartScratchTray(tray);
  WriteRunValue(scratchTray);

  Process install;
  ASSERT_TRUE(Start(L"\"" + testutil::ProductX64Directory() + L"\\install.exe\" removetray", install));
  ASSERT_TRUE(install.Ended(60000));
  EXPECT_EQ(install.ExitCode(), 6u);
  EXPECT_TRUE(tray.Ended(5000));
  EXPECT_FALSE(testutil::FileExists(scratchTray));
  EXPECT_FALSE(ReadRunValue(nullptr));
}

}  // namespace

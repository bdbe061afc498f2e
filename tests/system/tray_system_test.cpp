// The real tray program lsbtray.exe against the real registration and
// shutdown code, and the "removetray" command of install.exe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "session/session.h"
#include "support/product_run.h"
#include "support/test_util.h"
#include "tray/tray.h"

namespace {

using namespace productrun;

std::wstring ProductTray() { return testutil::ProductDirectory() + L"\\lsbtray.exe"; }

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
  EXPECT_EQ(second.Wait(10000), 0u) << "a second copy must end at once";
  EXPECT_EQ(tray.Wait(0), kNotEnded);

  // The quit message ends it and lets the mutex go.
  ::PostMessageW(::FindWindowW(kTrayClass, nullptr), WM_USER + 2, 0, 0);
  EXPECT_EQ(tray.Wait(10000), 0u);
  EXPECT_EQ(::FindWindowW(kTrayClass, nullptr), nullptr);
  EXPECT_FALSE(TrayMutexExists());
}

TEST_F(TraySystemTest, StopAndUnregisterEndsTheTrayAndRemovesFileAndValue) {
  Process tray;
  StartScratchTray(tray);
  WriteRunValue(scratchTray);

  StopAndUnregisterTray();

  EXPECT_NE(tray.Wait(5000), kNotEnded);
  EXPECT_EQ(::FindWindowW(kTrayClass, nullptr), nullptr);
  EXPECT_FALSE(testutil::FileExists(scratchTray));
  EXPECT_FALSE(RunValueExists());
}

TEST_F(TraySystemTest, StopWithoutRunningTrayStillRemovesFileAndValue) {
  WriteRunValue(scratchTray);
  DWORD started = ::GetTickCount();
  StopAndUnregisterTray();
  EXPECT_LT(::GetTickCount() - started, 4000u);  // no handshake waits
  EXPECT_FALSE(testutil::FileExists(scratchTray));
  EXPECT_FALSE(RunValueExists());
  EXPECT_FALSE(TrayMutexExists());
}

TEST_F(TraySystemTest, RegisterNamesTheTrayBesideX64AndStartsIt) {
  // The module directory is the product folder's x64 directory, with its
  // separator, as the session takes it.
  InstallSession session;
  Assign(session.ModuleDirectory, (testutil::ProductX64Directory() + L"\\").c_str());
  RegisterAndStartTray(session);
  Release(session.ModuleDirectory);

  EXPECT_EQ(ReadRunValue(), ProductTray());
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
  EXPECT_EQ(install.Wait(60000), 6u);
  EXPECT_NE(tray.Wait(5000), kNotEnded);
  EXPECT_FALSE(testutil::FileExists(scratchTray));
  EXPECT_FALSE(RunValueExists());
}

}  // namespace

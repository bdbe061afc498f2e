// An install run after an uninstall but before Windows restarts, on Wine:
// whatever the uninstall (or anyone) queued for deletion at the next boot,
// the installed product keeps its files across that boot. `wineboot -r`
// carries out the queued operations as a restart would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

using ::testing::Contains;
using ::testing::Not;

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPending[] = L"PendingFileRenameOperations";

// The queued operations as (source, destination) strings, lower-cased.
std::vector<std::wstring> Queued() {
  std::vector<std::wstring> strings;
  DWORD bytes = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPending, RRF_RT_REG_MULTI_SZ, nullptr,
                     nullptr, &bytes) != ERROR_SUCCESS)
    return strings;
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  ::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPending, RRF_RT_REG_MULTI_SZ, nullptr,
                 &value[0], &bytes);
  for (size_t at = 0; at < bytes / sizeof(wchar_t);) {
    std::wstring s = value.c_str() + at;
    at += s.size() + 1;
    for (wchar_t& c : s) c = static_cast<wchar_t>(::towlower(c));
    strings.push_back(s);
  }
  while (!strings.empty() && strings.back().empty()) strings.pop_back();
  return strings;
}

void ClearQueue() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  ::RegDeleteValueW(key, kPending);
  ::RegCloseKey(key);
}

std::wstring Lower(std::wstring s) {
  for (wchar_t& c : s) c = static_cast<wchar_t>(::towlower(c));
  return s;
}

class ReinstallBeforeRestartTest : public productrun::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    product = productrun::StageProduct(L"before-restart");
    monitorFile = winespool::SystemDirectoryPath() + L"lmxmon64.dll";
  }
  void TearDown() override {
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    ProductTest::TearDown();
  }
  void CleanUp() override {
    ProductTest::CleanUp();
    ClearQueue();
  }
  // What a restart of Windows does with the queue, as Wine does it.
  void Restart() {
    EXPECT_EQ(productrun::RunProgram(winespool::SystemDirectoryPath() + L"wineboot.exe", L"-r"),
              0u);
  }
  // Someone else's queued rename, which the restart must still carry out
  // (an install carries out queued deletions at once, renames never).
  std::wstring QueueForeignRename() {
    std::wstring dir = testutil::ScratchDirectory(L"before-restart-other");
    std::wstring other = dir + L"\\other.tmp";
    EXPECT_TRUE(testutil::WriteFileBytes(other, "x"));
    EXPECT_TRUE(::MoveFileExW(other.c_str(), (dir + L"\\renamed.tmp").c_str(),
                              MOVEFILE_DELAY_UNTIL_REBOOT));
    return other;
  }
  void ExpectProductWhole() {
    EXPECT_TRUE(winespool::Contains(winespool::MonitorNames(), winespool::kPort));
    EXPECT_TRUE(testutil::FileExists(monitorFile));
    EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
    for (const wchar_t* name : {L"lmxdrv64.dll", L"lmxui64.dll", L"lmxhelp.chm"})
      EXPECT_TRUE(testutil::FileExists(winespool::DriverDirectory() + L"3\\" + name)) << name;
  }
  std::wstring product, monitorFile;
  HANDLE held = INVALID_HANDLE_VALUE;
};

TEST_F(ReinstallBeforeRestartTest, AMonitorFileTheUninstallQueuedSurvivesTheBoot) {
  ASSERT_EQ(productrun::RunInstall(product, L"install"), 1u);
  // Held by another process: the uninstall can only queue its deletion.
  held = ::CreateFileW(monitorFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_EQ(productrun::RunInstall(product, L"uninstall"), 101u);
  ASSERT_THAT(Queued(), Contains(Lower(L"\\??\\" + monitorFile)));

  // Installed again before the restart: the compatible file is registered
  // again without a copy, and must not go at the boot.
  EXPECT_EQ(productrun::RunInstall(product, L"install"), 1u);
  EXPECT_THAT(Queued(), Not(Contains(Lower(L"\\??\\" + monitorFile))));
  ::CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
  std::wstring other = QueueForeignRename();

  Restart();
  ExpectProductWhole();
  EXPECT_FALSE(testutil::FileExists(other));
  EXPECT_THAT(Queued(), ::testing::IsEmpty());
  EXPECT_EQ(productrun::RunInstall(product, L"uninstall"), 2u);
}

TEST_F(ReinstallBeforeRestartTest, QueuedDeletionsOfInstalledFilesDoNotBreakTheProduct) {
  ASSERT_EQ(productrun::RunInstall(product, L"install"), 1u);
  // Deletions of the product's own files, queued by someone before an
  // install over the product.
  std::wstring store = winespool::DriverDirectory() + L"3\\";
  for (const std::wstring& file : {monitorFile, store + L"lmxui64.dll", store + L"lmxdrv64.dll"})
    ASSERT_TRUE(::MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  std::wstring other = QueueForeignRename();

  EXPECT_EQ(productrun::RunInstall(product, L"install"), 1u);
  ExpectProductWhole();
  std::vector<std::wstring> queued = Queued();
  EXPECT_THAT(queued, Not(Contains(Lower(L"\\??\\" + monitorFile))));
  EXPECT_THAT(queued, Contains(Lower(L"\\??\\" + other)));

  Restart();
  ExpectProductWhole();
  EXPECT_FALSE(testutil::FileExists(other));
}

TEST_F(ReinstallBeforeRestartTest, ATrayProgramTheUninstallCouldNotDeleteIsKeptByTheInstall) {
  ASSERT_EQ(productrun::RunInstall(product, L"install"), 1u);
  // Held open elsewhere (as by a tray still running in another session):
  // the uninstall can only leave it for the restart.
  const std::wstring tray = product + L"\\lsbtray.exe";
  held = ::CreateFileW(tray.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_EQ(productrun::RunInstall(product, L"uninstall"), 101u);
  ASSERT_THAT(Queued(), Contains(Lower(L"\\??\\" + tray)));
  ::CloseHandle(held);
  held = INVALID_HANDLE_VALUE;

  EXPECT_EQ(productrun::RunInstall(product, L"install"), 1u);
  EXPECT_THAT(Queued(), Not(Contains(Lower(L"\\??\\" + tray))));
  Restart();
  EXPECT_TRUE(testutil::FileExists(tray));
  wchar_t value[MAX_PATH] = {};
  DWORD bytes = sizeof(value);
  EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                           L"LoomscribeTray", RRF_RT_REG_SZ, nullptr, value, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(Lower(value), Lower(tray));
}

}  // namespace

// Files of the removed driver that are still there after the spooler took
// the driver away (held by someone): an uninstall deletes them with the
// spooler stopped or hands them to Windows for the next restart; the
// uninstall half of an install leaves them to the install half.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

const std::wstring kStore = std::wstring(fake::World::kDriverDir) + L"\\3\\";
const std::wstring kDriverPath = kStore + L"lmxdrv64.dll";
const std::wstring kUiPath = kStore + L"lmxui64.dll";
const std::wstring kHelpPath = kStore + L"lmxhelp.chm";

class DriverFilesLeftTest : public ::testing::Test {
 protected:
  void SetUp() override { world.InstallProduct(); }

  int Dispatch(const wchar_t* word) { return testutil::RunCommand({word}); }

  fake::FakePlatform os;
  fake::World world;
};

TEST_F(DriverFilesLeftTest, UninstallSchedulesADriverFileHeldThroughTheSpoolerRestart) {
  world.FindFile(kUiPath)->lockedForever = true;
  EXPECT_EQ(Dispatch(L"uninstall"), kExitRestartNeeded);
  EXPECT_EQ(world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_FALSE(world.HasFile(kDriverPath));
  EXPECT_FALSE(world.HasFile(kHelpPath));
  EXPECT_THAT(world.bootDeletes, ElementsAre(kUiPath));
  EXPECT_EQ(world.RegString(fake::World::kSessionManagerKey, "PendingFileRenameOperations"),
            L"\\??\\" + kUiPath);
  // Tried once more with the spooler stopped, which is running again.
  EXPECT_EQ(fake::CountCalls("ControlService"), 1);
  EXPECT_TRUE(world.spoolerRunning);
  EXPECT_TRUE(world.dialogs.empty());
}

TEST_F(DriverFilesLeftTest, UninstallDeletesADriverFileTheSpoolerLetsGoOfWhenStopped) {
  world.lingeringModules.push_back(kUiPath);
  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  EXPECT_FALSE(world.HasFile(kUiPath));
  EXPECT_TRUE(world.bootDeletes.empty());
  EXPECT_EQ(fake::CountCalls("ControlService"), 1);
  EXPECT_TRUE(world.spoolerRunning);
}

TEST_F(DriverFilesLeftTest, InstallLeavesAHeldOldDriverFileToItsInstallHalf) {
  world.FindFile(kUiPath)->lockedForever = true;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  // Never queued for the restart (it would take the new file away), and no
  // spooler restart for it.
  EXPECT_TRUE(world.bootDeletes.empty());
  EXPECT_EQ(fake::CountCalls("ControlService"), 0);
  ASSERT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_TRUE(world.HasFile(kUiPath));
}

TEST_F(DriverFilesLeftTest, FilesOutsideTheDriverStoreOrSharedWithAnotherDriverStay) {
  // A record may name files the spooler keeps for others: one outside its
  // driver directory, one reached from inside it through "..", one that
  // another driver names too.
  const std::wstring outside =
      std::wstring(fake::World::kSystemDir) + L"\\Loomscribe help files\\lmxhelp.chm";
  const std::wstring climbedTo = std::wstring(fake::World::kSystemDir) + L"\\victim.dll";
  for (const std::wstring& path : {outside, climbedTo}) {
    world.AddFile(path, "someone else's");
    world.FindFile(path)->lockedForever = true;
  }
  world.drivers[0].helpFile = outside;
  world.drivers[0].dataFile = kStore + L"..\\..\\..\\..\\victim.dll";
  world.FindFile(kUiPath)->lockedForever = true;
  fake::WorldDriver other;
  other.name = L"Other printer";
  other.environment = L"Windows x64";
  other.driverPath = kStore + L"other.dll";
  other.dataFile = other.driverPath;
  other.configFile = fake::World::Lower(kUiPath);  // the same file, another spelling
  world.AddFile(other.driverPath, "other");
  world.drivers.push_back(other);

  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  EXPECT_TRUE(world.bootDeletes.empty());
  EXPECT_TRUE(world.HasFile(outside));
  EXPECT_TRUE(world.HasFile(climbedTo));
  EXPECT_TRUE(world.HasFile(kUiPath));
  EXPECT_EQ(fake::CountCalls("ControlService"), 0);
}

}  // namespace

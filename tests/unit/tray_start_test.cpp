// Which rights the tray program gets from an install, on the whole-machine
// fake; and the tray program an uninstall cannot delete.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dispatch.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kRunKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::wstring kTray = L"C:\\Program Files\\Loomscribe\\lsbtray.exe";

class TrayStartTest : public ::testing::Test {
 protected:
  fake::FakePlatform os;
  fake::World world;
};

TEST_F(TrayStartTest, EachKindOfTokenTakesItsPath) {
  struct Case {
    const char* what;
    void (*set)(fake::World&);
    const wchar_t* startedWith;  // "run", "shell", or null: not started
    const wchar_t* why;
  };
  const Case cases[] = {
      {"not split (UAC off, Wine)", [](fake::World&) {}, L"run", nullptr},
      {"split token", [](fake::World& w) { w.processToken.linkedIntegrity = 0x2000; }, L"shell",
       nullptr},
      {"split, the shell is another user's",
       [](fake::World& w) {
         w.processToken.linkedIntegrity = 0x2000;
         w.shellToken.user = L"S-1-5-21-9-9-9-1001";
       },
       nullptr, L"the shell runs as another account"},
      {"split, the shell runs elevated",
       [](fake::World& w) {
         w.processToken.linkedIntegrity = 0x2000;
         w.shellToken.elevated = true;
       },
       nullptr, L"the shell runs elevated"},
      {"split, the shell is in another session",
       [](fake::World& w) {
         w.processToken.linkedIntegrity = 0x2000;
         w.shellToken.session = 2;
       },
       nullptr, L"the shell runs in another session"},
      {"split, no shell",
       [](fake::World& w) {
         w.processToken.linkedIntegrity = 0x2000;
         w.shellRunning = false;
       },
       nullptr, L"no shell runs in this session"},
      {"SYSTEM", [](fake::World& w) { w.accountSid = L"S-1-5-18"; }, nullptr,
       L"this run is a service account"},
      {"another service account", [](fake::World& w) { w.processToken.service = true; }, nullptr,
       L"this run is a service account"},
      {"session 0", [](fake::World& w) { w.processToken.session = 0; }, nullptr,
       L"this run is not in a user's session"},
      {"no interactive window station", [](fake::World& w) { w.interactiveStation = false; },
       nullptr, L"no interactive window station"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::World& w = world;
    w.trayRunning = false;
    w.trayStartedWith.clear();
    w.processToken = fake::WorldToken{};
    w.shellToken = fake::WorldToken{L"", false, 1, TokenElevationTypeLimited, 0x3000, false};
    w.shellRunning = true;
    w.accountSid = L"S-1-5-21-1-2-3-500";
    w.interactiveStation = true;
    c.set(w);
    EXPECT_EQ(testutil::RunCommand({L"install"}), kExitInstalled);
    EXPECT_EQ(w.RegString(kRunKey, "LoomscribeTray"), kTray);
    // The run's log file (no window without an interactive station).
    std::vector<std::wstring> logs = w.FilesIn(fake::World::kLogDir);
    ASSERT_FALSE(logs.empty());
    std::wstring log = w.TextOf(std::wstring(fake::World::kLogDir) + L"\\" + logs.back());
    if (c.startedWith) {
      EXPECT_TRUE(w.trayRunning);
      EXPECT_EQ(w.trayStartedWith, c.startedWith);
      EXPECT_THAT(log, Not(HasSubstr(L"tray program is not started")));
    } else {
      // Never with this run's rights instead.
      EXPECT_FALSE(w.trayRunning);
      EXPECT_THAT(testutil::TrimmedLines(log),
                  Contains(L"The tray program is not started (" + std::wstring(c.why) +
                           L"); it starts at the next logon"));
    }
    if (w.trayStartedWith == L"shell") {
      EXPECT_EQ(w.trayDirectory, L"C:\\Program Files\\Loomscribe");
      EXPECT_TRUE(w.trayOwnEnvironment);
    }
  }
}

TEST_F(TrayStartTest, AnUndeletableTrayIsLeftForTheRestartAndAnInstallBeforeItKeepsTheNewOne) {
  world.InstallProduct();
  // Running in another user's session: it cannot be asked to quit from here.
  world.trayQuitsOnRequest = false;
  EXPECT_EQ(testutil::RunCommand({L"uninstall"}), kExitRestartNeeded);
  EXPECT_THAT(world.bootDeletes, Contains(kTray));
  EXPECT_EQ(world.FindRegValue(kRunKey, "LoomscribeTray"), nullptr);

  // The product installer puts its files back before the restart.
  world.trayRunning = false;
  EXPECT_EQ(testutil::RunCommand({L"install"}), kExitInstalled);
  EXPECT_TRUE(world.HasFile(kTray));
  EXPECT_EQ(world.RegString(kRunKey, "LoomscribeTray"), kTray);
  EXPECT_TRUE(world.trayRunning);
  // Nor does the restart take it away.
  EXPECT_THAT(world.RegString(fake::World::kSessionManagerKey, "PendingFileRenameOperations"),
              Not(HasSubstr(L"lsbtray.exe")));

  // "removetray" stops and unregisters, but schedules nothing.
  world.bootDeletes.clear();
  world.trayQuitsOnRequest = false;
  EXPECT_EQ(testutil::RunCommand({L"removetray"}), kExitUnrecognised);
  EXPECT_TRUE(world.bootDeletes.empty());
}

}  // namespace

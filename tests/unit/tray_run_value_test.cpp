// The file the tray program's Run value names is deleted only when it is the
// tray program: an absolute path whose file name is lsbtray.exe. A re-install
// keeps its own tray program however the value spells its path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "dispatch.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

namespace {

const std::wstring kTray = L"C:\\Program Files\\Loomscribe\\lsbtray.exe";

class TrayRunValueTest : public ::testing::Test {
 protected:
  void SetUp() override { world.InstallProduct(); }
  int Run(const wchar_t* word) {
    return testutil::RunCommand({word});
  }
  void SetRunValue(const std::wstring& text, DWORD type = REG_SZ) {
    world.SetRegString(fake::World::kRunKey, "LoomscribeTray", text);
    world.FindRegValue(fake::World::kRunKey, "LoomscribeTray")->type = type;
  }
  fake::FakePlatform os;
  fake::World world;
};

TEST_F(TrayRunValueTest, AValueNamingAnythingButTheTrayProgramDeletesNothing) {
  struct Case {
    const char* what;
    std::wstring value;
    DWORD type;
    std::wstring file;  // the file the value might be taken to name
  };
  const Case cases[] = {
      {"a user's document", L"C:\\Users\\ann\\Documents\\thesis.docx", REG_SZ,
       L"C:\\Users\\ann\\Documents\\thesis.docx"},
      {"a relative name", L"lsbtray.exe", REG_SZ, L"lsbtray.exe"},
      {"a name relative to the current drive", L"\\Loomscribe\\lsbtray.exe", REG_SZ,
       L"\\Loomscribe\\lsbtray.exe"},
      {"a quoted path", L"\"" + kTray + L"\"", REG_SZ, kTray},
      {"an expandable text", kTray, REG_EXPAND_SZ, kTray},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!world.FindMonitor(L"Loomscribe:")) world.InstallProduct();
    world.AddFile(c.file, "keep me");
    SetRunValue(c.value, c.type);
    EXPECT_EQ(Run(L"uninstall"), kExitUninstalled);
    EXPECT_TRUE(world.HasFile(c.file));
    EXPECT_TRUE(world.HasFile(kTray));
    EXPECT_EQ(world.FindRegValue(fake::World::kRunKey, "LoomscribeTray"), nullptr);
  }
}

TEST_F(TrayRunValueTest, UninstallDeletesTheTrayProgramHoweverItsPathIsSpelt) {
  SetRunValue(L"c:/program files/loomscribe/LSBTRAY.EXE");
  EXPECT_EQ(Run(L"uninstall"), kExitUninstalled);
  EXPECT_FALSE(world.HasFile(kTray));
}

TEST_F(TrayRunValueTest, ReinstallKeepsItsOwnTrayProgramHoweverItsPathIsSpelt) {
  for (const std::wstring& spelling :
       {std::wstring(L"C:/Program Files/Loomscribe/lsbtray.exe"),
        std::wstring(L"C:\\Program Files\\Loomscribe\\x64\\..\\lsbtray.exe")}) {
    SCOPED_TRACE(std::string(spelling.begin(), spelling.end()));
    world.trayStarts = 0;
    SetRunValue(spelling);
    EXPECT_EQ(Run(L"install"), kExitInstalled);
    EXPECT_TRUE(world.HasFile(kTray));
    EXPECT_TRUE(world.trayRunning);
    EXPECT_EQ(world.trayStarts, 1);
    EXPECT_EQ(world.RegString(fake::World::kRunKey, "LoomscribeTray"), kTray);
  }
}

}  // namespace

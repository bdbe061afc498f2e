// At the end of an install the product's files survive the next boot: queued
// deletions of them leave the queue, lost ones are copied again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/files.h"
#include "monitor/monitor.h"
#include "sequences/sequences.h"
#include "session/session.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

namespace {

std::string Multi(const std::vector<std::wstring>& strings) {
  std::wstring all;
  for (const auto& s : strings) all += s + L'\0';
  all += L'\0';
  return std::string(reinterpret_cast<const char*>(all.data()), all.size() * 2);
}

const std::wstring kMonitor = L"C:\\windows\\system32\\lmxmon64.dll";
const std::wstring kStore = L"C:\\windows\\system32\\spool\\drivers\\x64\\3\\";

class ComponentGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.InstallProduct();
    BeginSession(session);
    SetPlatformFiles(session);
    TakeSessionDirectories(session);
    // As an install does before it changes anything.
    PlanMonitor(session);
  }
  void TearDown() override { EndSession(session); }
  void Queue(const std::vector<std::wstring>& strings) {
    world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))]
                  ["pendingfilerenameoperations"] = {
        REG_MULTI_SZ, Multi(strings)};
  }
  fake::WorldRegValue* Queued() {
    return world.FindRegValue(fake::World::kSessionManagerKey, "PendingFileRenameOperations");
  }
  std::vector<std::wstring> NewLines() {
    auto lines = testutil::LogLines(session);
    return std::vector<std::wstring>(lines.begin() + 1, lines.end());
  }
  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
};

TEST_F(ComponentGuardTest, QueuedDeletionsOfTheProductsFilesLeaveTheQueueAndNothingElseDoes) {
  Queue({L"\\??\\C:\\WINDOWS\\System32\\LMXMON64.DLL", L"",  // the kept monitor, held
         L"\\??\\C:\\other.dll", L"",                       // someone else's
         L"\\??\\" + kMonitor, L"\\??\\C:\\x\\renamed.dll",  // a rename: not a deletion
         L"\\??\\" + kStore + L"lmxui64.dll", L""});         // a driver file in the store
  KeepComponentFiles(session);
  ASSERT_NE(Queued(), nullptr);
  EXPECT_EQ(Queued()->bytes, Multi({L"\\??\\C:\\other.dll", L"", L"\\??\\" + kMonitor,
                                    L"\\??\\C:\\x\\renamed.dll"}));
  EXPECT_THAT(NewLines(),
              ElementsAre(L"Kept from deletion at restart: \\??\\C:\\WINDOWS\\System32\\LMXMON64.DLL",
                          L"Kept from deletion at restart: \\??\\" + kStore + L"lmxui64.dll"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(ComponentGuardTest, TheValueGoesWhenNothingElseIsQueued) {
  Queue({L"\\??\\" + kMonitor, L""});
  ASSERT_NE(Queued(), nullptr);
  KeepComponentFiles(session);
  EXPECT_EQ(Queued(), nullptr);
}

TEST_F(ComponentGuardTest, FilesLostBeforeTheEndAreCopiedAgain) {
  world.RemoveFile(kMonitor);
  world.RemoveFile(kStore + L"lmxui64.dll");
  KeepComponentFiles(session);
  EXPECT_TRUE(world.HasFile(kMonitor));
  EXPECT_TRUE(world.HasFile(kStore + L"lmxui64.dll"));
  EXPECT_EQ(world.FileBuild(kMonitor), 2070);
  auto lines = NewLines();
  EXPECT_THAT(lines, Contains(L">CopyFile lmxmon64.dll to C:\\windows\\system32\\ [1])"));
  EXPECT_THAT(lines, Contains(L">CopyFile lmxui64.dll to " + kStore + L" [1])"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(ComponentGuardTest, AnInstalledProductWithNothingQueuedIsLeftAlone) {
  KeepComponentFiles(session);
  EXPECT_THAT(NewLines(), ::testing::IsEmpty());
  EXPECT_EQ(Queued(), nullptr);
  EXPECT_EQ(fake::CountCalls("RegSetValueExW"), 0);
  EXPECT_EQ(fake::CountCalls("CreateFileW"), 0);
}

}  // namespace

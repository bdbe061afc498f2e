// A component file is replaced only by a whole, flushed copy: a copy that
// fails part-way leaves the previous file as it was and no copy behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "files/files.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

const std::wstring kSystem = L"C:\\windows\\system32\\";
const std::wstring kTarget = kSystem + L"lmxmon64.dll";
const std::wstring kTemp = kSystem + L"lmxmon64.dll.tmp";
const std::string kPrevious = "build=2000;the previous, working library";

class WholeCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    SetPlatformFiles(session);
    TakeSessionDirectories(session);
    // A source of more than one block, and a working file in its place.
    world.AddFile(fake::WorldModuleDirectory() + L"lmxmon64.dll", std::string(20000, 'n'), 2070);
    world.AddFile(kTarget, kPrevious);
  }
  void TearDown() override { EndSession(session); }
  HRESULT Copy(bool report = true) {
    return CopyComponentFile(session, Text(session.SystemDirectory), L"lmxmon64.dll", nullptr, 0,
                             report);
  }
  std::vector<std::wstring> NewLines() {
    auto lines = testutil::LogLines(session);
    return std::vector<std::wstring>(lines.begin() + 1, lines.end());
  }
  void ExpectPreviousFileAndNoCopyLeft() {
    ASSERT_TRUE(world.HasFile(kTarget));
    EXPECT_EQ(world.FindFile(kTarget)->bytes, kPrevious);
    EXPECT_FALSE(world.HasFile(kTemp));
    EXPECT_EQ(session.PendingDeletes.head, nullptr);
  }
  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
};

TEST_F(WholeCopyTest, FailedReadOrShortWriteLeavesThePreviousFileAndNoCopy) {
  const std::wstring error8 = L"  Error(8): CopyFile(..," + kTarget + L") - (";
  {
    SCOPED_TRACE("read fails on the second block");
    fake::FailNth<&Platform::ReadFile>(2, ERROR_READ_FAULT);
    EXPECT_EQ(Copy(), E_FAIL);
    ExpectPreviousFileAndNoCopyLeft();
    EXPECT_THAT(NewLines(), ElementsAre(L">CopyFile lmxmon64.dll to " + kSystem + L" [1])",
                                        error8 + testutil::SystemText(ERROR_READ_FAULT) + L")",
                                        L"  Copy Failed :("));
  }
  EndSession(session);
  BeginSession(session);
  SetPlatformFiles(session);
  TakeSessionDirectories(session);
  {
    SCOPED_TRACE("the disk fills up on the second block");
    // A write that stores half and still succeeds breaks the call's promise
    // on purpose; the machine model never does it, so it stays this test's.
    int writes = 0;
    fake::Wrap<&Platform::WriteFile>([&](auto& worldWrite, HANDLE file, LPCVOID data, DWORD count,
                                         LPDWORD written, LPOVERLAPPED overlapped) {
      BOOL ok = worldWrite(file, data, ++writes == 2 ? count / 2 : count, written, overlapped);
      if (writes == 2) ::SetLastError(ERROR_DISK_FULL);
      return ok;
    });
    EXPECT_EQ(Copy(false), E_FAIL);
    ExpectPreviousFileAndNoCopyLeft();
    EXPECT_THAT(NewLines(), ElementsAre(L">CopyFile lmxmon64.dll to " + kSystem + L" [0])",
                                        error8 + testutil::SystemText(ERROR_DISK_FULL) + L")",
                                        L"  Copy Failed :("));
    EXPECT_EQ(session.ErrorCount, 1);
  }
}

TEST_F(WholeCopyTest, FailedFlushLeavesThePreviousFileAndNoCopy) {
  fake::FailNth<&Platform::FlushFileBuffers>(1, ERROR_DISK_FULL);
  EXPECT_EQ(Copy(), E_FAIL);
  ExpectPreviousFileAndNoCopyLeft();
  EXPECT_EQ(session.ErrorCount, 1);
}

TEST_F(WholeCopyTest, HeldDestinationFailsWithError9AfterTheRetries) {
  world.FindFile(kTarget)->lockedForever = true;
  EXPECT_EQ(Copy(), E_FAIL);
  ExpectPreviousFileAndNoCopyLeft();
  // 100 attempts at the replacement, 50 ms apart.
  EXPECT_EQ(fake::CountCalls("MoveFileExW"), 100);
  EXPECT_EQ(fake::TheClock().slept, 100u * 50u);
  EXPECT_THAT(NewLines(), ElementsAre(L">CopyFile lmxmon64.dll to " + kSystem + L" [1])",
                                      L"  Error(9): Cant't open destination file: " + kTarget +
                                          L" - (" + testutil::SystemText(ERROR_ACCESS_DENIED) +
                                          L")",
                                      L"  Copy Failed :("));

  // Attempts that take long end after 10 s, with the time-out line.
  fake::Calls().clear();
  fake::Wrap<&Platform::MoveFileExW>([](auto& worldMove, LPCWSTR from, LPCWSTR to, DWORD flags) {
    fake::TheClock().now += 950;
    return worldMove(from, to, flags);
  });
  EXPECT_EQ(Copy(false), E_FAIL);
  ExpectPreviousFileAndNoCopyLeft();
  EXPECT_EQ(fake::CountCalls("MoveFileExW"), 11);
  EXPECT_EQ(NewLines().back(), L"  Copy Failed :(");
  EXPECT_EQ(NewLines()[NewLines().size() - 2], L"  CreateFile - timeout");
}

TEST_F(WholeCopyTest, WholeCopyReplacesTheFileAfterItIsFlushedAndClosed) {
  // A leftover of a copy cut off earlier is cleared first.
  world.AddFile(kTemp, "half a copy");
  std::map<HANDLE, std::wstring> names;
  std::vector<std::wstring> events;
  fake::Wrap<&Platform::CreateFileW>([&](auto& worldCreate, LPCWSTR path, auto... rest) {
    HANDLE h = worldCreate(path, rest...);
    names[h] = path;
    return h;
  });
  fake::Wrap<&Platform::CloseHandle>([&](auto& worldClose, HANDLE h) {
    events.push_back(L"close " + names[h]);
    return worldClose(h);
  });
  fake::Wrap<&Platform::FlushFileBuffers>([&](auto& worldFlush, HANDLE h) {
    events.push_back(L"flush " + names[h]);
    return worldFlush(h);
  });
  fake::Wrap<&Platform::MoveFileExW>([&](auto& worldMove, LPCWSTR from, LPCWSTR to, DWORD flags) {
    events.push_back(std::wstring(L"move ") + from + L" " + to);
    EXPECT_EQ(flags, static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    return worldMove(from, to, flags);
  });
  EXPECT_EQ(Copy(), S_OK);
  EXPECT_EQ(world.FindFile(kTarget)->bytes, world.FindFile(fake::WorldModuleDirectory() +
                                                           L"lmxmon64.dll")->bytes);
  EXPECT_FALSE(world.HasFile(kTemp));
  // The destination is closed before the source.
  EXPECT_THAT(events, ElementsAre(L"flush " + kTemp, L"close " + kTemp,
                                  L"move " + kTemp + L" " + kTarget,
                                  L"close " + fake::WorldModuleDirectory() + L"lmxmon64.dll"));
  EXPECT_EQ(session.ErrorCount, 0);
}

}  // namespace

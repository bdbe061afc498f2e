// Component files on Wine: the driver directory, a copy from the product
// folder, a locked destination, and the queued restart operations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "files/files.h"
#include "platform/platform.h"
#include "session/session.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

class FilesSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { BeginSession(session); }
  void TearDown() override { EndSession(session); }
  InstallSession session;
};

TEST_F(FilesSystemTest, PlatformFilesNameTheX64DriverDirectory) {
  SetPlatformFiles(session);
  EXPECT_EQ(session.ErrorCount, 0);
  std::wstring directory = Text(session.DriverDirectory);
  EXPECT_EQ(directory, winespool::DriverDirectory());
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), L'\\');
  EXPECT_NE(directory.find(L"spool\\drivers\\x64"), std::wstring::npos) << directory;
  EXPECT_EQ(::GetFileAttributesW(directory.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_STREQ(session.Environment, L"Windows x64");
  EXPECT_STREQ(session.HelpFile, L"lmxhelp.chm");
}

TEST_F(FilesSystemTest, CopiesAComponentFileFromTheProductFolder) {
  Assign(session.ModuleDirectory, (testutil::ProductX64Directory() + L"\\").c_str());
  const std::wstring target = testutil::ScratchDirectory(L"h1-copy");
  wchar_t destination[MAX_PATH] = {};
  EXPECT_EQ(CopyComponentFile(session, target.c_str(), L"lmxmon64.dll", destination, MAX_PATH, true),
            S_OK);
  EXPECT_EQ(std::wstring(destination), target + L"\\lmxmon64.dll");
  std::string original = testutil::ReadFileBytes(testutil::ProductX64Directory() + L"\\lmxmon64.dll");
  EXPECT_GT(original.size(), 8192u);  // more than one block
  EXPECT_EQ(testutil::ReadFileBytes(destination), original);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile lmxmon64.dll to " + target + L" [1])",
                          L"  Copy Succeeded :)"));
  ::DeleteFileW(destination);
  ::RemoveDirectoryW(target.c_str());
}

// Fake time over the real seam: every tick-count reading is 150 ms later
// (an open that is slow to be refused), and sleeps only move the clock.
DWORD g_now = 0;
DWORD WINAPI SlowTickCount() { return g_now += 150; }
void WINAPI FakeSleep(DWORD ms) { g_now += ms; }

TEST_F(FilesSystemTest, DestinationHeldOpenElsewhereTimesOut) {
  Assign(session.ModuleDirectory, (testutil::ProductX64Directory() + L"\\").c_str());
  const std::wstring target = testutil::ScratchDirectory(L"h1-locked");
  const std::wstring path = target + L"\\lmxhelp.chm";
  ASSERT_TRUE(testutil::WriteFileBytes(path, "held"));
  HANDLE holder = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);

  Platform table = RealPlatform();
  table.GetTickCount = &SlowTickCount;
  table.Sleep = &FakeSleep;
  const Platform* previous = SetPlatform(&table);
  g_now = 0;
  wchar_t destination[MAX_PATH] = {};
  HRESULT result = CopyComponentFile(session, target.c_str(), L"lmxhelp.chm", destination, MAX_PATH,
                                     true);
  SetPlatform(previous);
  ::CloseHandle(holder);

  EXPECT_EQ(result, E_FAIL);
  EXPECT_EQ(std::wstring(destination), path);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile lmxhelp.chm to " + target + L" [1])",
                          L"  CreateFile - timeout",
                          // Wine refuses to replace a file that is open at
                          // all, whatever its sharing, with access denied.
                          L"  Error(9): Cant't open destination file: " + path + L" - (" +
                              testutil::SystemText(ERROR_ACCESS_DENIED) + L")",
                          L"  Copy Failed :("));
  EXPECT_EQ(session.ErrorCount, 1);
  // The copy beside it opens at once (one reading); then 200 ms of fake time
  // per refused replacement: past 10 s on the 51st.
  EXPECT_EQ(g_now, 150u + 150u + 51u * 150u + 50u * 50u);
  EXPECT_EQ(testutil::ReadFileBytes(path), "held");
  EXPECT_FALSE(testutil::FileExists(path + L".tmp"));
  ::DeleteFileW(path.c_str());
  ::RemoveDirectoryW(target.c_str());
}

// The value as it was before the test, put back afterwards.
class PendingValueGuard {
 public:
  PendingValueGuard() {
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WRITE, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
      return;
    }
    DWORD size = 0;
    existed_ = ::RegQueryValueExW(key_, kValue, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS;
    if (existed_) {
      data_.resize(size);
      ::RegQueryValueExW(key_, kValue, nullptr, &type_, data_.data(), &size);
      data_.resize(size);
    }
  }
  ~PendingValueGuard() {
    if (!key_) return;
    if (existed_)
      ::RegSetValueExW(key_, kValue, 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
    else
      ::RegDeleteValueW(key_, kValue);
    ::RegCloseKey(key_);
  }
  bool ok() const { return key_ != nullptr; }

 private:
  static constexpr const wchar_t* kKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  static constexpr const wchar_t* kValue = L"PendingFileRenameOperations";
  HKEY key_ = nullptr;
  bool existed_ = false;
  DWORD type_ = REG_MULTI_SZ;
  std::vector<BYTE> data_;
};

int FindEntry(const PendingRenameTable& table, const std::wstring& path) {
  for (int i = 0; i < 2 * table.pairCount; i += 2)
    if (table.entries[i] && _wcsicmp(SkipNtPrefix(table.entries[i]), path.c_str()) == 0) return i;
  return -1;
}

TEST(PendingRenamesSystemTest, QueuedDeletionIsCarriedOutAndRenameLeftAlone) {
  PendingValueGuard guard;
  ASSERT_TRUE(guard.ok());
  const std::wstring dir = testutil::ScratchDirectory(L"h1-pending");
  const std::wstring doomed = dir + L"\\doomed.dll";
  const std::wstring moved = dir + L"\\moved.dll";
  const std::wstring movedTo = dir + L"\\moved-new.dll";
  ASSERT_TRUE(testutil::WriteFileBytes(doomed, "d"));
  ASSERT_TRUE(testutil::WriteFileBytes(moved, "m"));
  ASSERT_TRUE(::MoveFileExW(doomed.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) << ::GetLastError();
  ASSERT_TRUE(::MoveFileExW(moved.c_str(), movedTo.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT))
      << ::GetLastError();

  PendingRenameTable table = ReadPendingRenames();
  int deletion = FindEntry(table, doomed);
  int rename = FindEntry(table, moved);
  ASSERT_GE(deletion, 0);
  ASSERT_GE(rename, 0);
  EXPECT_EQ(std::wstring(table.entries[deletion]).rfind(L"\\??\\", 0), 0u);  // kept as stored
  EXPECT_EQ(table.entries[deletion + 1], nullptr);
  EXPECT_EQ(table.isFile.get()[deletion], 1);
  ASSERT_NE(table.entries[rename + 1], nullptr);
  EXPECT_NE(std::wstring(table.entries[rename + 1]).find(L"moved-new.dll"), std::wstring::npos);
  EXPECT_EQ(table.isFile.get()[rename], 1);

  ApplyPendingDeletes(table);
  EXPECT_FALSE(testutil::FileExists(doomed));
  EXPECT_EQ(table.isFile.get()[deletion], 0);
  EXPECT_TRUE(testutil::FileExists(moved));
  EXPECT_EQ(table.isFile.get()[rename], 1);
  table = PendingRenameTable();
  EXPECT_EQ(table.pairCount, 0);

  ::DeleteFileW(moved.c_str());
  ::RemoveDirectoryW(dir.c_str());
}

}  // namespace

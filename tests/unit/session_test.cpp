#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session/session.h"
#include "session_fixture.h"
#include "support/fake_platform.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

using SessionTest = SessionOnFakes;

TEST_F(SessionTest, FirstLineNamesTheBuild) {
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));
  EXPECT_EQ(session.Reinstall, 0);
  EXPECT_EQ(session.InstallMonitor, 1);
  EXPECT_EQ(session.CopyMonitor, 1);
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(session.MonitorFile, nullptr);
}

TEST_F(SessionTest, IndentationFollowsDepthUpToTenLevels) {
  const int depths[] = {0, 3, 10, 12, -1};
  for (int depth : depths) {
    session.IndentDepth = depth;
    LogLine(session, L"x%d", depth);
  }
  session.IndentDepth = 2;
  LogLine(session, L"");
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L"x0", L"      x3",
                          std::wstring(20, L' ') + L"x10", std::wstring(20, L' ') + L"x12",
                          L"x-1", L"    "));
}

TEST_F(SessionTest, ErrorLineCarriesSystemTextAndCounts) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  LogPrinterOpenFailed(session, L"P1");
  ::SetLastError(0);
  session.IndentDepth = 1;
  LogSystemDirectoryUnknown(session);
  ::SetLastError(0x2000FFFF);  // no system text for this one
  LogCopyDestinationFailed(session, L"C:\\x");
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070",
                          L"Error(16): Can`t open printer 'P1' - (" +
                              testutil::SystemText(ERROR_ACCESS_DENIED) + L")",
                          L"  Error(7): Can`t retrieve system directory.",
                          L"  Error(9): Cant't open destination file: C:\\x - ( No Description )"));
  EXPECT_EQ(session.ErrorCount, 3);
}

TEST_F(SessionTest, OverlongLinesAreCutAndTheRunGoesOn) {
  std::wstring huge(5000, L'a');
  LogLine(session, L"%s", huge.c_str());
  ::SetLastError(ERROR_ACCESS_DENIED);
  LogPrinterAddFailed(session, huge.c_str());
  LogLine(session, L"after");
  auto lines = LogLines(session);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], std::wstring(1023, L'a'));
  EXPECT_EQ(lines[2].size(), 1023u);
  EXPECT_EQ(lines[2].rfind(L"Error(15): Can`t add printer 'aaa", 0), 0u);
  EXPECT_EQ(lines[3], L"after");
  EXPECT_EQ(session.ErrorCount, 1);
}

TEST(WideBufferTest, BlockGrowsInStepsOf32Characters) {
  fake::FakePlatform os;
  EXPECT_EQ(WideBlockBytes(31), 8u + 32 * 2);
  EXPECT_EQ(WideBlockBytes(32), 8u + 64 * 2);
  int reallocs = 0;
  fake::Set<&Platform::HeapReAlloc>([&](HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    ++reallocs;
    return ::HeapReAlloc(heap, flags, block, bytes);
  });
  WideBuffer b;
  ASSERT_TRUE(SetLength(b, 1));
  for (int n = 2; n <= 31; ++n) ASSERT_TRUE(SetLength(b, n));
  EXPECT_EQ(reallocs, 0);
  ASSERT_TRUE(SetLength(b, 32));
  EXPECT_EQ(reallocs, 1);
  ASSERT_TRUE(SetLength(b, 0));
  EXPECT_EQ(b.block, nullptr);
  EXPECT_STREQ(Text(b), L"");
}

TEST(WideBufferTest, FailedGrowthKeepsTheOldText) {
  fake::FakePlatform os;
  WideBuffer b;
  ASSERT_TRUE(Assign(b, L"abc"));
  fake::FailNth<&Platform::HeapReAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(Append(b, std::wstring(40, L'x').c_str()));
  EXPECT_STREQ(Text(b), L"abc");
  EXPECT_EQ(Length(b), 3u);
  Release(b);
}

TEST(WideBufferTest, ParentDirectory) {
  fake::FakePlatform os;
  auto parent = [](const wchar_t* text) {
    WideBuffer b, p;
    Assign(b, text);
    p = ParentDirectory(b);
    std::wstring out = Text(p);
    Release(b);
    Release(p);
    return out;
  };
  EXPECT_EQ(parent(L"C:\\dir\\file.exe"), L"C:\\dir");
  EXPECT_EQ(parent(L"C:/dir/file"), L"C:/dir");
  EXPECT_EQ(parent(L"a/b\\c/d"), L"a/b");  // a backslash wins over later slashes
  EXPECT_EQ(parent(L"\\name"), L"");
  EXPECT_EQ(parent(L"name"), L"");
  EXPECT_EQ(parent(L""), L"");
}

TEST(WideBufferTest, AppendOfItsOwnTextSurvivesTheMove) {
  fake::FakePlatform os;
  WideBuffer b;
  Assign(b, std::wstring(31, L'q').c_str());
  ASSERT_TRUE(AppendCount(b, Text(b), 31));
  EXPECT_EQ(std::wstring(Text(b)), std::wstring(62, L'q'));
  Release(b);
}

TEST(WideBufferTest, AssignAnsiConverts) {
  fake::FakePlatform os;
  WideBuffer b = AssignAnsi("lsbtray.exe");
  EXPECT_STREQ(Text(b), L"lsbtray.exe");
  EXPECT_EQ(Length(b), 11u);
  Release(b);
  WideBuffer empty = AssignAnsi("");
  EXPECT_EQ(empty.block, nullptr);
}

TEST_F(SessionTest, PendingDeletesKeepOnePathOnceAndCaseMatters) {
  AddPendingDelete(session.PendingDeletes, L"C:\\a.dll");
  AddPendingDelete(session.PendingDeletes, L"C:\\a.dll");
  AddPendingDelete(session.PendingDeletes, L"C:\\A.dll");
  ASSERT_NE(session.PendingDeletes.head, nullptr);
  EXPECT_STREQ(session.PendingDeletes.head->path, L"C:\\A.dll");
  ASSERT_NE(session.PendingDeletes.head->next, nullptr);
  EXPECT_STREQ(session.PendingDeletes.head->next->path, L"C:\\a.dll");
  EXPECT_EQ(session.PendingDeletes.head->next->next, nullptr);
}

TEST_F(SessionTest, DeleteFileTryDropsDeletedAndMissingFiles) {
  AddPendingDelete(session.PendingDeletes, L"gone");
  AddPendingDelete(session.PendingDeletes, L"held");
  AddPendingDelete(session.PendingDeletes, L"deletable");
  AddPendingDelete(session.PendingDeletes, L"nodir\\x");
  fake::Set<&Platform::DeleteFileW>([](LPCWSTR path) -> BOOL {
    std::wstring p = path;
    if (p == L"deletable") return TRUE;
    ::SetLastError(p == L"gone" ? ERROR_FILE_NOT_FOUND
                  : p == L"held" ? ERROR_SHARING_VIOLATION
                                 : ERROR_PATH_NOT_FOUND);
    return FALSE;
  });
  DeleteFileTry(session);
  std::vector<std::wstring> left;
  for (PendingDelete* n = session.PendingDeletes.head; n; n = n->next) left.push_back(n->path);
  EXPECT_THAT(left, ElementsAre(L"nodir\\x", L"held"));
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070", L"DeleteFile-try"));
}

TEST_F(SessionTest, DirectoriesAreTakenWithTheirSeparators) {
  fake::Set<&Platform::GetModuleFileNameW>([](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
    wcscpy_s(buffer, size, L"C:\\Program Files\\Loomscribe\\x64\\install.exe");
    return 42;
  });
  fake::Set<&Platform::GetSystemDirectoryW>([](LPWSTR buffer, UINT size) -> UINT {
    wcscpy_s(buffer, size, L"C:\\windows\\system32");
    return 19;
  });
  TakeSessionDirectories(session);
  EXPECT_STREQ(Text(session.ModuleDirectory), L"C:\\Program Files\\Loomscribe\\x64\\");
  EXPECT_STREQ(Text(session.SystemDirectory), L"C:\\windows\\system32\\");
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(SessionTest, ProgramPathWithoutSeparatorAndNoSystemDirectory) {
  fake::Set<&Platform::GetModuleFileNameW>([](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
    wcscpy_s(buffer, size, L"install.exe");
    return 11;
  });
  fake::Set<&Platform::GetSystemDirectoryW>([](LPWSTR, UINT) -> UINT {
    ::SetLastError(0);
    return 0;
  });
  TakeSessionDirectories(session);
  EXPECT_EQ(session.ModuleDirectory.block, nullptr);
  EXPECT_EQ(session.SystemDirectory.block, nullptr);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L"Error(7): Can`t retrieve system directory."));
  EXPECT_EQ(session.ErrorCount, 1);
}

}  // namespace

// CopyComponentFile and OpenDestinationWithRetry on the whole-machine fake,
// in fake time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "files/files.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

const std::wstring kSys = L"C:\\sys";

std::string Bytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

class FileCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    Assign(session.ModuleDirectory, fake::WorldModuleDirectory().c_str());
  }
  void TearDown() override {
    EXPECT_EQ(world.OpenHandles().files, 0) << "both files are closed";
    EndSession(session);
  }
  // A file's bytes, or "<absent>".
  std::string BytesOf(const std::wstring& path) {
    fake::WorldFile* file = world.FindFile(path);
    return file ? file->bytes : "<absent>";
  }
  void AddSource(const wchar_t* name, const std::string& bytes) {
    world.AddFile(fake::WorldModuleDirectory() + name, bytes);
  }
  // Another program holds `path` open: it cannot be replaced until `locked`
  // is cleared. Each refused try takes `delayMs`.
  std::shared_ptr<bool> Hold(const std::wstring& path, DWORD delayMs = 0) {
    auto locked = std::make_shared<bool>(true);
    fake::Wrap<&Platform::MoveFileExW>([=](auto& previous, LPCWSTR from, LPCWSTR to, DWORD flags) {
      if (*locked && to && fake::World::Lower(std::wstring(to)) == fake::World::Lower(path)) {
        fake::TheClock().now += delayMs;
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
      }
      return previous(from, to, flags);
    });
    return locked;
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
};

TEST_F(FileCopyTest, CopiesWholeFilesOfAnySize) {
  for (size_t size : {0u, 8192u, 20000u}) {
    SCOPED_TRACE(size);
    AddSource(L"lmxmon64.dll", Bytes(size));
    wchar_t destination[MAX_PATH] = {L'?'};
    EXPECT_EQ(CopyComponentFile(session, L"C:\\windows\\system32", L"lmxmon64.dll", destination,
                                MAX_PATH, true),
              S_OK);
    EXPECT_STREQ(destination, L"C:\\windows\\system32\\lmxmon64.dll");
    EXPECT_EQ(BytesOf(destination), Bytes(size));
    EXPECT_FALSE(world.HasFile(L"C:\\windows\\system32\\lmxmon64.dll.tmp"));
  }
  auto lines = LogLines(session);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5], L">CopyFile lmxmon64.dll to C:\\windows\\system32 [1])");
  EXPECT_EQ(lines[6], L"  Copy Succeeded :)");
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(FileCopyTest, PathsGetExactlyOneSeparator) {
  Assign(session.ModuleDirectory, fake::World::kModuleDir);  // no separator
  AddSource(L"a.dll", "a");
  wchar_t destination[64];
  for (const wchar_t* directory : {L"D:\\drv\\", L"D:\\drv"}) {
    world.RemoveFile(L"D:\\drv\\a.dll");
    EXPECT_EQ(CopyComponentFile(session, directory, L"a.dll", destination, 64, false), S_OK);
    EXPECT_STREQ(destination, L"D:\\drv\\a.dll");
    EXPECT_TRUE(world.HasFile(L"D:\\drv\\a.dll"));
  }
  // An empty target directory names the bare file.
  EXPECT_EQ(CopyComponentFile(session, L"", L"a.dll", destination, 64, false), S_OK);
  EXPECT_STREQ(destination, L"a.dll");
  EXPECT_TRUE(world.HasFile(L"a.dll"));
  EXPECT_EQ(LogLines(session)[5], L">CopyFile a.dll to  [0])");
}

TEST_F(FileCopyTest, DestinationBufferTakesTheWholePathOrNothing) {
  AddSource(L"a.dll", "a");
  const std::wstring path = L"D:\\drv\\a.dll";
  std::vector<wchar_t> exact(path.size() + 1, L'?');
  CopyComponentFile(session, L"D:\\drv", L"a.dll", exact.data(), exact.size(), true);
  EXPECT_EQ(std::wstring(exact.data()), path);
  std::vector<wchar_t> small(path.size(), L'?');
  CopyComponentFile(session, L"D:\\drv", L"a.dll", small.data(), small.size(), true);
  EXPECT_EQ(small[0], L'\0');
  EXPECT_EQ(small[1], L'?');  // nothing written past the first character
}

TEST_F(FileCopyTest, MissingSourceIsCountedOnlyWhenReporting) {
  world.RemoveFile(fake::WorldModuleDirectory() + L"lmxmon64.dll");
  wchar_t destination[64] = {};
  EXPECT_EQ(CopyComponentFile(session, kSys.c_str(), L"lmxmon64.dll", destination, 64, false),
            E_FAIL);
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_STREQ(destination, L"C:\\sys\\lmxmon64.dll");
  EXPECT_EQ(CopyComponentFile(session, kSys.c_str(), L"lmxmon64.dll", nullptr, 0, true), E_FAIL);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile lmxmon64.dll to C:\\sys [0])",
                          L"  Copy Failed :(", L">CopyFile lmxmon64.dll to C:\\sys [1])",
                          L"  Error(10): Cant't open source file: lmxmon64.dll - (" +
                              testutil::SystemText(ERROR_FILE_NOT_FOUND) + L")",
                          L"  Copy Failed :("));
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_TRUE(world.FilesIn(kSys).empty());  // no destination was made
}

// A held destination is tried every 50 ms for 10 seconds, at most 100 times
// (the tick count may wrap meanwhile); it keeps its bytes and the copy that
// could not take its place is gone.
TEST_F(FileCopyTest, HeldDestinationIsTriedForTenSecondsAndKeepsItsBytes) {
  const std::wstring held = kSys + L"\\lmxmon64.dll";
  AddSource(L"lmxmon64.dll", Bytes(10));
  world.AddFile(held, "old");
  struct Case {
    bool report;
    DWORD delayMs, startTick, slept;
  };
  // 200 ms per try (150 replace, 50 sleep): the try that ends past 10 s is
  // the 51st.
  for (const Case& c : {Case{true, 150, 1000, 50 * 50}, Case{false, 0, 0xFFFFF000u, 100 * 50}}) {
    SCOPED_TRACE(c.report);
    auto locked = Hold(held, c.delayMs);
    fake::TheClock().now = c.startTick;
    fake::TheClock().slept = 0;
    int errors = session.ErrorCount;
    size_t logged = LogLines(session).size();
    wchar_t destination[64] = {};
    EXPECT_EQ(CopyComponentFile(session, (kSys + L"\\").c_str(), L"lmxmon64.dll", destination, 64,
                                c.report),
              E_FAIL);
    *locked = false;
    EXPECT_STREQ(destination, held.c_str());
    EXPECT_EQ(fake::TheClock().slept, c.slept);
    EXPECT_EQ(BytesOf(held), "old");
    EXPECT_THAT(world.FilesIn(kSys), ElementsAre(L"lmxmon64.dll"));
    auto lines = LogLines(session);
    lines.erase(lines.begin(), lines.begin() + logged);
    if (c.report) {
      EXPECT_THAT(lines, ElementsAre(L">CopyFile lmxmon64.dll to C:\\sys\\ [1])",
                                     L"  CreateFile - timeout",
                                     L"  Error(9): Cant't open destination file: C:\\sys\\lmxmon64.dll - (" +
                                         testutil::SystemText(ERROR_SHARING_VIOLATION) + L")",
                                     L"  Copy Failed :("));
      EXPECT_EQ(session.ErrorCount, errors + 1);
    } else {
      EXPECT_THAT(lines, ElementsAre(L">CopyFile lmxmon64.dll to C:\\sys\\ [0])", L"  Copy Failed :("));
      EXPECT_EQ(session.ErrorCount, errors);
    }
  }
}

TEST_F(FileCopyTest, DestinationFreedDuringRetriesIsTaken) {
  AddSource(L"a.dll", Bytes(100));
  world.AddFile(kSys + L"\\a.dll", "old");
  auto locked = Hold(kSys + L"\\a.dll");
  int tries = 0;
  fake::Wrap<&Platform::Sleep>([&](auto& previous, DWORD ms) {
    previous(ms);
    if (++tries == 3) *locked = false;
  });
  EXPECT_EQ(CopyComponentFile(session, kSys.c_str(), L"a.dll", nullptr, 0, true), S_OK);
  EXPECT_EQ(BytesOf(kSys + L"\\a.dll"), Bytes(100));
  EXPECT_EQ(tries, 3);
}

// A write that takes less than it was given (a full disk), or a failed read,
// fails the copy: the destination keeps its bytes, no copy is left.
TEST_F(FileCopyTest, AShortWriteOrAFailedReadFailsTheCopy) {
  AddSource(L"a.dll", Bytes(20000));
  world.AddFile(kSys + L"\\a.dll", "old");
  auto shortWrites = std::make_shared<bool>(false);
  fake::Wrap<&Platform::WriteFile>([shortWrites](auto& previous, HANDLE file, LPCVOID data,
                                                 DWORD bytes, LPDWORD written,
                                                 LPOVERLAPPED overlapped) {
    BOOL ok = previous(file, data, bytes, written, overlapped);
    if (*shortWrites && ok && *written) {
      --*written;
      ::SetLastError(ERROR_DISK_FULL);
    }
    return ok;
  });
  for (bool shortWrite : {true, false}) {
    SCOPED_TRACE(shortWrite ? "short write" : "failed read");
    size_t logged = LogLines(session).size();
    *shortWrites = shortWrite;
    if (!shortWrite) fake::FailNth<&Platform::ReadFile>(2, ERROR_READ_FAULT);
    EXPECT_EQ(CopyComponentFile(session, kSys.c_str(), L"a.dll", nullptr, 0, shortWrite), E_FAIL);
    auto lines = LogLines(session);
    ASSERT_EQ(lines.size(), logged + 3);
    EXPECT_EQ(lines[logged + 1], L"  Error(8): CopyFile(..,C:\\sys\\a.dll) - (" +
                                     testutil::SystemText(shortWrite ? ERROR_DISK_FULL
                                                                     : ERROR_READ_FAULT) +
                                     L")");
    EXPECT_EQ(BytesOf(kSys + L"\\a.dll"), "old");
    EXPECT_THAT(world.FilesIn(kSys), ElementsAre(L"a.dll"));
  }
}

TEST_F(FileCopyTest, OpenDestinationWithRetryTakesTheFirstOpen) {
  fake::FailCalls<&Platform::CreateFileW>(1, 3, ERROR_ACCESS_DENIED);
  HANDLE file = OpenDestinationWithRetry(session, L"C:\\x");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(world.HasFile(L"C:\\x"));
  EXPECT_EQ(fake::TheClock().slept, 3u * 50u);
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));
  Os().CloseHandle(file);
}

}  // namespace

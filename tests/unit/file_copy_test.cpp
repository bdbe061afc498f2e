// CopyComponentFile and OpenDestinationWithRetry against a small in-memory
// file system, in fake time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files/files.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

// Files by path; handles are small numbers. Paths listed in `locked` cannot
// be opened for writing; a source opened for reading shows its bytes.
struct FakeFiles {
  struct Open {
    std::wstring path;
    bool write;
    size_t offset;
  };
  std::map<std::wstring, std::string> files;
  std::set<std::wstring> locked;
  std::map<HANDLE, Open> open;
  std::vector<std::wstring> closed;
  std::vector<DWORD> reads;   // bytes delivered per ReadFile
  std::vector<DWORD> writes;  // bytes asked per WriteFile
  std::vector<std::wstring> opened;  // paths passed to CreateFileW
  std::vector<std::wstring> replaced;  // destinations passed to MoveFileExW
  std::vector<std::wstring> deleted;   // paths passed to DeleteFileW
  DWORD openDelayMs = 0;      // each CreateFileW advances the clock this much
  int shortWriteAt = 0;       // the n-th WriteFile writes one byte less
  int failReadAt = 0;         // the n-th ReadFile fails
  uintptr_t nextHandle = 0x100;

  void Install() {
    fake::Set<&Platform::CreateFileW>([this](LPCWSTR path, DWORD access, DWORD share,
                                             LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                             DWORD flags, HANDLE model) -> HANDLE {
      fake::TheClock().now += openDelayMs;
      opened.push_back(path);
      EXPECT_EQ(share, static_cast<DWORD>(FILE_SHARE_READ));
      EXPECT_EQ(security, nullptr);
      EXPECT_EQ(flags, 0u);
      EXPECT_EQ(model, nullptr);
      if (access == GENERIC_READ) {
        EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING));
        if (!files.count(path)) {
          ::SetLastError(ERROR_FILE_NOT_FOUND);
          return INVALID_HANDLE_VALUE;
        }
      } else {
        EXPECT_EQ(access, static_cast<DWORD>(GENERIC_WRITE));
        EXPECT_EQ(disposition, static_cast<DWORD>(CREATE_ALWAYS));
        if (locked.count(path)) {
          ::SetLastError(ERROR_SHARING_VIOLATION);
          return INVALID_HANDLE_VALUE;
        }
        files[path].clear();
      }
      HANDLE handle = reinterpret_cast<HANDLE>(nextHandle++);
      open[handle] = {path, access == GENERIC_WRITE, 0};
      return handle;
    });
    fake::Set<&Platform::ReadFile>([this](HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read,
                                          LPOVERLAPPED) -> BOOL {
      *read = 0;
      if (failReadAt && static_cast<int>(reads.size()) + 1 == failReadAt) {
        reads.push_back(0);
        ::SetLastError(ERROR_READ_FAULT);
        return FALSE;
      }
      Open& file = open.at(handle);
      const std::string& bytes = files[file.path];
      size_t n = std::min<size_t>(size, bytes.size() - file.offset);
      std::memcpy(buffer, bytes.data() + file.offset, n);
      file.offset += n;
      *read = static_cast<DWORD>(n);
      reads.push_back(*read);
      return TRUE;
    });
    fake::Set<&Platform::WriteFile>([this](HANDLE handle, LPCVOID buffer, DWORD size,
                                           LPDWORD written, LPOVERLAPPED) -> BOOL {
      writes.push_back(size);
      DWORD n = static_cast<int>(writes.size()) == shortWriteAt ? size - 1 : size;
      files[open.at(handle).path].append(static_cast<const char*>(buffer), n);
      *written = n;
      if (n != size) ::SetLastError(ERROR_DISK_FULL);
      return TRUE;
    });
    // The copy goes to a temporary file that then replaces the destination;
    // a locked destination refuses to be replaced.
    fake::Set<&Platform::MoveFileExW>([this](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
      fake::TheClock().now += openDelayMs;
      replaced.push_back(to);
      EXPECT_EQ(flags, static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
      if (locked.count(to)) {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
      }
      files[to] = files.at(from);
      files.erase(from);
      return TRUE;
    });
    fake::Set<&Platform::DeleteFileW>([this](LPCWSTR path) -> BOOL {
      deleted.push_back(path);
      if (files.erase(path)) return TRUE;
      ::SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    });
    fake::Set<&Platform::FlushFileBuffers>([](HANDLE) -> BOOL { return TRUE; });
    fake::Set<&Platform::CloseHandle>([this](HANDLE handle) -> BOOL {
      closed.push_back(open.at(handle).path);
      open.erase(handle);
      return TRUE;
    });
  }
};

std::string Bytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

class FileCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    Assign(session.ModuleDirectory, L"C:\\product\\x64\\");
    fs.Install();
  }
  void TearDown() override { EndSession(session); }

  fake::FakePlatform os;
  InstallSession session;
  FakeFiles fs;
};

TEST_F(FileCopyTest, CopiesInBlocksOf8192Bytes) {
  fs.files[L"C:\\product\\x64\\lmxmon64.dll"] = Bytes(20000);
  wchar_t destination[MAX_PATH] = {L'?'};
  EXPECT_EQ(CopyComponentFile(session, L"C:\\windows\\system32", L"lmxmon64.dll", destination,
                              MAX_PATH, true),
            S_OK);
  EXPECT_EQ(fs.files[L"C:\\windows\\system32\\lmxmon64.dll"], Bytes(20000));
  EXPECT_THAT(fs.reads, ElementsAre(8192u, 8192u, 3616u));
  EXPECT_THAT(fs.writes, ElementsAre(8192u, 8192u, 3616u));
  EXPECT_STREQ(destination, L"C:\\windows\\system32\\lmxmon64.dll");
  // The destination (its copy in progress) is closed before the source.
  EXPECT_THAT(fs.closed, ElementsAre(L"C:\\windows\\system32\\lmxmon64.dll.tmp",
                                     L"C:\\product\\x64\\lmxmon64.dll"));
  EXPECT_FALSE(fs.files.count(L"C:\\windows\\system32\\lmxmon64.dll.tmp"));
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070",
                          L">CopyFile lmxmon64.dll to C:\\windows\\system32 [1])",
                          L"  Copy Succeeded :)"));
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(FileCopyTest, EmptyAndExactBlockSources) {
  fs.files[L"C:\\product\\x64\\empty.chm"] = "";
  EXPECT_EQ(CopyComponentFile(session, L"D:\\drv\\", L"empty.chm", nullptr, 0, true), S_OK);
  EXPECT_TRUE(fs.files.count(L"D:\\drv\\empty.chm"));
  EXPECT_EQ(fs.files[L"D:\\drv\\empty.chm"], "");
  EXPECT_THAT(fs.reads, ElementsAre(0u));
  EXPECT_TRUE(fs.writes.empty());

  fs.reads.clear();
  fs.files[L"C:\\product\\x64\\block.dll"] = Bytes(8192);
  EXPECT_EQ(CopyComponentFile(session, L"D:\\drv\\", L"block.dll", nullptr, 0, true), S_OK);
  EXPECT_THAT(fs.reads, ElementsAre(8192u, 0u));
  EXPECT_THAT(fs.writes, ElementsAre(8192u));
  EXPECT_EQ(fs.files[L"D:\\drv\\block.dll"], Bytes(8192));
}

TEST_F(FileCopyTest, PathsGetExactlyOneSeparator) {
  Assign(session.ModuleDirectory, L"C:\\product");
  fs.files[L"C:\\product\\a.dll"] = "a";
  wchar_t destination[64];
  EXPECT_EQ(CopyComponentFile(session, L"D:\\drv\\", L"a.dll", destination, 64, false), S_OK);
  EXPECT_STREQ(destination, L"D:\\drv\\a.dll");
  EXPECT_EQ(CopyComponentFile(session, L"D:\\drv", L"a.dll", destination, 64, false), S_OK);
  EXPECT_STREQ(destination, L"D:\\drv\\a.dll");
  // An empty target directory names the bare file.
  EXPECT_EQ(CopyComponentFile(session, L"", L"a.dll", destination, 64, false), S_OK);
  EXPECT_STREQ(destination, L"a.dll");
  EXPECT_THAT(fs.opened, ElementsAre(L"C:\\product\\a.dll", L"D:\\drv\\a.dll.tmp",
                                     L"C:\\product\\a.dll", L"D:\\drv\\a.dll.tmp",
                                     L"C:\\product\\a.dll", L"a.dll.tmp"));
  EXPECT_THAT(fs.replaced, ElementsAre(L"D:\\drv\\a.dll", L"D:\\drv\\a.dll", L"a.dll"));
  EXPECT_EQ(LogLines(session)[5], L">CopyFile a.dll to  [0])");
}

TEST_F(FileCopyTest, DestinationBufferTakesTheWholePathOrNothing) {
  fs.files[L"C:\\product\\x64\\a.dll"] = "a";
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
  wchar_t destination[64] = {};
  EXPECT_EQ(CopyComponentFile(session, L"C:\\sys", L"lmxmon64.dll", destination, 64, false),
            E_FAIL);
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_STREQ(destination, L"C:\\sys\\lmxmon64.dll");
  EXPECT_EQ(CopyComponentFile(session, L"C:\\sys", L"lmxmon64.dll", nullptr, 0, true), E_FAIL);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile lmxmon64.dll to C:\\sys [0])",
                          L"  Copy Failed :(", L">CopyFile lmxmon64.dll to C:\\sys [1])",
                          L"  Error(10): Cant't open source file: lmxmon64.dll - (" +
                              testutil::SystemText(ERROR_FILE_NOT_FOUND) + L")",
                          L"  Copy Failed :("));
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_FALSE(fs.files.count(L"C:\\sys\\lmxmon64.dll"));  // no destination was made
}

TEST_F(FileCopyTest, LockedDestinationTimesOutAfterTenSeconds) {
  fs.files[L"C:\\product\\x64\\lmxmon64.dll"] = Bytes(10);
  fs.locked.insert(L"C:\\sys\\lmxmon64.dll");
  fs.openDelayMs = 150;  // each refused open takes a while
  wchar_t destination[64] = {};
  EXPECT_EQ(CopyComponentFile(session, L"C:\\sys\\", L"lmxmon64.dll", destination, 64, true),
            E_FAIL);
  EXPECT_STREQ(destination, L"C:\\sys\\lmxmon64.dll");
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile lmxmon64.dll to C:\\sys\\ [1])",
                          L"  CreateFile - timeout",
                          L"  Error(9): Cant't open destination file: C:\\sys\\lmxmon64.dll - (" +
                              testutil::SystemText(ERROR_SHARING_VIOLATION) + L")",
                          L"  Copy Failed :("));
  EXPECT_EQ(session.ErrorCount, 1);
  // 200 ms per try (150 replace, 50 sleep): the try that ends past 10 s is
  // the 51st.
  EXPECT_EQ(fs.replaced.size(), 51u);
  EXPECT_EQ(fake::TheClock().slept, 50u * 50u);
  // Both files were closed again, and the copy that could not take the
  // destination's place is gone.
  EXPECT_THAT(fs.closed, ElementsAre(L"C:\\sys\\lmxmon64.dll.tmp",
                                     L"C:\\product\\x64\\lmxmon64.dll"));
  EXPECT_FALSE(fs.files.count(L"C:\\sys\\lmxmon64.dll.tmp"));
}

TEST_F(FileCopyTest, LockedDestinationGivesUpAfterHundredTriesWithoutALine) {
  fs.files[L"C:\\product\\x64\\lmxmon64.dll"] = Bytes(10);
  fs.locked.insert(L"C:\\sys\\lmxmon64.dll");
  fake::TheClock().now = 0xFFFFF000u;  // the tick count wraps during the retries
  EXPECT_EQ(CopyComponentFile(session, L"C:\\sys", L"lmxmon64.dll", nullptr, 0, false), E_FAIL);
  EXPECT_EQ(fs.replaced.size(), 100u);
  EXPECT_EQ(fake::TheClock().slept, 100u * 50u);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile lmxmon64.dll to C:\\sys [0])",
                          L"  Copy Failed :("));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(FileCopyTest, DestinationFreedDuringRetriesIsTaken) {
  fs.files[L"C:\\product\\x64\\a.dll"] = Bytes(100);
  fs.locked.insert(L"C:\\sys\\a.dll");
  int tries = 0;
  fake::Set<&Platform::Sleep>([&](DWORD ms) {
    fake::TheClock().now += ms;
    if (++tries == 3) fs.locked.clear();
  });
  EXPECT_EQ(CopyComponentFile(session, L"C:\\sys", L"a.dll", nullptr, 0, true), S_OK);
  EXPECT_EQ(fs.files[L"C:\\sys\\a.dll"], Bytes(100));
  EXPECT_EQ(tries, 3);
}

TEST_F(FileCopyTest, ShortWriteFailsTheCopy) {
  fs.files[L"C:\\product\\x64\\a.dll"] = Bytes(9000);
  fs.shortWriteAt = 1;
  EXPECT_EQ(CopyComponentFile(session, L"C:\\sys", L"a.dll", nullptr, 0, true), E_FAIL);
  EXPECT_THAT(fs.writes, ElementsAre(8192u));  // the copy stops at the short write
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile a.dll to C:\\sys [1])",
                          L"  Error(8): CopyFile(..,C:\\sys\\a.dll) - (" +
                              testutil::SystemText(ERROR_DISK_FULL) + L")",
                          L"  Copy Failed :("));
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(fs.closed.size(), 2u);
}

TEST_F(FileCopyTest, FailedReadFailsTheCopy) {
  fs.files[L"C:\\product\\x64\\a.dll"] = Bytes(20000);
  fs.failReadAt = 2;
  EXPECT_EQ(CopyComponentFile(session, L"C:\\sys", L"a.dll", nullptr, 0, false), E_FAIL);
  EXPECT_THAT(fs.writes, ElementsAre(8192u));
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">CopyFile a.dll to C:\\sys [0])",
                          L"  Error(8): CopyFile(..,C:\\sys\\a.dll) - (" +
                              testutil::SystemText(ERROR_READ_FAULT) + L")",
                          L"  Copy Failed :("));
  EXPECT_EQ(fs.closed.size(), 2u);
}

TEST(OpenDestinationTest, ReturnsTheFirstHandleThatOpens) {
  fake::FakePlatform os;
  InstallSession session;
  BeginSession(session);
  int calls = 0;
  fake::Set<&Platform::CreateFileW>([&](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                        HANDLE) -> HANDLE {
    if (++calls < 4) {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(0x44);
  });
  EXPECT_EQ(OpenDestinationWithRetry(session, L"C:\\x"), reinterpret_cast<HANDLE>(0x44));
  EXPECT_EQ(fake::TheClock().sleeps, (std::vector<DWORD>{50, 50, 50}));
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));
  EndSession(session);
}

}  // namespace

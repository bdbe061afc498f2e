// SetPlatformFiles: the 64-bit file set and the spooler's driver directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files/files.h"
#include "session_fixture.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

class PlatformFilesTest : public SessionOnFakes {
 protected:
  // A spooler that reports `directory` (bytes as given, `terminated` or not).
  void SpoolerReports(const std::wstring& directory, bool terminated = true) {
    fake::Set<&Platform::GetPrinterDriverDirectoryW>(
        [this, directory, terminated](LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                      DWORD size, LPDWORD needed) -> BOOL {
          queries.push_back({server == nullptr, environment ? environment : L"", level,
                             buffer != nullptr, size});
          DWORD bytes = static_cast<DWORD>((directory.size() + (terminated ? 1 : 0)) * 2);
          *needed = bytes;
          if (!buffer || size < bytes) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
          }
          std::memcpy(buffer, directory.data(), directory.size() * 2);
          if (terminated) reinterpret_cast<wchar_t*>(buffer)[directory.size()] = 0;
          return TRUE;
        });
  }

  void ExpectFileSet() {
    EXPECT_STREQ(session.Environment, L"Windows x64");
    EXPECT_STREQ(session.MonitorFile, L"lmxmon64.dll");
    EXPECT_STREQ(session.DriverFile, L"lmxdrv64.dll");
    EXPECT_STREQ(session.UiFile, L"lmxui64.dll");
    EXPECT_STREQ(session.HelpFile, L"lmxhelp.chm");
  }

  // The n-th directory query fails with `error`: the file set stays, the
  // directory is empty, and error 6 is logged with the system's text.
  void ExpectErrorSixWhenCallFails(int n, DWORD error) {
    SpoolerReports(L"C:\\x");
    fake::FailNth<&Platform::GetPrinterDriverDirectoryW>(n, error);
    SetPlatformFiles(session);
    ExpectFileSet();
    EXPECT_EQ(Length(session.DriverDirectory), 0u);
    EXPECT_THAT(LogLines(session),
                ElementsAre(L"Loomscribe 2070",
                            L"Error(6): Can`t retrieve printer driver directory. - (" +
                                testutil::SystemText(error) + L")"));
    EXPECT_EQ(session.ErrorCount, 1);
  }

  struct Query {
    bool local;
    std::wstring environment;
    DWORD level;
    bool withBuffer;
    DWORD size;
  };
  std::vector<Query> queries;
};

TEST_F(PlatformFilesTest, DirectoryGetsATrailingBackslash) {
  const std::wstring dir = L"C:\\windows\\system32\\spool\\drivers\\x64";
  SpoolerReports(dir);
  SetPlatformFiles(session);
  ExpectFileSet();
  EXPECT_EQ(std::wstring(Text(session.DriverDirectory)), dir + L"\\");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_TRUE(queries[0].local);
  EXPECT_EQ(queries[0].environment, L"Windows x64");
  EXPECT_EQ(queries[0].level, 1u);
  EXPECT_FALSE(queries[0].withBuffer);
  EXPECT_EQ(queries[0].size, 0u);
  EXPECT_TRUE(queries[1].withBuffer);
  EXPECT_EQ(queries[1].size, (dir.size() + 1) * 2);  // the reported size, not the larger block
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(PlatformFilesTest, DirectoryEndingInBackslashIsKept) {
  SpoolerReports(L"D:\\drivers\\");
  SetPlatformFiles(session);
  EXPECT_EQ(std::wstring(Text(session.DriverDirectory)), L"D:\\drivers\\");
}

TEST_F(PlatformFilesTest, UnterminatedAnswerStaysInsideTheBlock) {
  SpoolerReports(L"E:\\drv", /*terminated=*/false);
  SetPlatformFiles(session);
  EXPECT_EQ(std::wstring(Text(session.DriverDirectory)), L"E:\\drv\\");
}

TEST_F(PlatformFilesTest, EmptyAnswerStaysEmpty) {
  SpoolerReports(L"");
  SetPlatformFiles(session);
  EXPECT_EQ(Length(session.DriverDirectory), 0u);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(PlatformFilesTest, FailedSizeQueryLogsErrorSixAndKeepsTheNames) {
  ExpectErrorSixWhenCallFails(1, ERROR_INVALID_ENVIRONMENT);
  EXPECT_EQ(fake::CountCalls("GetPrinterDriverDirectoryW"), 1);
}

TEST_F(PlatformFilesTest, FailedSecondCallLogsErrorSix) {
  ExpectErrorSixWhenCallFails(2, ERROR_ACCESS_DENIED);
}

TEST_F(PlatformFilesTest, NoMemoryForTheAnswerIsErrorSix) {
  SpoolerReports(L"C:\\x");
  fake::FailNth<&Platform::HeapAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  SetPlatformFiles(session);
  EXPECT_EQ(Length(session.DriverDirectory), 0u);
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(fake::CountCalls("GetPrinterDriverDirectoryW"), 1);
}

}  // namespace

// ListMonitors, FindProductMonitor and LogMonitorList against a fake spooler.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

// Level-2 records for `names` (null for a record without a name), packed
// into `buffer` as the spooler packs them: records first, strings after.
DWORD PackMonitors(const std::vector<const wchar_t*>& names, BYTE* buffer, DWORD size) {
  DWORD needed = static_cast<DWORD>(names.size() * sizeof(MONITOR_INFO_2W));
  for (const wchar_t* name : names)
    if (name) needed += static_cast<DWORD>((wcslen(name) + 1) * 2) + 2 * 12 + 2 * 13;
  if (!buffer || size < needed) return needed;
  auto* records = reinterpret_cast<MONITOR_INFO_2W*>(buffer);
  BYTE* strings = buffer + names.size() * sizeof(MONITOR_INFO_2W);
  auto put = [&](const wchar_t* text) {
    auto* at = reinterpret_cast<wchar_t*>(strings);
    size_t n = wcslen(text) + 1;
    std::memcpy(at, text, n * 2);
    strings += n * 2;
    return at;
  };
  for (size_t i = 0; i < names.size(); ++i) {
    records[i] = {};
    if (!names[i]) continue;
    records[i].pName = put(names[i]);
    records[i].pEnvironment = put(L"Windows x64");  // 12 characters with NUL
    records[i].pDLLName = put(L"localspl.dll");     // 13
  }
  return needed;
}

// The system's text for `code` exactly as FormatMessageW gives it.
std::wstring RawSystemText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text),
      0, nullptr);
  std::wstring out = n && text ? std::wstring(text) : std::wstring();
  if (text) ::LocalFree(text);
  return out;
}

class MonitorListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    fake::Set<&Platform::GlobalFree>([this](HGLOBAL block) -> HGLOBAL {
      freed.push_back(block);
      return ::GlobalFree(block);
    });
  }
  void TearDown() override {
    FreeMonitorList(list);
    EndSession(session);
  }

  void SpoolerHas(const std::vector<const wchar_t*>& names) {
    fake::Set<&Platform::EnumMonitorsW>([this, names](LPWSTR server, DWORD level, LPBYTE buffer,
                                                      DWORD size, LPDWORD needed,
                                                      LPDWORD returned) -> BOOL {
      EXPECT_EQ(server, nullptr);
      EXPECT_EQ(level, 2u);
      sizes.push_back(size);
      *needed = PackMonitors(names, buffer, size);
      *returned = 0;
      if (!buffer || size < *needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      *returned = static_cast<DWORD>(names.size());
      return TRUE;
    });
  }

  std::wstring LogText() const { return Text(session.InstallLog); }

  fake::FakePlatform os;
  InstallSession session;
  MonitorList list;
  std::vector<DWORD> sizes;
  std::vector<HGLOBAL> freed;
};

TEST_F(MonitorListTest, ListsAndFindsTheProductMonitor) {
  SpoolerHas({L"Local Port", L"Standard TCP/IP Port", L"Loomscribe:", L"Loomscribe:"});
  ListMonitors(list, session);
  ASSERT_NE(list.buffer, nullptr);
  EXPECT_EQ(list.level, 2u);
  EXPECT_EQ(list.count, 4u);
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], 0u);
  EXPECT_EQ(sizes[1], PackMonitors({L"Local Port", L"Standard TCP/IP Port", L"Loomscribe:",
                                    L"Loomscribe:"},
                                   nullptr, 0));
  EXPECT_EQ(FindProductMonitor(list), 2);  // the first of the two
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorListTest, OnlyTheExactNameMatches) {
  SpoolerHas({L"Loomscribe: ", L"LOOMSCRIBE:", L"Loomscribe", L"loomscribe:", nullptr, L"Loom"});
  ListMonitors(list, session);
  ASSERT_EQ(list.count, 6u);
  EXPECT_EQ(FindProductMonitor(list), -1);

  // Level-1 records are searched too; other levels are not.
  MONITOR_INFO_1W level1[2] = {{const_cast<LPWSTR>(L"Local Port")},
                               {const_cast<LPWSTR>(L"Loomscribe:")}};
  MonitorList one{reinterpret_cast<BYTE*>(level1), 1, 2};
  EXPECT_EQ(FindProductMonitor(one), 1);
  one.level = 3;
  EXPECT_EQ(FindProductMonitor(one), -1);
  // An empty list is not looked into.
  MonitorList empty{reinterpret_cast<BYTE*>(static_cast<uintptr_t>(0x10)), 2, 0};
  EXPECT_EQ(FindProductMonitor(empty), -1);
}

TEST_F(MonitorListTest, SuccessWithoutABufferMeansNoMonitors) {
  fake::Set<&Platform::EnumMonitorsW>([](LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed,
                                         LPDWORD returned) -> BOOL {
    *needed = 0;
    *returned = 3;  // a count without records is not believed
    return TRUE;
  });
  ListMonitors(list, session);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(FindProductMonitor(list), -1);
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070", L"1. EnumMonitors returns true"));
  EXPECT_EQ(fake::CountCalls("EnumMonitorsW"), 1);
}

TEST_F(MonitorListTest, SizeQueryFailureLogsTheSystemTextAsItComes) {
  SpoolerHas({L"Loomscribe:"});
  fake::FailNth<&Platform::EnumMonitorsW>(1, ERROR_INVALID_PARAMETER);
  ListMonitors(list, session);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  // The system's text keeps its own line break, so an empty line follows.
  EXPECT_EQ(LogText(), L"Loomscribe 2070\r\n2. EnumMonitors  failed with code: " +
                           RawSystemText(ERROR_INVALID_PARAMETER) + L"\r\n");
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(fake::CountCalls("EnumMonitorsW"), 1);
}

TEST_F(MonitorListTest, UnknownCodeHasNoDescription) {
  fake::Set<&Platform::EnumMonitorsW>([](LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) -> BOOL {
    ::SetLastError(0x2000FFFF);
    return FALSE;
  });
  ListMonitors(list, session);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070",
                          L"2. EnumMonitors  failed with code: No Error or no description"));
}

TEST_F(MonitorListTest, SecondCallFailureFreesTheBlock) {
  SpoolerHas({L"Local Port", L"Loomscribe:"});
  fake::FailNth<&Platform::EnumMonitorsW>(2, RPC_S_SERVER_UNAVAILABLE);
  session.IndentDepth = 1;
  ListMonitors(list, session);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(freed.size(), 1u);
  EXPECT_EQ(LogText(), L"Loomscribe 2070\r\n  3. EnumMonitors  failed with code: " +
                           RawSystemText(RPC_S_SERVER_UNAVAILABLE) + L"\r\n");
  EXPECT_EQ(FindProductMonitor(list), -1);
}

TEST_F(MonitorListTest, NoMemoryLeavesOutOfMemoryForTheCaller) {
  SpoolerHas({L"Loomscribe:"});
  fake::FailNth<&Platform::GlobalAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  ListMonitors(list, session);
  EXPECT_EQ(::GetLastError(), 0x8007000Eu);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(fake::CountCalls("EnumMonitorsW"), 1);
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070",
                                             L"3. EnumMonitors - can't allocate memory for buffer"));
}

TEST_F(MonitorListTest, LogListsEveryMonitorNumberedFromOne) {
  SpoolerHas({L"Local Port", nullptr, L"Loomscribe:"});
  ListMonitors(list, session);
  session.IndentDepth = 1;
  LogMonitorList(session, list);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L"  ------- 3 existing monitors ----------",
                          L"  1. Local Port", L"  2. ***EMPTY***", L"  3. Loomscribe:",
                          L"  ---------------------------------------"));

  FreeMonitorList(list);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  session.IndentDepth = 0;
  LogMonitorList(session, list);
  auto lines = LogLines(session);
  EXPECT_THAT(std::vector<std::wstring>(lines.end() - 2, lines.end()),
              ElementsAre(L"------- 0 existing monitors ----------",
                          L"---------------------------------------"));
}

}  // namespace

// ListMonitors, FindProductMonitor and LogMonitorList against the machine model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "session/session.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

class MonitorListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Wrap<&Platform::GlobalFree>([this](auto& previous, HGLOBAL block) {
      freed.push_back(block);
      return previous(block);
    });
    // The block size each enumeration offers and the size it is told it needs.
    fake::Wrap<&Platform::EnumMonitorsW>([this](auto& previous, LPWSTR server, DWORD level,
                                                LPBYTE buffer, DWORD size, LPDWORD needed,
                                                LPDWORD returned) {
      EXPECT_EQ(server, nullptr);
      EXPECT_EQ(level, 2u);
      sizes.push_back(size);
      BOOL ok = previous(server, level, buffer, size, needed, returned);
      neededSizes.push_back(*needed);
      return ok;
    });
    BeginSession(session);
  }
  void TearDown() override {
    list = MonitorList();
    EndSession(session);
  }

  // Monitors by name ("" is listed without a name).
  void SpoolerHas(const std::vector<std::wstring>& names) {
    world.monitors.clear();
    for (const std::wstring& name : names)
      world.monitors.push_back({name, L"Windows x64", L"localspl.dll"});
  }

  std::wstring LogText() const { return Text(session.InstallLog); }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  MonitorList list;
  std::vector<DWORD> sizes, neededSizes;
  std::vector<HGLOBAL> freed;
};

// The system's text for `code` as FormatMessageW gives it, with its own line break.
std::wstring RawSystemText(DWORD code) { return testutil::SystemText(code) + L"\r\n"; }

TEST_F(MonitorListTest, ListsAndFindsTheProductMonitor) {
  SpoolerHas({L"Local Port", L"Standard TCP/IP Port", L"Loomscribe:", L"Loomscribe:"});
  ListMonitors(list, session);
  ASSERT_NE(list.buffer.get(), nullptr);
  EXPECT_EQ(list.level, 2u);
  EXPECT_EQ(list.count, 4u);
  ASSERT_EQ(neededSizes.size(), 2u);
  EXPECT_GT(neededSizes[0], 4 * sizeof(MONITOR_INFO_2W));
  EXPECT_THAT(sizes, ElementsAre(0u, neededSizes[0]));
  EXPECT_EQ(FindProductMonitor(list), 2);  // the first of the two
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(MonitorListTest, OnlyTheExactNameMatches) {
  SpoolerHas({L"Loomscribe: ", L"LOOMSCRIBE:", L"Loomscribe", L"loomscribe:", L"", L"Loom"});
  ListMonitors(list, session);
  ASSERT_EQ(list.count, 6u);
  EXPECT_EQ(FindProductMonitor(list), -1);

  // Level-1 records are searched too; other levels are not.
  MONITOR_INFO_1W level1[2] = {{const_cast<LPWSTR>(L"Local Port")},
                               {const_cast<LPWSTR>(L"Loomscribe:")}};
  // (The records belong to the test: the lists let them go unfreed.)
  MonitorList one{UniqueGlobal<BYTE>(reinterpret_cast<BYTE*>(level1)), 1, 2};
  EXPECT_EQ(FindProductMonitor(one), 1);
  one.level = 3;
  EXPECT_EQ(FindProductMonitor(one), -1);
  one.buffer.release();
  // An empty list is not looked into.
  MonitorList empty{UniqueGlobal<BYTE>(reinterpret_cast<BYTE*>(static_cast<uintptr_t>(0x10))), 2, 0};
  EXPECT_EQ(FindProductMonitor(empty), -1);
  empty.buffer.release();
}

TEST_F(MonitorListTest, SuccessWithoutABufferMeansNoMonitors) {
  // A count without records breaks the protocol on purpose.
  fake::Wrap<&Platform::EnumMonitorsW>([](auto&, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed,
                                          LPDWORD returned) -> BOOL {
    *needed = 0;
    *returned = 3;  // a count without records is not believed
    return TRUE;
  });
  ListMonitors(list, session);
  EXPECT_EQ(list.buffer.get(), nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(FindProductMonitor(list), -1);
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070", L"1. EnumMonitors returns true"));
  EXPECT_EQ(fake::CountCalls("EnumMonitorsW"), 1);
}

TEST_F(MonitorListTest, SizeQueryFailureLogsTheSystemTextAsItComes) {
  SpoolerHas({L"Loomscribe:"});
  fake::FailNth<&Platform::EnumMonitorsW>(1, ERROR_INVALID_PARAMETER);
  ListMonitors(list, session);
  EXPECT_EQ(list.buffer.get(), nullptr);
  EXPECT_EQ(list.count, 0u);
  // The system's text keeps its own line break, so an empty line follows.
  EXPECT_EQ(LogText(), L"Loomscribe 2070\r\n2. EnumMonitors  failed with code: " +
                           RawSystemText(ERROR_INVALID_PARAMETER) + L"\r\n");
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(fake::CountCalls("EnumMonitorsW"), 1);
}

TEST_F(MonitorListTest, UnknownCodeHasNoDescription) {
  fake::FailFrom<&Platform::EnumMonitorsW>(1, 0x2000FFFF);
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
  EXPECT_EQ(list.buffer.get(), nullptr);
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
  EXPECT_EQ(list.buffer.get(), nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(fake::CountCalls("EnumMonitorsW"), 1);
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070",
                                             L"3. EnumMonitors - can't allocate memory for buffer"));
}

TEST_F(MonitorListTest, LogListsEveryMonitorNumberedFromOne) {
  SpoolerHas({L"Local Port", L"", L"Loomscribe:"});
  ListMonitors(list, session);
  session.IndentDepth = 1;
  LogMonitorList(session, list);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L"  ------- 3 existing monitors ----------",
                          L"  1. Local Port", L"  2. ***EMPTY***", L"  3. Loomscribe:",
                          L"  ---------------------------------------"));

  list = MonitorList();
  session.IndentDepth = 0;
  LogMonitorList(session, list);
  auto lines = LogLines(session);
  EXPECT_THAT(std::vector<std::wstring>(lines.end() - 2, lines.end()),
              ElementsAre(L"------- 0 existing monitors ----------",
                          L"---------------------------------------"));
}

}  // namespace

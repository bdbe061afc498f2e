// The monitor list and the printer snapshot against Wine's spooler.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "printers/printers.h"
#include "session/session.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

using testutil::LogLines;

namespace {

const wchar_t kPrinterA[] = L"Loomscribe lists A";
const wchar_t kPrinterB[] = L"Loomscribe lists B";

class SpoolerListsSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousDefault = winespool::DefaultPrinter();
    winespool::RemoveAllProductState();
    BeginSession(session);
  }
  void TearDown() override {
    EndSession(session);
    winespool::RemoveAllProductState();
    if (!previousDefault.empty()) ::SetDefaultPrinterW(previousDefault.c_str());
  }
  std::wstring previousDefault;
  InstallSession session;
};

TEST_F(SpoolerListsSystemTest, ListMonitorsFindsTheRegisteredProductMonitor) {
  MonitorList list;
  ListMonitors(list, session);
  ASSERT_NE(list.buffer.get(), nullptr);
  EXPECT_EQ(FindProductMonitor(list), -1);
  list = MonitorList();

  ASSERT_TRUE(winespool::InstallProductMonitor()) << ::GetLastError();
  ListMonitors(list, session);
  ASSERT_NE(list.buffer.get(), nullptr);
  EXPECT_GE(list.count, 2u);
  int32_t index = FindProductMonitor(list);
  ASSERT_GE(index, 0);
  auto* records = reinterpret_cast<MONITOR_INFO_2W*>(list.buffer.get());
  EXPECT_STREQ(records[index].pName, L"Loomscribe:");
  EXPECT_STREQ(records[index].pDLLName, L"lmxmon64.dll");

  LogMonitorList(session, list);
  auto lines = LogLines(session);
  ASSERT_EQ(lines.size(), 1u + 1u + list.count + 1u);
  EXPECT_EQ(lines[1], L"------- " + std::to_wstring(list.count) + L" existing monitors ----------");
  EXPECT_EQ(lines[2 + index], std::to_wstring(index + 1) + L". Loomscribe:");
  EXPECT_EQ(lines.back(), std::wstring(39, L'-'));
  EXPECT_EQ(session.ErrorCount, 0);
  list = MonitorList();

  winespool::RemoveAllProductState();
  ListMonitors(list, session);
  EXPECT_EQ(FindProductMonitor(list), -1);
  list = MonitorList();
}

TEST_F(SpoolerListsSystemTest, SnapshotSeesThePrintersAndMarksTheDefault) {
  ASSERT_TRUE(winespool::InstallProductMonitor()) << ::GetLastError();
  ASSERT_TRUE(winespool::InstallProductDriver()) << ::GetLastError();
  ASSERT_TRUE(winespool::AddPrinterOn(kPrinterA, winespool::kDriver, winespool::kPort));
  ASSERT_TRUE(winespool::AddPrinterOn(kPrinterB, winespool::kDriver, winespool::kPort));
  ASSERT_TRUE(::SetDefaultPrinterW(kPrinterB)) << ::GetLastError();

  MarkDefaultPrinter(session);
  ASSERT_NE(session.Printers.buffer.get(), nullptr);
  EXPECT_EQ(session.Printers.count, winespool::Printers().size());
  const PRINTER_INFO_2W* a = nullptr;
  const PRINTER_INFO_2W* b = nullptr;
  int marked = 0;
  for (uint32_t i = 0; i < session.Printers.count; ++i) {
    const PRINTER_INFO_2W& record = session.Printers.buffer.get()[i];
    if (record.Attributes & PRINTER_ATTRIBUTE_DEFAULT) ++marked;
    if (record.pPrinterName && std::wstring(record.pPrinterName) == kPrinterA) a = &record;
    if (record.pPrinterName && std::wstring(record.pPrinterName) == kPrinterB) b = &record;
  }
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(a->pPortName, L"Loomscribe:");
  EXPECT_STREQ(a->pDriverName, L"Loomscribe printer");
  EXPECT_EQ(a->Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);
  EXPECT_NE(b->Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);
  EXPECT_EQ(marked, 1);

  // The record of one open printer.
  HANDLE printer = nullptr;
  ASSERT_TRUE(::OpenPrinterW(const_cast<LPWSTR>(kPrinterA), &printer, nullptr));
  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  ASSERT_NE(info.buffer.get(), nullptr);
  EXPECT_GT(info.size, sizeof(PRINTER_INFO_2W));
  EXPECT_STREQ(info.buffer.get()->pPrinterName, kPrinterA);
  EXPECT_STREQ(info.buffer.get()->pPortName, L"Loomscribe:");
  EXPECT_TRUE(::ClosePrinter(printer));

  // A fresh list is a separate snapshot with the same printers.
  PrinterList list;
  ListPrinters(list);
  EXPECT_EQ(list.count, session.Printers.count);
}

}  // namespace

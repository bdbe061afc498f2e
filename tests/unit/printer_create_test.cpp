#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "printers/printers.h"
#include "support/fake_platform.h"
#include "support/test_util.h"
#include "unit/printer_test_spooler.h"

using printertest::FakeSpooler;
using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::Optional;

namespace {

class AddProductPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override { BeginSession(session); }
  void TearDown() override {
    EndSession(session);
    EXPECT_EQ(spooler.openHandles, 0);
  }
  void Close(HANDLE printer) { ASSERT_TRUE(Os().ClosePrinter(printer)); }

  fake::FakePlatform os;
  FakeSpooler spooler;
  InstallSession session;
};

TEST_F(AddProductPrinterTest, MonitorFoundAndPrinterDescribedAsANewProductPrinter) {
  spooler.monitors = {std::wstring(L"Local Port"), std::wstring(L"Loomscribe:")};
  HANDLE printer = AddProductPrinter(session, L"Office");
  ASSERT_NE(printer, nullptr);
  Close(printer);

  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">AddPrinter(Office)",
                          L"  Let's check our port monitors", L"  Port monitor is found",
                          L"  OK :)"));
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_EQ(session.ErrorCount, 0);

  ASSERT_EQ(spooler.adds.size(), 1u);
  const printertest::AddRequest& r = spooler.adds[0];
  EXPECT_EQ(r.server, nullptr);
  EXPECT_EQ(r.level, 2u);
  EXPECT_THAT(r.name, Optional(std::wstring(L"Office")));
  EXPECT_EQ(r.share, std::nullopt);
  EXPECT_THAT(r.port, Optional(std::wstring(L"Loomscribe:")));
  EXPECT_THAT(r.driver, Optional(std::wstring(L"Loomscribe printer")));
  EXPECT_THAT(r.comment, Optional(std::wstring(L"")));  // empty, not missing
  EXPECT_EQ(r.location, std::nullopt);
  EXPECT_EQ(r.devMode, nullptr);
  EXPECT_EQ(r.sepFile, std::nullopt);
  EXPECT_THAT(r.processor, Optional(std::wstring(L"WinPrint")));
  EXPECT_EQ(r.datatype, std::nullopt);
  EXPECT_EQ(r.parameters, std::nullopt);
  EXPECT_EQ(r.security, nullptr);
  EXPECT_EQ(r.attributes | r.priority | r.defaultPriority | r.startTime | r.untilTime | r.status |
                r.jobs | r.ppm,
            0u);

  // The monitor check comes before the request.
  EXPECT_THAT(fake::CallsAmong({"EnumMonitorsW", "AddPrinterW"}),
              ElementsAre("EnumMonitorsW", "EnumMonitorsW", "AddPrinterW"));
}

TEST_F(AddProductPrinterTest, NoMonitorsAtAllIsReportedAndThePrinterStillRequested) {
  HANDLE printer = AddProductPrinter(session, L"P");
  ASSERT_NE(printer, nullptr);
  Close(printer);
  auto lines = LogLines(session);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[1], L">AddPrinter(P)");
  EXPECT_EQ(lines[2], L"  Let's check our port monitors");
  EXPECT_THAT(std::vector<std::wstring>(lines.end() - 3, lines.end()),
              ElementsAre(L"  No Loomscribe port monitor was found.",
                          L"  BTW, there is no port monitors on this system.", L"  OK :)"));
  EXPECT_EQ(spooler.adds.size(), 1u);
  EXPECT_NE(spooler.Find(L"P"), nullptr);
}

TEST_F(AddProductPrinterTest, OtherMonitorsAreListedWhenOursIsMissing) {
  spooler.monitors = {std::wstring(L"Local Port"), std::nullopt, std::wstring(L"Loomscribe: "),
                      std::wstring(L"LOOMSCRIBE:")};
  spooler.refuseAdd = {L"P"};
  ::SetLastError(0);
  EXPECT_EQ(AddProductPrinter(session, L"P"), nullptr);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">AddPrinter(P)", L"  Let's check our port monitors",
                          L"  No Loomscribe port monitor was found.",
                          L"  ------- 4 existing monitors ----------", L"  1. Local Port",
                          L"  2. ***EMPTY***", L"  3. Loomscribe: ", L"  4. LOOMSCRIBE:",
                          L"  ---------------------------------------",
                          L"  Error(15): Can`t add printer 'P' - (" +
                              testutil::SystemText(ERROR_UNKNOWN_PRINTER_DRIVER) + L")"));
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(AddProductPrinterTest, TakenNameFailsWithCode15AndLeavesTheExistingPrinter) {
  spooler.monitors = {std::wstring(L"Loomscribe:")};
  printertest::FakePrinter& existing = spooler.Add(L"Taken", std::string("keep"));
  existing.comment = std::wstring(L"mine");
  EXPECT_EQ(AddProductPrinter(session, L"Taken"), nullptr);
  auto lines = LogLines(session);
  EXPECT_EQ(lines.back(), L"  Error(15): Can`t add printer 'Taken' - (" +
                              testutil::SystemText(ERROR_PRINTER_ALREADY_EXISTS) + L")");
  EXPECT_EQ(session.ErrorCount, 1);
  ASSERT_EQ(spooler.printers.size(), 1u);
  EXPECT_THAT(spooler.printers[0].comment, Optional(std::wstring(L"mine")));
  EXPECT_EQ(spooler.printers[0].data.at("SubKey").bytes, std::string("keep", 5));
}

TEST_F(AddProductPrinterTest, FailedMonitorEnumerationOnlyChangesTheCheck) {
  fake::FailFrom<&Platform::EnumMonitorsW>(1, ERROR_ACCESS_DENIED);
  HANDLE printer = AddProductPrinter(session, L"P");
  ASSERT_NE(printer, nullptr);
  Close(printer);
  auto lines = LogLines(session);
  EXPECT_THAT(std::vector<std::wstring>(lines.end() - 3, lines.end()),
              ElementsAre(L"  No Loomscribe port monitor was found.",
                          L"  BTW, there is no port monitors on this system.", L"  OK :)"));
  EXPECT_EQ(session.ErrorCount, 0);
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "printers/printers.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

class AddProductPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.InstallProduct();
    fake::RecordPrinterRequests(&requests);
    BeginSession(session);
  }
  void TearDown() override {
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }
  void Close(HANDLE printer) { ASSERT_TRUE(Os().ClosePrinter(printer)); }

  fake::FakePlatform os;
  fake::World world;
  std::vector<fake::WorldPrinterRequest> requests;
  InstallSession session;
};

TEST_F(AddProductPrinterTest, MonitorFoundAndPrinterDescribedAsANewProductPrinter) {
  HANDLE printer = AddProductPrinter(session, L"Office");
  ASSERT_NE(printer, nullptr);
  Close(printer);

  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">AddPrinter(Office)",
                          L"  Let's check our port monitors", L"  Port monitor is found",
                          L"  OK :)"));
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_EQ(session.ErrorCount, 0);

  ASSERT_EQ(requests.size(), 1u);
  const fake::WorldPrinterRequest& r = requests[0];
  EXPECT_EQ(r.server, nullptr);
  EXPECT_EQ(r.level, 2u);
  EXPECT_STREQ(r.name.get(), L"Office");
  EXPECT_EQ(r.share.get(), nullptr);
  EXPECT_STREQ(r.port.get(), L"Loomscribe:");
  EXPECT_STREQ(r.driver.get(), L"Loomscribe printer");
  EXPECT_STREQ(r.comment.get(), L"");  // empty, not missing
  EXPECT_EQ(r.location.get(), nullptr);
  EXPECT_EQ(r.record.pDevMode, nullptr);
  EXPECT_EQ(r.sepFile.get(), nullptr);
  EXPECT_STREQ(r.processor.get(), L"WinPrint");
  EXPECT_EQ(r.datatype.get(), nullptr);
  EXPECT_EQ(r.parameters.get(), nullptr);
  EXPECT_EQ(r.record.pSecurityDescriptor, nullptr);
  EXPECT_EQ(r.record.Attributes | r.record.Priority | r.record.DefaultPriority |
                r.record.StartTime | r.record.UntilTime | r.record.Status | r.record.cJobs |
                r.record.AveragePPM,
            0u);
  // The spooler keeps the empty comment apart from the missing location.
  const fake::WorldPrinter* created = world.FindPrinter(L"Office");
  ASSERT_NE(created, nullptr);
  EXPECT_FALSE(created->comment.null);
  EXPECT_TRUE(created->location.null);

  // The monitor check comes before the request.
  EXPECT_THAT(fake::CallsAmong({"EnumMonitorsW", "AddPrinterW"}),
              ElementsAre("EnumMonitorsW", "EnumMonitorsW", "AddPrinterW"));
}

TEST_F(AddProductPrinterTest, NoMonitorsAtAllIsReportedAndThePrinterStillRequested) {
  world.monitors.clear();
  world.extraPorts.push_back(L"Loomscribe:");  // the port is still known to the spooler
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
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_NE(world.FindPrinter(L"P"), nullptr);
}

TEST_F(AddProductPrinterTest, OtherMonitorsAreListedWhenOursIsMissing) {
  world.monitors = {{L"Local Port", L"Windows x64", L"localspl.dll"},
                    {L"", L"Windows x64", L"nameless.dll"},  // listed without a name
                    {L"Loomscribe: ", L"Windows x64", L"lmxmon64.dll"},
                    {L"LOOMSCRIBE:", L"Windows x64", L"lmxmon64.dll"}};
  world.drivers.clear();
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
  world.AddProductPrinter(L"Taken", "keep").comment = L"mine";
  EXPECT_EQ(AddProductPrinter(session, L"Taken"), nullptr);
  auto lines = LogLines(session);
  EXPECT_EQ(lines.back(), L"  Error(15): Can`t add printer 'Taken' - (" +
                              testutil::SystemText(ERROR_PRINTER_ALREADY_EXISTS) + L")");
  EXPECT_EQ(session.ErrorCount, 1);
  ASSERT_EQ(world.printers.size(), 1u);
  EXPECT_EQ(world.printers[0].comment, L"mine");
  EXPECT_EQ(world.printers[0].data.at("").at("subkey").bytes, std::string("keep", 5));
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

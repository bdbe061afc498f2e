// Whole runs over spooler data at its limits, on the in-memory Windows: a
// foreign printer whose port text names "Loomscribe:" more than once (a
// pooled printer) while the monitor has to be replaced, and product printers
// with the longest names and texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

namespace {

class SpoolerLimitsTest : public ::testing::Test {
 protected:
  int Run(const wchar_t* word) {
    return testutil::RunCommand({word});
  }
  fake::WorldPrinter& AddForeign(const std::wstring& name, const std::wstring& port) {
    fake::WorldPrinter printer;
    printer.name = name;
    printer.port = port;
    printer.driver = L"Generic / Text Only";
    world.printers.push_back(printer);
    return world.printers.back();
  }
  fake::FakePlatform os;
  fake::World world;
};

TEST_F(SpoolerLimitsTest, PortTextNamingTheProductPortSeveralTimesComesBackWhole) {
  // An old monitor is replaced: the printers on its port are moved to
  // "file:" for the time being and back afterwards.
  world.InstallProduct(1000);
  fake::WorldDriver foreign;
  foreign.name = L"Generic / Text Only";
  foreign.environment = L"Windows x64";
  world.drivers.push_back(foreign);
  const std::wstring pooled = L"Loomscribe:,Loomscribe:,LPT1:,Loomscribe:";
  AddForeign(L"Pool", pooled);
  AddForeign(L"Single", L"Loomscribe:");

  int exit = Run(L"install");

  // Every mention is moved, so the port is free and the old monitor goes.
  EXPECT_EQ(exit, kExitInstalled);
  EXPECT_TRUE(world.dialogs.empty());
  ASSERT_NE(world.FindPrinter(L"Pool"), nullptr);
  EXPECT_EQ(world.FindPrinter(L"Pool")->port, pooled);
  ASSERT_NE(world.FindPrinter(L"Single"), nullptr);
  EXPECT_EQ(world.FindPrinter(L"Single")->port, L"Loomscribe:");
  EXPECT_NE(world.FindMonitor(L"Loomscribe:"), nullptr);
  EXPECT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
}

TEST_F(SpoolerLimitsTest, ProductPrintersWithLongNonAsciiTextsArriveWhole) {
  world.InstallProduct();
  const std::wstring head = L"Drucker \u2013 \u00dcn\u00efc\u00f8d\u00e9 \u6253\u5370\u673a ";
  auto textOf = [](std::wstring text, size_t length) {
    while (text.size() < length) text += static_cast<wchar_t>(L'0' + text.size() % 10);
    return text;
  };
  // The default printer's name is read into 255 characters with its
  // terminator: 254 is the longest default that is carried; a longer name
  // is carried without it.
  const std::wstring longest = textOf(head + L"A ", 259);
  const std::wstring longestDefault = textOf(head + L"B ", 254);
  const std::wstring comment = textOf(L"Kommentar \u00e4 ", 1000);
  const std::wstring location = textOf(L"Standort \u5730 ", 1000);
  for (const std::wstring& name : {longest, longestDefault}) {
    fake::WorldPrinter& printer = world.AddProductPrinter(name, "lmx-" + std::to_string(name.size()));
    printer.comment = comment + name.substr(name.size() - 3);
    printer.location = location + name.substr(name.size() - 3);
  }
  world.defaultPrinter = longestDefault;

  EXPECT_EQ(Run(L"install"), kExitInstalled);
  ASSERT_EQ(world.printers.size(), 2u);
  for (const std::wstring& name : {longest, longestDefault}) {
    fake::WorldPrinter* printer = world.FindPrinter(name);
    ASSERT_NE(printer, nullptr) << name.size();
    EXPECT_EQ(printer->name, name);
    EXPECT_EQ(printer->comment, comment + name.substr(name.size() - 3));
    EXPECT_EQ(printer->location, location + name.substr(name.size() - 3));
    EXPECT_EQ(printer->data.at("dsuser").at("subkey").bytes,
              "lmx-" + std::to_string(name.size()) + std::string(1, '\0'));
  }
  EXPECT_EQ(world.defaultPrinter, longestDefault);
}

}  // namespace

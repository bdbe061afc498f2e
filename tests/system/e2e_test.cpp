// install.exe end to end: started as a separate process, as the product's
// installer starts it, against Wine's spooler, registry and files. Each test
// runs a copy of the product folder (uninstall deletes the tray program the
// Run value names, and the build's product folder must stay whole).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

using ::testing::HasSubstr;

namespace {

using namespace productrun;


class EndToEndTest : public ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    // The product folder as the product's installer lays it out.
    product = StageProduct(L"e2e");
    ASSERT_TRUE(testutil::FileExists(product + L"\\x64\\install.exe"));
    ASSERT_TRUE(testutil::FileExists(product + L"\\lsbtray.exe"));
  }

  bool Start(const std::wstring& arguments, Process& process) {
    return productrun::Start(L"\"" + product + L"\\x64\\install.exe\" " + arguments, process);
  }
  DWORD Run(const std::wstring& arguments) { return RunInstall(product, arguments); }

  std::wstring product;
};

TEST_F(EndToEndTest, InstallOnACleanMachineEndsWithOne) {
  ASSERT_EQ(Run(L"install"), 1u);
  EXPECT_TRUE(winespool::Contains(winespool::MonitorNames(), L"Loomscribe:"));
  EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), L"Loomscribe printer"));
  auto printers = winespool::ProductPrinters();
  ASSERT_EQ(printers.size(), 1u);
  EXPECT_EQ(printers[0].name, L"Loomscribe");
  EXPECT_EQ(printers[0].port, L"Loomscribe:");
  EXPECT_EQ(printers[0].driver, L"Loomscribe printer");
  EXPECT_TRUE(testutil::FileExists(winespool::SystemDirectoryPath() + L"lmxmon64.dll"));
  // The staged copies went into the spooler's store.
  EXPECT_FALSE(testutil::FileExists(winespool::DriverDirectory() + L"lmxdrv64.dll"));
  EXPECT_EQ(ReadRunValue(), product + L"\\lsbtray.exe");
  EXPECT_NE(WaitForTrayWindow(10000), nullptr);
}

TEST_F(EndToEndTest, SecondInstallKeepsTheMonitorAndReplacesDriverAndPrinter) {
  ASSERT_EQ(Run(L"install"), 1u);
  std::wstring monitorFile = winespool::SystemDirectoryPath() + L"lmxmon64.dll";
  WIN32_FILE_ATTRIBUTE_DATA before = {};
  ASSERT_TRUE(::GetFileAttributesExW(monitorFile.c_str(), GetFileExInfoStandard, &before));
  ::Sleep(1100);  // a copy now would show a later write time

  EXPECT_EQ(Run(L"install"), 1u);
  EXPECT_TRUE(winespool::Contains(winespool::MonitorNames(), L"Loomscribe:"));
  WIN32_FILE_ATTRIBUTE_DATA after = {};
  ASSERT_TRUE(::GetFileAttributesExW(monitorFile.c_str(), GetFileExInfoStandard, &after));
  EXPECT_EQ(CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0)
      << "the compatible monitor file was copied again";
  EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), L"Loomscribe printer"));
  auto printers = winespool::ProductPrinters();
  ASSERT_EQ(printers.size(), 1u);
  EXPECT_EQ(printers[0].name, L"Loomscribe");
  EXPECT_EQ(printers[0].port, L"Loomscribe:");
  EXPECT_NE(WaitForTrayWindow(10000), nullptr);
}

TEST_F(EndToEndTest, InstallCarriesProductPrintersWithTheirSettings) {
  ASSERT_EQ(Run(L"install"), 1u);
  ASSERT_TRUE(winespool::AddPrinterOn(L"Loomscribe Office", winespool::kDriver, winespool::kPort));
  Customise(L"Loomscribe", "lmx-first", L"front desk", L"hall");
  Customise(L"Loomscribe Office", "lmx-office", L"second floor", L"room 12");
  ASSERT_TRUE(::SetDefaultPrinterW(L"Loomscribe Office"));

  EXPECT_EQ(Run(L"install"), 1u);
  auto printers = winespool::ProductPrinters();
  EXPECT_EQ(printers.size(), 2u);
  const winespool::PrinterRow* first = winespool::FindRow(printers, L"Loomscribe");
  const winespool::PrinterRow* office = winespool::FindRow(printers, L"Loomscribe Office");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(office, nullptr);
  EXPECT_EQ(first->comment, L"front desk");
  EXPECT_EQ(first->location, L"hall");
  EXPECT_EQ(office->comment, L"second floor");
  EXPECT_EQ(office->location, L"room 12");
  EXPECT_EQ(office->port, L"Loomscribe:");
  EXPECT_EQ(winespool::DefaultPrinter(), L"Loomscribe Office");
  EXPECT_EQ(SubKeyOf(L"Loomscribe Office", nullptr), "lmx-office");
  EXPECT_EQ(SubKeyOf(L"Loomscribe Office", "DsUser"), "lmx-office");
  EXPECT_EQ(SubKeyOf(L"Loomscribe", "DsUser"), "lmx-first");
}

TEST_F(EndToEndTest, UninstallEndsWithTwoAndLeavesNothingBehind) {
  ASSERT_EQ(Run(L"install"), 1u);
  ASSERT_NE(WaitForTrayWindow(10000), nullptr);

  EXPECT_EQ(Run(L"uninstall"), 2u);
  EXPECT_FALSE(winespool::Contains(winespool::MonitorNames(), L"Loomscribe:"));
  EXPECT_FALSE(winespool::Contains(winespool::DriverNames(), L"Loomscribe printer"));
  EXPECT_TRUE(winespool::ProductPrinters().empty());
  EXPECT_FALSE(RunValueExists());
  EXPECT_EQ(::FindWindowW(kTrayClass, nullptr), nullptr);
  EXPECT_FALSE(TrayMutexExists());
  EXPECT_FALSE(testutil::FileExists(product + L"\\lsbtray.exe"));
  EXPECT_FALSE(testutil::FileExists(winespool::SystemDirectoryPath() + L"lmxmon64.dll"));

  // Nothing left to remove: the same outcome.
  EXPECT_EQ(Run(L"un"), 2u);
  EXPECT_TRUE(winespool::ProductPrinters().empty());
}

TEST_F(EndToEndTest, AFailedInstallShowsTheErrorLogAndEndsWith100) {
  wchar_t display[64] = {};
  if (!::GetEnvironmentVariableW(L"DISPLAY", display, 64)) GTEST_SKIP() << "no display";
  ASSERT_TRUE(::DeleteFileW((product + L"\\x64\\lmxhelp.chm").c_str()));

  Process process;
  ASSERT_TRUE(Start(L"install", process));
  HWND dialog = nullptr;
  for (int waited = 0; !dialog && waited < 180000; waited += 250) {
    dialog = FindDialogOf(process.id);
    if (!dialog && process.Wait(250) != 0xFFFFFFFF) break;  // ended without a window
  }
  ASSERT_NE(dialog, nullptr) << "no log window";
  wchar_t title[300] = {};
  ::GetWindowTextW(dialog, title, 300);
  std::wstring text = WindowText(::GetDlgItem(dialog, 1001));
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_EQ(process.Wait(60000), 100u);

  EXPECT_EQ(std::wstring(title), L"Loomscribe build 2070- Install error log!");
  EXPECT_THAT(text, HasSubstr(L"Error(10): Cant't open source file: lmxhelp.chm - (" +
                              testutil::SystemText(ERROR_FILE_NOT_FOUND) + L")\r\n"));
  EXPECT_EQ(text.rfind(L"Loomscribe 2070\r\n", 0), 0u);
  // The rest of the install went on: the driver without its help file, the
  // printer, the tray.
  EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), L"Loomscribe printer"));
  EXPECT_EQ(winespool::ProductPrinters().size(), 1u);
}

}  // namespace

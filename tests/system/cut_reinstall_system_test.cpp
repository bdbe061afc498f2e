// A re-install cut off by TerminateProcess while it carries the product's
// printers, on Wine: the next `install.exe in` brings every printer back
// whole (sub-key in both places, comment, location, per-user marker
// cleared), the default printer too, and leaves other printers alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

using namespace productrun;

const char kMarkersKey[] = "Software\\Tamarel Software KFT\\Loomscribe\\Loomscribes";
const wchar_t kJournalKey[] = L"SOFTWARE\\Tamarel Software KFT\\Loomscribe\\CarriedPrinters";
const wchar_t kForeign[] = L"Lmx Other Vendor";
const wchar_t kForeignDriver[] = L"Lmx Other Driver";
constexpr int kPrinters = 8;

std::wstring NameOf(int i) { return L"Lmx Carried " + std::to_wstring(i); }
std::string SubKeyOf(int i) { return "lmx-cut-" + std::to_string(i); }
std::wstring CommentOf(int i) { return L"comment " + std::to_wstring(i); }
std::wstring LocationOf(int i) { return L"room " + std::to_wstring(i); }

int ProductPrintersPresent() {
  int n = 0;
  for (const winespool::PrinterRow& row : winespool::Printers())
    if (row.driver == winespool::kDriver) ++n;
  return n;
}

bool MarkerPresent(const std::string& subKey) {
  HKEY key = nullptr;
  std::string path = std::string(kMarkersKey) + "\\" + subKey;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  bool found = ::RegQueryValueExA(key, "deleted", nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
  ::RegCloseKey(key);
  return found;
}

void SetMarker(const std::string& subKey) {
  HKEY key = nullptr;
  std::string path = std::string(kMarkersKey) + "\\" + subKey;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD one = 1;
  ::RegSetValueExA(key, "deleted", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof one);
  ::RegCloseKey(key);
}

void DeleteMarkers() {
  ::RegDeleteTreeA(HKEY_CURRENT_USER, kMarkersKey);
}

// Entries left in the journal.
DWORD JournalEntries() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  DWORD subKeys = 0, values = 0;
  ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
  ::RegCloseKey(key);
  return subKeys + values;
}

// When to cut: once `gone` printers have been deleted, or, with `back`, once
// that many have been created again.
struct CutPoint {
  const char* name;
  int gone;
  int back;
};

class CutReinstallSystemTest : public ProductTest, public ::testing::WithParamInterface<CutPoint> {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    product = StageProduct(L"cut");
    // The product as an earlier install left it, then the user's printers.
    ASSERT_EQ(RunInstall(product, L"in"), 1u);
    winespool::DeletePrinterNamed(L"Loomscribe");
    for (int i = 0; i < kPrinters; ++i) {
      ASSERT_TRUE(winespool::AddPrinterOn(NameOf(i), winespool::kDriver, winespool::kPort));
      Customise(NameOf(i), SubKeyOf(i).c_str(), CommentOf(i), LocationOf(i));
      SetMarker(SubKeyOf(i));
    }
    ASSERT_TRUE(winespool::AddDriverOfProductFiles(kForeignDriver));
    ASSERT_TRUE(winespool::AddPrinterOn(kForeign, kForeignDriver, L"LPT1:"));
    ASSERT_TRUE(::SetDefaultPrinterW(NameOf(3).c_str()));
  }

  void CleanUp() override {
    ProductTest::CleanUp();
    winespool::DeletePrinterNamed(kForeign);
    winespool::RemoveDriverNamed(kForeignDriver);
    DeleteMarkers();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kJournalKey);
  }

  std::wstring product;
};

TEST_P(CutReinstallSystemTest, TheNextInstallBringsEveryPrinterBackWhole) {
  const CutPoint cut = GetParam();
  winespool::PrinterRow foreignBefore;
  for (const winespool::PrinterRow& row : winespool::Printers())
    if (row.name == kForeign) foreignBefore = row;

  Process run;
  ASSERT_TRUE(Start(L"\"" + product + L"\\x64\\install.exe\" in", run));
  // Watch the spooler and cut the run at the chosen point. The run deletes
  // the printers in the order the spooler lists them (their names' order)
  // and creates them again in the reverse order; opening one printer is far
  // quicker than listing them all, so the cut lands close to its point.
  const std::wstring watched = cut.back > 0 ? NameOf(kPrinters - cut.back) : NameOf(cut.gone - 1);
  bool wasGone = false;
  bool cutDone = false;
  for (int polls = 0; polls < 200000; ++polls) {
    if (run.Wait(0) != kNotEnded) break;
    HANDLE printer = nullptr;
    bool present = ::OpenPrinterW(const_cast<LPWSTR>(watched.c_str()), &printer, nullptr) != FALSE;
    if (present) ::ClosePrinter(printer);
    if (!present) wasGone = true;
    if (cut.back > 0 ? wasGone && present : !present) {
      cutDone = ::TerminateProcess(run.handle, 99) != FALSE;
      run.Wait(10000);
      break;
    }
  }
  std::cout << "cut " << cut.name << ": " << (cutDone ? "done" : "run ended first") << " with "
            << ProductPrintersPresent() << " product printers present, " << JournalEntries()
            << " journal entries\n";
  QuitAnyTray();

  EXPECT_EQ(RunInstall(product, L"in"), 1u);
  for (int i = 0; i < kPrinters; ++i) {
    SCOPED_TRACE(testutil::Widen(SubKeyOf(i)));
    const winespool::PrinterRow* row = nullptr;
    std::vector<winespool::PrinterRow> rows = winespool::Printers();
    for (const winespool::PrinterRow& r : rows)
      if (r.name == NameOf(i)) row = &r;
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->driver, winespool::kDriver);
    EXPECT_EQ(row->port, winespool::kPort);
    EXPECT_EQ(row->comment, CommentOf(i));
    EXPECT_EQ(row->location, LocationOf(i));
    EXPECT_EQ(productrun::SubKeyOf(NameOf(i), nullptr), SubKeyOf(i));
    EXPECT_EQ(productrun::SubKeyOf(NameOf(i), "DsUser"), SubKeyOf(i));
    EXPECT_FALSE(MarkerPresent(SubKeyOf(i)));
  }
  EXPECT_EQ(ProductPrintersPresent(), kPrinters);  // no spare "Loomscribe"
  EXPECT_EQ(winespool::DefaultPrinter(), NameOf(3));
  bool found = false;
  for (const winespool::PrinterRow& row : winespool::Printers())
    if (row.name == kForeign) {
      found = true;
      EXPECT_EQ(row.port, foreignBefore.port);
      EXPECT_EQ(row.driver, kForeignDriver);
    }
  EXPECT_TRUE(found);
  EXPECT_EQ(JournalEntries(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cut, CutReinstallSystemTest,
                         ::testing::Values(CutPoint{"FirstGone", 1, 0},
                                           CutPoint{"HalfGone", kPrinters / 2, 0},
                                           CutPoint{"AllGone", kPrinters, 0},
                                           CutPoint{"OneBack", 0, 1}),
                         [](const ::testing::TestParamInfo<CutPoint>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

// Product printers at the limits of what Wine's spooler holds: the longest
// name it accepts, written with characters outside ASCII, with long comments
// and locations, carried across a re-install by install.exe (a separate
// process). Names, comments, locations, "SubKey" and the default printer
// must arrive whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cwctype>

#include <iostream>
#include <string>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

using namespace productrun;

// Wine takes names of up to 255 characters, but lists a printer only when
// its name fits 254: a longer one breaks EnumPrintersW as a whole.
const size_t kCandidateLengths[] = {259, 255, 254, 250, 240, 220};
const std::wstring kNonAscii = L"Drucker \u2013 \u00dcn\u00efc\u00f8d\u00e9 \u6253\u5370\u673a";

// A text of exactly `length` characters: `head`, then a counter pattern, so
// that a cut anywhere shows.
std::wstring TextOf(const std::wstring& head, size_t length) {
  std::wstring text = head.substr(0, length);
  for (size_t i = text.size(); i < length; ++i) text += static_cast<wchar_t>(L'0' + i % 10);
  return text;
}

bool Opens(const std::wstring& name) {
  HANDLE printer = nullptr;
  if (!::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, nullptr)) return false;
  ::ClosePrinter(printer);
  return true;
}

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// The raw PendingFileRenameOperations, so that what a test run queues for
// the restart does not stay in the shared prefix.
std::vector<BYTE> PendingValue(bool* exists) {
  DWORD bytes = 0;
  *exists = ::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue, RRF_RT_ANY, nullptr,
                           nullptr, &bytes) == ERROR_SUCCESS;
  std::vector<BYTE> data(bytes);
  if (*exists && bytes &&
      ::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue, RRF_RT_ANY, nullptr,
                     data.data(), &bytes) != ERROR_SUCCESS)
    data.clear();
  return data;
}

void RestorePendingValue(const std::vector<BYTE>& data, bool exists) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  if (exists)
    ::RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, data.data(),
                     static_cast<DWORD>(data.size()));
  else
    ::RegDeleteValueW(key, kPendingValue);
  ::RegCloseKey(key);
}

class SpoolerLimitsSystemTest : public ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    pendingBefore = PendingValue(&hadPending);
    product = StageProduct(L"limits");
    ASSERT_TRUE(testutil::FileExists(product + L"\\x64\\install.exe"));
    // install.exe puts the product in: the monitor library is then loaded by
    // no one but the spooler, and an uninstall can delete it.
    ASSERT_EQ(Run(L"install"), 1u);
  }

  void TearDown() override {
    ProductTest::TearDown();
    RestorePendingValue(pendingBefore, hadPending);
  }

  // Printers the enumeration cannot show are deleted by name.
  void CleanUp() override {
    for (size_t length : kCandidateLengths)
      for (const wchar_t* tag : {L" ", L" A ", L" B "})
        winespool::DeletePrinterNamed(TextOf(kNonAscii + tag, length));
    winespool::DeletePrinterNamed(kNonAscii);
    ProductTest::CleanUp();
  }

  DWORD Run(const std::wstring& arguments) { return RunInstall(product, arguments); }

  // The longest of the candidate lengths for which the spooler makes a
  // printer that it lists again under its whole name and can open; 0 when
  // none.
  size_t LongestAcceptedName() {
    for (size_t length : kCandidateLengths) {
      std::wstring name = TextOf(kNonAscii + L" ", length);
      bool added = winespool::AddPrinterOn(name, winespool::kDriver, winespool::kPort);
      bool listed = false;
      for (const winespool::PrinterRow& row : winespool::Printers())
        if (row.name == name) listed = true;
      bool opens = added && Opens(name);
      winespool::DeletePrinterNamed(name);
      std::cout << "printer name of " << length << " characters: " << (added ? "added" : "refused")
                << (listed ? ", listed" : ", not listed") << (opens ? ", opens" : "") << "\n";
      if (added && listed && opens) return length;
    }
    return 0;
  }

  std::wstring product;
  std::vector<BYTE> pendingBefore;
  bool hadPending = false;
};

TEST_F(SpoolerLimitsSystemTest, LongestNonAsciiNamesCommentsAndLocationsCrossAReinstall) {
  size_t longest = LongestAcceptedName();
  ASSERT_GE(longest, 220u) << "the spooler refuses even 220-character names";
  std::cout << "longest printer name the spooler accepts: " << longest << " characters\n";

  struct Carried {
    std::wstring name, comment, location;
    std::string subKey;
  };
  const std::vector<Carried> printers = {
      {TextOf(kNonAscii + L" A ", longest), TextOf(L"Kommentar \u00e4\u00f6\u00fc ", 255),
       TextOf(L"Standort \u6253\u5370 ", 255), "lmx-long"},
      {kNonAscii, L"\u00dcn\u00efc\u00f8d\u00e9 \u2013 comment", L"\u5730\u70b9", "lmx-short"},
  };
  for (const Carried& p : printers) {
    ASSERT_TRUE(winespool::AddPrinterOn(p.name, winespool::kDriver, winespool::kPort));
    Customise(p.name, p.subKey.c_str(), p.comment, p.location);
  }
  ASSERT_TRUE(::SetDefaultPrinterW(printers[0].name.c_str()));

  EXPECT_EQ(Run(L"install"), 1u);

  std::vector<winespool::PrinterRow> rows = winespool::Printers();
  for (const Carried& p : printers) {
    const winespool::PrinterRow* row = nullptr;
    for (const winespool::PrinterRow& r : rows)
      if (r.name == p.name) row = &r;
    ASSERT_NE(row, nullptr) << "printer of " << p.name.size() << " characters lost";
    EXPECT_EQ(row->comment, p.comment);
    EXPECT_EQ(row->location, p.location);
    EXPECT_EQ(row->port, winespool::kPort);
    EXPECT_EQ(row->driver, winespool::kDriver);
    EXPECT_EQ(SubKeyOf(p.name, "DsUser"), p.subKey);
  }
  EXPECT_EQ(winespool::DefaultPrinter(), printers[0].name);
  // Nothing else: the first install's printer has no "SubKey" and is not
  // carried, and no new one is added beside the carried ones.
  size_t product = 0;
  for (const winespool::PrinterRow& r : rows)
    if (r.driver == winespool::kDriver) ++product;
  EXPECT_EQ(product, printers.size());
}

TEST_F(SpoolerLimitsSystemTest, UninstallRemovesPrintersWithTheLongestNames) {
  size_t longest = LongestAcceptedName();
  ASSERT_GE(longest, 220u);
  std::wstring name = TextOf(kNonAscii + L" B ", longest);
  ASSERT_TRUE(winespool::AddPrinterOn(name, winespool::kDriver, winespool::kPort));
  EXPECT_EQ(::GetModuleHandleW(L"lmxmon64.dll"), nullptr) << "this process holds the monitor";
  // Wine's spooler runs inside this process and loaded the driver's
  // configuration file when the printer was added: the uninstall cannot
  // delete it, even with the spooler stopped, and hands it to Windows for
  // the next restart.
  ASSERT_NE(::GetModuleHandleW(L"lmxui64.dll"), nullptr);
  EXPECT_EQ(Run(L"uninstall"), 101u);
  for (const winespool::PrinterRow& r : winespool::Printers()) EXPECT_NE(r.name, name);
  EXPECT_FALSE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
}

// A pooled printer whose port text names "Loomscribe:" twice. Where the
// spooler takes such a text at all, the printer is carried like any other.
TEST_F(SpoolerLimitsSystemTest, PooledPortTextNamingTheProductPortTwice) {
  const std::wstring name = L"Loomscribe Pool \u6253\u5370\u673a";
  if (!winespool::AddPrinterOn(name, winespool::kDriver, L"Loomscribe:,Loomscribe:"))
    GTEST_SKIP() << "the spooler refuses the port text (error " << ::GetLastError() << ")";
  Customise(name, "lmx-pool", L"pooled \u00fc", L"twice");
  EXPECT_EQ(Run(L"install"), 1u);
  const winespool::PrinterRow* row = nullptr;
  std::vector<winespool::PrinterRow> rows = winespool::Printers();
  for (const winespool::PrinterRow& r : rows)
    if (r.name == name) row = &r;
  ASSERT_NE(row, nullptr);
  EXPECT_NE(row->port.find(winespool::kPort), std::wstring::npos) << row->port;
  EXPECT_EQ(row->comment, L"pooled \u00fc");
  EXPECT_EQ(row->location, L"twice");
  EXPECT_EQ(SubKeyOf(name, "DsUser"), "lmx-pool");
}

}  // namespace

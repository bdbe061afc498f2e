// The product's printers carried across a re-install, on Wine's spooler:
// snapshot, save and delete, re-create with their settings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "printers/printers.h"
#include "session/session.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

const wchar_t kForeignDriver[] = L"Loomscribe printer 2";  // begins like ours, is not ours
const wchar_t kForeignPrinter[] = L"Lmx Foreign";
const wchar_t kPrinterA[] = L"Lmx Printer A";
const wchar_t kPrinterB[] = L"Lmx Printer B";
const char kVendorKey[] = "Software\\Tamarel Software KFT";
const char kProductKey[] = "Software\\Tamarel Software KFT\\Loomscribe";
const char kMarkersKey[] = "Software\\Tamarel Software KFT\\Loomscribe\\Loomscribes";
const char kDefaultKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

std::string MarkerKey(const char* subKey) { return std::string(kMarkersKey) + "\\" + subKey; }

HANDLE OpenByName(const wchar_t* name, DWORD access) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
  HANDLE printer = nullptr;
  if (!::OpenPrinterW(const_cast<LPWSTR>(name), &printer, access ? &defaults : nullptr))
    return nullptr;
  return printer;
}

bool SetCommentAndLocation(const wchar_t* name, const wchar_t* comment, const wchar_t* location) {
  HANDLE printer = OpenByName(name, PRINTER_ALL_ACCESS);
  if (!printer) return false;
  DWORD needed = 0;
  ::GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> block(needed ? needed : 1);
  bool ok = needed && ::GetPrinterW(printer, 2, block.data(), needed, &needed);
  if (ok) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
    info->pComment = const_cast<LPWSTR>(comment);
    info->pLocation = const_cast<LPWSTR>(location);
    ok = ::SetPrinterW(printer, 2, block.data(), 0) != FALSE;
  }
  ::ClosePrinter(printer);
  return ok;
}

bool SetSubKey(const wchar_t* name, const char* dsUserOnly, const char* plain) {
  HANDLE printer = OpenByName(name, PRINTER_ALL_ACCESS);
  if (!printer) return false;
  bool ok = true;
  if (plain)
    ok = ::SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ,
                           reinterpret_cast<LPBYTE>(const_cast<char*>(plain)),
                           static_cast<DWORD>(std::strlen(plain) + 1)) == ERROR_SUCCESS;
  if (dsUserOnly)
    ok = ok && ::SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ,
                                   reinterpret_cast<LPBYTE>(const_cast<char*>(dsUserOnly)),
                                   static_cast<DWORD>(std::strlen(dsUserOnly) + 1)) == ERROR_SUCCESS;
  ::ClosePrinter(printer);
  return ok;
}

// The "SubKey" text of one place, or nullopt when it is absent or no REG_SZ.
std::optional<std::string> ReadSubKey(const wchar_t* name, bool dsUser) {
  HANDLE printer = OpenByName(name, 0);
  if (!printer) return std::nullopt;
  char buffer[256] = {};
  DWORD type = REG_NONE, needed = 0;
  DWORD status = dsUser ? ::GetPrinterDataExA(printer, "DsUser", "SubKey", &type,
                                              reinterpret_cast<LPBYTE>(buffer), 255, &needed)
                        : ::GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                                            reinterpret_cast<LPBYTE>(buffer), 255, &needed);
  ::ClosePrinter(printer);
  if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  return std::string(buffer);
}

bool CreateMarker(const char* subKey, bool withOther) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, MarkerKey(subKey).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  DWORD one = 1;
  bool ok = ::RegSetValueExA(key, "deleted", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one),
                             sizeof one) == ERROR_SUCCESS;
  if (withOther)
    ok = ok && ::RegSetValueExA(key, "other", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2) ==
                   ERROR_SUCCESS;
  ::RegCloseKey(key);
  return ok;
}

bool HasValue(const std::string& keyPath, const char* value) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  bool found = ::RegQueryValueExA(key, value, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return found;
}

// Deletes the key when it holds neither sub-keys nor values.
void DeleteKeyIfEmpty(const char* path, HKEY root = HKEY_CURRENT_USER) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD subKeys = 1, values = 1;
  LSTATUS status = ::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                      &values, nullptr, nullptr, nullptr, nullptr);
  ::RegCloseKey(key);
  if (status == ERROR_SUCCESS && subKeys == 0 && values == 0) ::RegDeleteKeyA(root, path);
}

bool KeyExists(HKEY root, const char* path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

// Keys the spooler creates for the first printer or driver and leaves behind,
// empty, when the last one goes; innermost first.
struct SpoolerKey {
  HKEY root;
  const char* path;
};
const SpoolerKey kSpoolerKeys[] = {
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts"},
    {HKEY_LOCAL_MACHINE,
     "System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3"},
    {HKEY_LOCAL_MACHINE,
     "System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers"},
};

// The user's default-printer value as the test found it, put back at the end.
struct DefaultPrinterValue {
  bool keyExisted = false;
  std::optional<std::wstring> device;

  void Take() {
    HKEY key = nullptr;
    keyExisted = ::RegOpenKeyExA(HKEY_CURRENT_USER, kDefaultKey, 0, KEY_READ, &key) ==
                 ERROR_SUCCESS;
    if (!keyExisted) return;
    wchar_t text[1024] = {};
    DWORD bytes = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, L"Device", nullptr, &type, reinterpret_cast<BYTE*>(text),
                           &bytes) == ERROR_SUCCESS)
      device = std::wstring(text);
    ::RegCloseKey(key);
  }

  void Restore() const {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kDefaultKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
      return;
    if (device)
      ::RegSetValueExW(key, L"Device", 0, REG_SZ, reinterpret_cast<const BYTE*>(device->c_str()),
                       static_cast<DWORD>((device->size() + 1) * sizeof(wchar_t)));
    else
      ::RegDeleteValueW(key, L"Device");
    ::RegCloseKey(key);
    if (!keyExisted) DeleteKeyIfEmpty(kDefaultKey);
  }
};

void RemoveEverything() {
  for (const wchar_t* name : {kForeignPrinter, kPrinterA, kPrinterB, L"Loomscribe"})
    winespool::DeletePrinterNamed(name);
  winespool::RemoveDriverNamed(kForeignDriver);
  winespool::RemoveAllProductState();
  for (const char* subKey : {"s1", "s2"}) ::RegDeleteKeyA(HKEY_CURRENT_USER, MarkerKey(subKey).c_str());
  for (const char* path : {kMarkersKey, kProductKey, kVendorKey}) DeleteKeyIfEmpty(path);
}

size_t IndexOf(const std::vector<std::wstring>& lines, const std::wstring& line) {
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

class PrintersOnWine : public ::testing::Test {
 protected:
  void SetUp() override {
    defaultValue.Take();
    for (size_t i = 0; i < std::size(kSpoolerKeys); ++i)
      keyExisted[i] = KeyExists(kSpoolerKeys[i].root, kSpoolerKeys[i].path);
    RemoveEverything();
  }
  void TearDown() override {
    RemoveEverything();
    defaultValue.Restore();
    EXPECT_EQ(winespool::FindRow(winespool::Printers(), kForeignPrinter), nullptr);
    EXPECT_FALSE(winespool::Contains(winespool::DriverNames(), kForeignDriver));
    // Last: listing the drivers creates the drivers key again.
    for (size_t i = 0; i < std::size(kSpoolerKeys); ++i)
      if (!keyExisted[i]) DeleteKeyIfEmpty(kSpoolerKeys[i].path, kSpoolerKeys[i].root);
  }
  DefaultPrinterValue defaultValue;
  bool keyExisted[std::size(kSpoolerKeys)] = {};
};

TEST_F(PrintersOnWine, ReinstallCarriesTheProductPrintersAndLeavesTheForeignOne) {
  ASSERT_TRUE(winespool::InstallProductMonitor()) << ::GetLastError();
  ASSERT_TRUE(winespool::InstallProductDriver()) << ::GetLastError();
  ASSERT_TRUE(winespool::AddDriverOfProductFiles(kForeignDriver)) << ::GetLastError();
  ASSERT_TRUE(winespool::AddPrinterOn(kPrinterA, winespool::kDriver, winespool::kPort))
      << ::GetLastError();
  ASSERT_TRUE(winespool::AddPrinterOn(kForeignPrinter, kForeignDriver, L"FILE:"))
      << ::GetLastError();
  ASSERT_TRUE(winespool::AddPrinterOn(kPrinterB, winespool::kDriver, winespool::kPort))
      << ::GetLastError();
  ASSERT_TRUE(SetCommentAndLocation(kPrinterA, L"Comment of A", L"Room 101"));
  ASSERT_TRUE(SetCommentAndLocation(kPrinterB, L"Comment of B", L"Hall"));
  ASSERT_TRUE(SetCommentAndLocation(kForeignPrinter, L"Foreign comment", L"Elsewhere"));
  ASSERT_TRUE(SetSubKey(kPrinterA, nullptr, "s1"));
  ASSERT_TRUE(SetSubKey(kPrinterB, "s2", nullptr));  // only under "DsUser"
  ASSERT_TRUE(SetSubKey(kForeignPrinter, nullptr, "foreign"));
  ASSERT_TRUE(::SetDefaultPrinterW(kPrinterA)) << ::GetLastError();
  ASSERT_TRUE(CreateMarker("s1", false));
  ASSERT_TRUE(CreateMarker("s2", true));

  InstallSession session;
  BeginSession(session);
  MarkDefaultPrinter(session);
  DeleteAllPrinters(session);

  std::vector<winespool::PrinterRow> between = winespool::Printers();
  EXPECT_EQ(winespool::FindRow(between, kPrinterA), nullptr);
  EXPECT_EQ(winespool::FindRow(between, kPrinterB), nullptr);
  EXPECT_NE(winespool::FindRow(between, kForeignPrinter), nullptr);
  std::vector<std::wstring> saved;
  for (SavedPrinter* node = session.SavedPrinters.get(); node; node = node->next)
    saved.push_back(node->printer->pPrinterName);
  EXPECT_THAT(saved, ElementsAre(kPrinterB, kPrinterA));

  RecreateSavedPrinters(session);
  std::vector<std::wstring> log = LogLines(session);
  int errors = session.ErrorCount;
  EndSession(session);

  EXPECT_EQ(errors, 0) << ::testing::PrintToString(log);
  // B is re-created before A, each after the monitor was found.
  size_t addB = IndexOf(log, L">AddPrinter(Lmx Printer B)");
  size_t addA = IndexOf(log, L">AddPrinter(Lmx Printer A)");
  ASSERT_LT(addA, log.size());
  EXPECT_LT(addB, addA);
  EXPECT_THAT(std::vector<std::wstring>(log.begin() + addB, log.begin() + addB + 4),
              ElementsAre(L">AddPrinter(Lmx Printer B)", L"  Let's check our port monitors",
                          L"  Port monitor is found", L"  OK :)"));
  EXPECT_EQ(std::count(log.begin(), log.end(), L"    OK"), 2);  // the two deletions

  std::vector<winespool::PrinterRow> after = winespool::Printers();
  const winespool::PrinterRow* a = winespool::FindRow(after, kPrinterA);
  const winespool::PrinterRow* b = winespool::FindRow(after, kPrinterB);
  const winespool::PrinterRow* foreign = winespool::FindRow(after, kForeignPrinter);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(foreign, nullptr);
  EXPECT_EQ(winespool::FindRow(after, L"Loomscribe"), nullptr);
  EXPECT_EQ(a->port, L"Loomscribe:");
  EXPECT_EQ(a->driver, L"Loomscribe printer");
  EXPECT_EQ(a->comment, L"Comment of A");
  EXPECT_EQ(a->location, L"Room 101");
  EXPECT_EQ(b->port, L"Loomscribe:");
  EXPECT_EQ(b->driver, L"Loomscribe printer");
  EXPECT_EQ(b->comment, L"Comment of B");
  EXPECT_EQ(b->location, L"Hall");
  EXPECT_EQ(ReadSubKey(kPrinterA, false), std::optional<std::string>("s1"));
  EXPECT_EQ(ReadSubKey(kPrinterA, true), std::optional<std::string>("s1"));
  EXPECT_EQ(ReadSubKey(kPrinterB, false), std::optional<std::string>("s2"));
  EXPECT_EQ(ReadSubKey(kPrinterB, true), std::optional<std::string>("s2"));
  EXPECT_EQ(winespool::DefaultPrinter(), kPrinterA);

  EXPECT_FALSE(HasValue(MarkerKey("s1"), "deleted"));
  EXPECT_FALSE(HasValue(MarkerKey("s2"), "deleted"));
  EXPECT_TRUE(HasValue(MarkerKey("s2"), "other"));

  EXPECT_EQ(foreign->driver, kForeignDriver);
  EXPECT_EQ(foreign->port, L"FILE:");
  EXPECT_EQ(foreign->comment, L"Foreign comment");
  EXPECT_EQ(foreign->location, L"Elsewhere");
  EXPECT_EQ(ReadSubKey(kForeignPrinter, false), std::optional<std::string>("foreign"));
  EXPECT_EQ(ReadSubKey(kForeignPrinter, true), std::nullopt);
}

TEST_F(PrintersOnWine, FirstInstallCreatesOnePrinterLoomscribe) {
  ASSERT_TRUE(winespool::InstallProductMonitor()) << ::GetLastError();
  ASSERT_TRUE(winespool::InstallProductDriver()) << ::GetLastError();
  std::wstring defaultBefore = winespool::DefaultPrinter();

  InstallSession session;
  BeginSession(session);
  MarkDefaultPrinter(session);
  DeleteAllPrinters(session);
  RecreateSavedPrinters(session);
  int errors = session.ErrorCount;
  EndSession(session);

  EXPECT_EQ(errors, 0);
  std::vector<winespool::PrinterRow> after = winespool::Printers();
  const winespool::PrinterRow* printer = winespool::FindRow(after, L"Loomscribe");
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(printer->port, L"Loomscribe:");
  EXPECT_EQ(printer->driver, L"Loomscribe printer");
  EXPECT_EQ(printer->comment, L"");
  EXPECT_EQ(ReadSubKey(L"Loomscribe", false), std::nullopt);
  EXPECT_EQ(winespool::DefaultPrinter(), defaultBefore);
}

}  // namespace

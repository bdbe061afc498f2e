// The status commands of install.exe ("onChkDrv", "onInit", "def.set") run as
// a separate process against Wine's spooler, registry and files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

using winespool::kDriver;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const wchar_t kWindowsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const wchar_t kDeviceValue[] = L"Device";
// A driver of someone else's, made of copies of the product's files under
// names of their own, so that removing it never touches the product's files.
const wchar_t kForeignDriver[] = L"Loomscribe status test foreign driver";
const wchar_t kForeignDriverFile[] = L"lmxtestfd.dll";
const wchar_t kForeignUiFile[] = L"lmxtestfu.dll";
const wchar_t kForeignPrinter[] = L"Foreign status test printer";

DWORD RunInstallExe(const std::wstring& word) {
  return productrun::RunProgram(testutil::ProductX64Directory() + L"\\install.exe", word);
}

// A registry value kept as raw bytes, put back as it was found.
struct SavedValue {
  SavedValue(HKEY r, const wchar_t* k, const wchar_t* n) : root(r), key(k), name(n) {}
  HKEY root;
  std::wstring key, name;
  bool present = false;
  DWORD type = 0;
  std::vector<BYTE> data;

  void Save() {
    DWORD bytes = 0;
    present = ::RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type,
                             nullptr, &bytes) == ERROR_SUCCESS;
    data.assign(bytes, 0);
    if (present && bytes)
      present = ::RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type,
                               data.data(), &bytes) == ERROR_SUCCESS;
  }
  void Restore() const {
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return;
    if (present)
      ::RegSetValueExW(handle, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    else
      ::RegDeleteValueW(handle, name.c_str());
    ::RegCloseKey(handle);
  }
};

std::wstring VariantDriverFile(int build) {
  return testutil::WindowsPath(std::string(LMX_BUILD_DIR_UNIX) + "/variants/" +
                               std::to_string(build) + "/lmxdrv64.dll");
}

// Adds a version-3 driver from a driver file and the product's configuration
// file and help file, staged under the given names in the driver directory.
bool AddDriver(const std::wstring& name, const std::wstring& driverSource,
               const std::wstring& driverFile, const std::wstring& uiFile) {
  std::wstring x64 = testutil::ProductX64Directory() + L"\\";
  return winespool::AddDriverFrom(name, {driverSource, driverFile}, {x64 + L"lmxui64.dll", uiFile},
                                  {x64 + L"lmxhelp.chm", L"lmxhelp.chm"});
}

bool InstallProductDriverBuild(int build) {
  return AddDriver(kDriver, VariantDriverFile(build), L"lmxdrv64.dll", L"lmxui64.dll");
}

void RemoveForeignPrinterAndDriver() {
  winespool::DeletePrinterNamed(kForeignPrinter);
  winespool::RemoveDriverNamed(kForeignDriver, {kForeignDriverFile, kForeignUiFile});
}

std::vector<std::wstring> ProductPrinterNames() {
  std::vector<std::wstring> names;
  for (const winespool::PrinterRow& row : winespool::Printers())
    if (row.driver == kDriver) names.push_back(row.name);
  return names;
}

class StatusSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pending.Save();
    device.Save();
    Clean();
  }
  void TearDown() override {
    Clean();
    pending.Restore();
    device.Restore();
  }
  static void Clean() {
    RemoveForeignPrinterAndDriver();
    winespool::RemoveAllProductState();
  }

  void AddForeignPrinter() {
    ASSERT_TRUE(AddDriver(kForeignDriver, testutil::ProductX64Directory() + L"\\lmxdrv64.dll",
                          kForeignDriverFile, kForeignUiFile))
        << ::GetLastError();
    ASSERT_TRUE(winespool::AddPrinterOn(kForeignPrinter, kForeignDriver, L"FILE:"));
  }

  SavedValue pending{HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue};
  SavedValue device{HKEY_CURRENT_USER, kWindowsKey, kDeviceValue};
};

TEST_F(StatusSystemTest, DefSetMakesTheFirstProductPrinterTheDefault) {
  AddForeignPrinter();
  ASSERT_TRUE(::SetDefaultPrinterW(kForeignPrinter));
  // No product printer: the default stays.
  EXPECT_EQ(RunInstallExe(L"def.set"), 4u);
  EXPECT_EQ(winespool::DefaultPrinter(), kForeignPrinter);

  ASSERT_TRUE(winespool::InstallProductDriver());
  ASSERT_TRUE(winespool::AddPrinterOn(L"Loomscribe B", kDriver, L"FILE:"));
  ASSERT_TRUE(winespool::AddPrinterOn(L"Loomscribe A", kDriver, L"FILE:"));
  std::vector<std::wstring> ours = ProductPrinterNames();
  ASSERT_EQ(ours.size(), 2u);

  EXPECT_EQ(RunInstallExe(L"DEF.SET"), 6u);  // not the command word
  EXPECT_EQ(winespool::DefaultPrinter(), kForeignPrinter);

  EXPECT_EQ(RunInstallExe(L"def.set"), 4u);
  EXPECT_EQ(winespool::DefaultPrinter(), ours[0]);
}

TEST_F(StatusSystemTest, OnChkDrvAnswersByTheDriverFilesBuild) {
  EXPECT_EQ(RunInstallExe(L"onChkDrv"), 3u);  // no product printer at all

  ASSERT_TRUE(InstallProductDriverBuild(2044)) << ::GetLastError();
  ASSERT_TRUE(winespool::AddPrinterOn(L"Loomscribe", kDriver, L"FILE:"));
  EXPECT_EQ(RunInstallExe(L"onChkDrv"), 103u);
  EXPECT_EQ(RunInstallExe(L"ONCHKDRV"), 103u);

  winespool::RemoveAllProductState();
  ASSERT_TRUE(InstallProductDriverBuild(2043)) << ::GetLastError();
  ASSERT_TRUE(winespool::AddPrinterOn(L"Loomscribe", kDriver, L"FILE:"));
  EXPECT_EQ(RunInstallExe(L"onChkDrv"), 3u);
}

TEST_F(StatusSystemTest, OnInitReportsAQueuedMonitorFile) {
  std::wstring scratch = testutil::ScratchDirectory(L"status-pending");
  std::wstring monitor = scratch + L"\\lmxmon64.dll";
  ASSERT_TRUE(testutil::WriteFileBytes(monitor, "queued"));
  ASSERT_TRUE(::MoveFileExW(monitor.c_str(), (scratch + L"\\renamed.dll").c_str(),
                            MOVEFILE_DELAY_UNTIL_REBOOT))
      << ::GetLastError();

  EXPECT_EQ(RunInstallExe(L"onInit"), 200u);
  // A queued rename is left to the boot: the file is still there.
  EXPECT_TRUE(testutil::FileExists(monitor));

  pending.Restore();
  ::DeleteFileW(monitor.c_str());
  ::RemoveDirectoryW(scratch.c_str());
}

TEST_F(StatusSystemTest, OnInitReportsAForeignDefaultPrinter) {
  ASSERT_TRUE(winespool::InstallProductDriver());
  ASSERT_TRUE(winespool::AddPrinterOn(L"Loomscribe", kDriver, L"FILE:"));
  AddForeignPrinter();

  ASSERT_TRUE(::SetDefaultPrinterW(kForeignPrinter));
  EXPECT_EQ(RunInstallExe(L"onInit"), 102u);

  ASSERT_TRUE(::SetDefaultPrinterW(L"Loomscribe"));
  EXPECT_EQ(RunInstallExe(L"OnInit"), 3u);
}

}  // namespace

// install.exe over an installation whose printers the user has set up, with
// a component file missing from or held open in the product folder, or a
// stale staged copy held open in the driver directory, or a driver directory
// that cannot take the copies: the run ends with 100
// before it removes anything, and the machine is exactly as it was. With the
// cause gone, the next install carries everything across.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using namespace productrun;

const wchar_t kOffice[] = L"Lmx Check Office";

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

// What a user would miss: the product's printers with their settings, the
// default printer, the driver, the monitor and the tray program's Run value.
std::string MachineState() {
  std::ostringstream out;
  for (const winespool::PrinterRow& row : winespool::ProductPrinters()) {
    out << "printer " << Narrow(row.name) << " port=" << Narrow(row.port)
        << " driver=" << Narrow(row.driver) << " comment=" << Narrow(row.comment)
        << " location=" << Narrow(row.location) << " subkey=" << SubKeyOf(row.name, nullptr)
        << "\n";
  }
  out << "default " << Narrow(winespool::DefaultPrinter()) << "\n";
  out << "driver " << winespool::Contains(winespool::DriverNames(), winespool::kDriver) << "\n";
  out << "monitor " << winespool::Contains(winespool::MonitorNames(), winespool::kPort) << "\n";
  out << "monitor file "
      << testutil::FileExists(winespool::SystemDirectoryPath() + L"lmxmon64.dll") << "\n";
  out << "run " << Narrow(ReadRunValue()) << "\n";
  return out.str();
}

bool HasDisplay() {
  wchar_t display[64] = {};
  return ::GetEnvironmentVariableW(L"DISPLAY", display, 64) != 0;
}

class ComponentCheckSystemTest : public ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    product = StageProduct(L"checks");
    ASSERT_EQ(RunInstall(product, L"install"), 1u);
    // Two printers the user has set up, one of them the default.
    ASSERT_TRUE(winespool::AddPrinterOn(kOffice, winespool::kDriver, winespool::kPort));
    Customise(L"Loomscribe", "lmx-check-first", L"front desk", L"hall");
    Customise(kOffice, "lmx-check-office", L"second floor", L"room 12");
    ASSERT_TRUE(::SetDefaultPrinterW(kOffice));
    before = MachineState();
  }

  void TearDown() override {
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    ProductTest::TearDown();
  }

  void HoldFile(const std::wstring& path, DWORD access, DWORD share) {
    held = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << ::GetLastError();
  }
  void LetGo() {
    ::CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
  }

  // The install stops before it removes anything: 100, the copy's error line
  // in the log and no ">ReInstall", the machine (tray program included) as
  // it was.
  void ExpectStoppedUnchanged(const std::wstring& errorLine) {
    // The tray program the set-up install started, once its window is up.
    bool trayBefore = false;
    for (int waited = 0; !trayBefore && HasDisplay() && waited < 10000; waited += 50) {
      trayBefore = ::FindWindowW(kTrayClass, nullptr) != nullptr;
      if (!trayBefore) ::Sleep(50);
    }
    std::wstring log;
    EXPECT_EQ(RunInstallReadingLog(product, L"install", log), 100u);
    if (HasDisplay()) {
      EXPECT_THAT(log, HasSubstr(L"\r\n" + errorLine));
      EXPECT_THAT(log, Not(HasSubstr(L">ReInstall")));
    }
    EXPECT_EQ(MachineState(), before);
    EXPECT_EQ(::FindWindowW(kTrayClass, nullptr) != nullptr, trayBefore);
  }

  // With the cause gone: 1, and every printer whole.
  void ExpectInstallCarriesEverything() {
    EXPECT_EQ(RunInstall(product, L"in"), 1u);
    EXPECT_EQ(MachineState(), before);
    EXPECT_EQ(SubKeyOf(kOffice, "DsUser"), "lmx-check-office");
    EXPECT_EQ(SubKeyOf(L"Loomscribe", "DsUser"), "lmx-check-first");
  }

  std::wstring product;
  std::string before;
  HANDLE held = INVALID_HANDLE_VALUE;
};

TEST_F(ComponentCheckSystemTest, MissingDriverFile) {
  std::wstring file = product + L"\\x64\\lmxdrv64.dll";
  std::wstring aside = product + L"\\lmxdrv64.dll.aside";
  ASSERT_TRUE(::MoveFileW(file.c_str(), aside.c_str()));
  ExpectStoppedUnchanged(L"Error(10): Cant't open source file: lmxdrv64.dll - (" +
                         testutil::SystemText(ERROR_FILE_NOT_FOUND) + L")");
  ASSERT_TRUE(::MoveFileW(aside.c_str(), file.c_str()));
  ExpectInstallCarriesEverything();
}

TEST_F(ComponentCheckSystemTest, ConfigurationFileHeldWithoutSharing) {
  HoldFile(product + L"\\x64\\lmxui64.dll", GENERIC_READ, 0);
  ExpectStoppedUnchanged(L"Error(10): Cant't open source file: lmxui64.dll - (" +
                         testutil::SystemText(ERROR_SHARING_VIOLATION) + L")");
  LetGo();
  ExpectInstallCarriesEverything();
}

TEST_F(ComponentCheckSystemTest, DriverFileHeldForWritingWithReadSharing) {
  HoldFile(product + L"\\x64\\lmxdrv64.dll", GENERIC_WRITE, FILE_SHARE_READ);
  ExpectStoppedUnchanged(L"Error(10): Cant't open source file: lmxdrv64.dll - (" +
                         testutil::SystemText(ERROR_SHARING_VIOLATION) + L")");
  LetGo();
  ExpectInstallCarriesEverything();
}

TEST_F(ComponentCheckSystemTest, HeldStaleStagedCopyInTheDriverDirectory) {
  std::wstring staged = winespool::DriverDirectory() + L"lmxui64.dll";
  // Held with any sharing, Wine will not let the copy replace it.
  for (DWORD share : {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}) {
    ASSERT_TRUE(::CopyFileW((product + L"\\x64\\lmxui64.dll").c_str(), staged.c_str(), FALSE));
    HoldFile(staged, GENERIC_READ, share);
    ExpectStoppedUnchanged(L"Error(9): Cant't open destination file: " + staged + L" - (" +
                           testutil::SystemText(ERROR_SHARING_VIOLATION) + L")");
    LetGo();
  }
  ExpectInstallCarriesEverything();
  // The stale copy was replaced and then removed with the other staged files.
  EXPECT_FALSE(testutil::FileExists(staged));
}

// The driver directory read-only, then full, under a mount of the host's.
class DriverDirectoryMountTest : public ComponentCheckSystemTest {
 protected:
  void TearDown() override {
    // No mount outlives the test, whatever failed.
    if (!mounted.empty()) {
      EXPECT_EQ(testutil::RunHostTool(L"umount " + mounted + L" || umount -l " + mounted), 0u);
    }
    ComponentCheckSystemTest::TearDown();
  }
  std::wstring mounted;
};

TEST_F(DriverDirectoryMountTest, ReadOnlyOrFullDriverDirectory) {
  const std::wstring d = testutil::Widen(testutil::UnixPath(winespool::DriverDirectory()));
  ASSERT_FALSE(d.empty());
  const std::wstring mounts[] = {
      L"mount --bind " + d + L" " + d + L" && mount -o remount,ro,bind " + d,
      // The folder's files copied into a small tmpfs, filled up.
      L"s=$(mktemp -d) && cp -a " + d + L"/. $s/ && mount -t tmpfs -o size=4m tmpfs " + d +
          L" && cp -a $s/. " + d + L"/ && rm -rf $s && { dd if=/dev/zero of=" + d +
          L"/filler bs=64k; true; }",
  };
  for (const std::wstring& mount : mounts) {
    SCOPED_TRACE(mount);
    mounted = d;
    ASSERT_EQ(testutil::RunHostTool(mount), 0u);
    ExpectStoppedUnchanged(L"Error(9): Cant't open destination file: " +
                           winespool::DriverDirectory() + L"lmxdrv64.dll - (");
    ASSERT_EQ(testutil::RunHostTool(L"umount " + d), 0u);
    mounted.clear();
  }
  ExpectInstallCarriesEverything();
}

TEST_F(ComponentCheckSystemTest, UninstallKeepsTheFilesAnotherDriverNames) {
  const wchar_t kOther[] = L"Lmx Other Vendor";
  ASSERT_TRUE(winespool::AddDriverOfProductFiles(kOther));
  const std::wstring store = winespool::DriverDirectory() + L"3\\";
  EXPECT_EQ(RunInstall(product, L"un"), 2u);
  EXPECT_FALSE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
  EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), kOther));
  EXPECT_TRUE(testutil::FileExists(store + L"lmxdrv64.dll"));
  EXPECT_TRUE(testutil::FileExists(store + L"lmxui64.dll"));
  // The file only the product's driver named went with it.
  EXPECT_FALSE(testutil::FileExists(store + L"lmxhelp.chm"));
  winespool::RemoveDriverNamed(kOther, {L"lmxdrv64.dll", L"lmxui64.dll"});
}

}  // namespace

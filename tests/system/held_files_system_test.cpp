// install.exe (a separate process, as the product's installer starts it)
// while another process holds open a file the uninstall must delete: the
// port monitor's library in the system directory. Held without delete
// sharing for the whole run, the file resists even with the spooler stopped,
// so it is handed to Windows for deletion at the next restart, the run ends
// with 101, and PendingFileRenameOperations names it. Released while the
// spooler is stopped for the purpose, it goes within the run. The same holds
// for a file of the printer driver that stays after the driver's removal; in
// the uninstall half of an install such a file is left to the install half.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cwctype>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

using namespace productrun;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// The raw value (REG_MULTI_SZ), and whether it exists.
bool ReadPending(std::vector<wchar_t>& data) {
  DWORD bytes = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue, RRF_RT_ANY, nullptr,
                     nullptr, &bytes) != ERROR_SUCCESS)
    return false;
  data.assign(bytes / sizeof(wchar_t), L'\0');
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue, RRF_RT_ANY, nullptr,
                     data.data(), &bytes) != ERROR_SUCCESS)
    return false;
  data.resize(bytes / sizeof(wchar_t));
  return true;
}

// The strings of the value, empty ones (deletions) included, without the
// list's closing NUL.
std::vector<std::wstring> PendingStrings() {
  std::vector<wchar_t> data;
  std::vector<std::wstring> strings;
  if (!ReadPending(data) || data.size() < 2) return strings;
  size_t limit = data.size() - 1;
  for (size_t at = 0; at < limit;) {
    size_t end = at;
    while (end < data.size() && data[end] != L'\0') ++end;
    strings.emplace_back(data.begin() + at, data.begin() + end);
    at = end + 1;
  }
  return strings;
}

void WritePending(const std::vector<wchar_t>* data) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return;
  if (data)
    ::RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data->data()),
                     static_cast<DWORD>(data->size() * sizeof(wchar_t)));
  else
    ::RegDeleteValueW(key, kPendingValue);
  ::RegCloseKey(key);
}

// Whether PendingFileRenameOperations queues the deletion of `path`.
bool QueuedForDeletion(const std::wstring& path) {
  std::vector<std::wstring> pending = PendingStrings();
  for (size_t i = 0; i + 1 < pending.size(); i += 2) {
    std::wstring source = pending[i];
    if (source.compare(0, 4, L"\\??\\") == 0) source = source.substr(4);
    if (_wcsicmp(source.c_str(), path.c_str()) == 0 && pending[i + 1].empty()) return true;
  }
  return false;
}

DWORD SpoolerState() {
  DWORD state = 0;
  SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return 0;
  SC_HANDLE service = ::OpenServiceW(scm, L"spooler", SERVICE_QUERY_STATUS);
  SERVICE_STATUS status = {};
  if (service && ::QueryServiceStatus(service, &status)) state = status.dwCurrentState;
  if (service) ::CloseServiceHandle(service);
  ::CloseServiceHandle(scm);
  return state;
}

class HeldFilesSystemTest : public ProductTest {
 protected:
  void SetUp() override {
    hadPending = ReadPending(pendingBefore);
    ProductTest::SetUp();
    product = StageProduct(L"held");
    ASSERT_TRUE(testutil::FileExists(product + L"\\x64\\install.exe"));
    monitorFile = winespool::SystemDirectoryPath() + L"lmxmon64.dll";
  }

  void TearDown() override {
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    WritePending(hadPending ? &pendingBefore : nullptr);
    ProductTest::TearDown();
  }

  DWORD Run(const std::wstring& arguments) { return RunInstall(product, arguments); }

  // Opens the file for reading without delete sharing, as a scanner or a
  // backup program would.
  void Hold(const std::wstring& path) {
    held = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << ::GetLastError();
  }

  std::wstring product;
  std::wstring monitorFile;
  HANDLE held = INVALID_HANDLE_VALUE;
  bool hadPending = false;
  std::vector<wchar_t> pendingBefore;
};

TEST_F(HeldFilesSystemTest, HeldWithoutDeleteSharingTheFileCannotBeDeleted) {
  // What the uninstall runs into: Wine refuses the deletion while the handle
  // is open, and allows it once it is closed.
  ASSERT_EQ(Run(L"install"), 1u);
  ASSERT_TRUE(testutil::FileExists(monitorFile));
  std::wstring copy = monitorFile + L".held";
  ASSERT_TRUE(::CopyFileW(monitorFile.c_str(), copy.c_str(), FALSE));
  Hold(copy);
  EXPECT_FALSE(::DeleteFileW(copy.c_str()));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ::CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(::DeleteFileW(copy.c_str()));
}

TEST_F(HeldFilesSystemTest, UninstallSchedulesAFileHeldThroughTheSpoolerRestart) {
  ASSERT_EQ(Run(L"install"), 1u);
  ASSERT_TRUE(testutil::FileExists(monitorFile));
  Hold(monitorFile);

  EXPECT_EQ(Run(L"uninstall"), 101u);
  // Everything else is gone; the file waits for the restart of Windows.
  EXPECT_FALSE(winespool::Contains(winespool::MonitorNames(), winespool::kPort));
  EXPECT_FALSE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
  EXPECT_TRUE(testutil::FileExists(monitorFile));
  EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
  std::vector<std::wstring> pending = PendingStrings();
  bool listed = false;
  for (size_t i = 0; i < pending.size(); i += 2) {
    std::wstring source = pending[i];
    if (source.compare(0, 4, L"\\??\\") == 0) source = source.substr(4);
    if (_wcsicmp(source.c_str(), monitorFile.c_str()) == 0) {
      listed = true;
      // A deletion: no new name.
      EXPECT_TRUE(i + 1 >= pending.size() || pending[i + 1].empty());
    }
  }
  EXPECT_TRUE(listed) << "the held file is not queued for the restart";

  ::CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(::DeleteFileW(monitorFile.c_str()));
}

TEST_F(HeldFilesSystemTest, InstallOverAHeldMonitorFileStillInstalls) {
  // The second install keeps a compatible monitor and its file; a held file
  // does not disturb it.
  ASSERT_EQ(Run(L"install"), 1u);
  Hold(monitorFile);
  EXPECT_EQ(Run(L"install"), 1u);
  EXPECT_TRUE(winespool::Contains(winespool::MonitorNames(), winespool::kPort));
  EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
  EXPECT_TRUE(testutil::FileExists(monitorFile));
}

TEST_F(HeldFilesSystemTest, UninstallSchedulesADriverFileHeldThroughTheSpoolerRestart) {
  ASSERT_EQ(Run(L"install"), 1u);
  const std::wstring uiFile = winespool::DriverDirectory() + L"3\\lmxui64.dll";
  ASSERT_TRUE(testutil::FileExists(uiFile));
  Hold(uiFile);

  EXPECT_EQ(Run(L"uninstall"), 101u);
  EXPECT_FALSE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
  EXPECT_FALSE(testutil::FileExists(winespool::DriverDirectory() + L"3\\lmxdrv64.dll"));
  EXPECT_TRUE(testutil::FileExists(uiFile));
  EXPECT_TRUE(QueuedForDeletion(uiFile)) << "the held driver file is not queued for the restart";
  EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));

  ::CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(::DeleteFileW(uiFile.c_str()));
}

TEST_F(HeldFilesSystemTest, InstallOverAHeldDriverFileNeverQueuesIt) {
  ASSERT_EQ(Run(L"install"), 1u);
  const std::wstring uiFile = winespool::DriverDirectory() + L"3\\lmxui64.dll";
  Hold(uiFile);
  EXPECT_EQ(Run(L"install"), 1u);
  EXPECT_FALSE(QueuedForDeletion(uiFile));
}

}  // namespace

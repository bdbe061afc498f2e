// An upgrade whose components cannot be brought into service, on Wine: over
// a working installation of build 1213 (monitor and driver) with the user's
// printers, an install whose new monitor library cannot be loaded, or whose
// driver's copies into the version folder "3" are cut short, ends with 100
// and leaves the previous monitor and driver registered with their own bytes
// and every printer as it was; the next install with good components ends
// with 1, loses nothing and leaves no kept copy behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <cwchar>
#include <map>
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

const wchar_t kJournalKey[] = L"SOFTWARE\\Tamarel Software KFT\\Loomscribe\\CarriedPrinters";
const wchar_t kKeptFolder[] = L"Loomscribe-previous";
const wchar_t* const kPrinters[] = {L"Loomscribe", L"Lmx PutBack Office", L"Lmx PutBack Hall"};
// Another vendor's printer on the product's port, of a driver of its own.
const wchar_t kForeign[] = L"Lmx PutBack Other Vendor";
const wchar_t kForeignDriver[] = L"Lmx PutBack Other Driver";
const std::vector<std::wstring> kForeignFiles = {L"lmxothdrv.dll", L"lmxothui.dll"};

std::wstring Variants() { return testutil::WindowsPath(LMX_BUILD_DIR_UNIX) + L"\\variants\\"; }

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

// A file's size and FNV-1a hash, or "(absent)": short enough to compare.
std::string Fingerprint(const std::wstring& path) {
  if (!testutil::FileExists(path)) return "(absent)";
  std::string bytes = testutil::ReadFileBytes(path);
  unsigned long long hash = 14695981039346656037ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  std::ostringstream out;
  out << bytes.size() << " bytes, hash " << std::hex << hash;
  return out.str();
}

bool HasDisplay() {
  wchar_t display[64] = {};
  return ::GetEnvironmentVariableW(L"DISPLAY", display, 64) != 0;
}

// The library the spooler has registered for "Loomscribe:", or empty.
std::wstring MonitorLibrary() {
  DWORD count = 0;
  std::vector<BYTE> block = winespool::Enumerate(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return ::EnumMonitorsW(nullptr, 2, data, size, needed, returned);
      },
      &count);
  auto* monitors = reinterpret_cast<MONITOR_INFO_2W*>(block.data());
  for (DWORD i = 0; i < count; ++i)
    if (monitors[i].pName && monitors[i].pName == std::wstring(winespool::kPort))
      return monitors[i].pDLLName ? monitors[i].pDLLName : L"(none)";
  return L"";
}

// Every file the registered product driver names, with its fingerprint;
// empty without the driver.
std::map<std::wstring, std::string> DriverFiles() {
  std::map<std::wstring, std::string> files;
  DWORD count = 0;
  std::vector<BYTE> block = winespool::Enumerate(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return ::EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(winespool::kEnvironment), 3,
                                     data, size, needed, returned);
      },
      &count);
  auto* drivers = reinterpret_cast<DRIVER_INFO_3W*>(block.data());
  for (DWORD i = 0; i < count; ++i) {
    if (!drivers[i].pName || drivers[i].pName != std::wstring(winespool::kDriver)) continue;
    std::vector<std::wstring> paths;
    for (const wchar_t* path : {drivers[i].pDriverPath, drivers[i].pDataFile,
                                drivers[i].pConfigFile, drivers[i].pHelpFile})
      if (path && *path) paths.push_back(path);
    for (const wchar_t* p = drivers[i].pDependentFiles; p && *p; p += wcslen(p) + 1)
      paths.push_back(p);
    for (const std::wstring& path : paths)
      files[path] = Fingerprint(path);
  }
  return files;
}

// What the user has of the product: printers with their settings, the
// default printer, the monitor's registration and library.
std::string UserState() {
  std::ostringstream out;
  for (const winespool::PrinterRow& row : winespool::ProductPrinters())
    out << "printer " << Narrow(row.name) << " port=" << Narrow(row.port)
        << " driver=" << Narrow(row.driver) << " comment=" << Narrow(row.comment)
        << " location=" << Narrow(row.location) << " subkey=" << SubKeyOf(row.name, nullptr)
        << "\n";
  out << "default " << Narrow(winespool::DefaultPrinter()) << "\n";
  out << "monitor " << Narrow(MonitorLibrary()) << ", "
      << Fingerprint(winespool::SystemDirectoryPath() + L"lmxmon64.dll") << "\n";
  return out.str();
}

// A job through the printer reaches the port monitor and completes.
bool PrintsAJob(const std::wstring& name) {
  HANDLE printer = nullptr;
  if (!::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, nullptr)) return false;
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"put back test"), nullptr, const_cast<LPWSTR>(L"RAW")};
  char data[] = "%!PS\n showpage\n";
  DWORD written = 0;
  bool ok = ::StartDocPrinterW(printer, 1, reinterpret_cast<BYTE*>(&doc)) != 0 &&
            ::WritePrinter(printer, data, sizeof(data) - 1, &written) && written == sizeof(data) - 1;
  ok = ::EndDocPrinter(printer) && ok;
  ::ClosePrinter(printer);
  return ok;
}

std::vector<std::wstring> FilesIn(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

bool JournalHasPrevious() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  bool found =
      ::RegQueryValueExW(key, L"Previous", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return found;
}

// One way an upgrade's components fail to come into service.
struct FailureKind {
  const char* name;
  const wchar_t* file;     // replaced in x64\ of the new product folder
  const wchar_t* variant;  // by the build's variant of it, or null
  size_t padding;          // bytes of zeros appended to it
  // With free space given, the driver directory is a tmpfs holding its
  // files and that much free: enough for the product's checks, which it
  // passes before the kept copies and the staged files take their share,
  // too little for a padded driver file in "3" after them.
  unsigned long long freeKiB;
  const wchar_t* errorLine;  // what the failed step logs
};

void PrintTo(const FailureKind& kind, std::ostream* out) { *out << kind.name; }

class PutBackSystemTest : public ProductTest, public ::testing::WithParamInterface<FailureKind> {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    // The previous installation: build 1213's monitor and driver, then the
    // user's printers on it.
    std::wstring old = StageProduct(L"putback-old");
    for (const wchar_t* file : {L"lmxmon64.dll", L"lmxdrv64.dll"})
      ASSERT_TRUE(::CopyFileW((Variants() + L"1213\\" + file).c_str(),
                              (old + L"\\x64\\" + file).c_str(), FALSE));
    ASSERT_EQ(RunInstall(old, L"in"), 1u);
    QuitAnyTray();
    for (const wchar_t* name : {kPrinters[1], kPrinters[2]})
      ASSERT_TRUE(winespool::AddPrinterOn(name, winespool::kDriver, winespool::kPort));
    Customise(kPrinters[0], "lmx-putback-0", L"front desk", L"hall");
    Customise(kPrinters[1], "lmx-putback-1", L"second floor", L"room 12");
    Customise(kPrinters[2], "lmx-putback-2", L"", L"");
    ASSERT_TRUE(::SetDefaultPrinterW(kPrinters[1]));
    const std::wstring x64 = testutil::ProductX64Directory() + L"\\";
    ASSERT_TRUE(winespool::AddDriverFrom(kForeignDriver, {x64 + L"lmxdrv64.dll", kForeignFiles[0]},
                                         {x64 + L"lmxui64.dll", kForeignFiles[1]}));
    ASSERT_TRUE(winespool::AddPrinterOn(kForeign, kForeignDriver, winespool::kPort));
    before = UserState();
    ASSERT_THAT(before, HasSubstr("printer " + Narrow(kForeign) + " port=Loomscribe:"));
    ASSERT_THAT(before, HasSubstr(Fingerprint(Variants() + L"1213\\lmxmon64.dll")));
    driverBefore = DriverFiles();
    ASSERT_EQ(driverBefore[winespool::DriverDirectory() + L"3\\lmxdrv64.dll"],
              Fingerprint(Variants() + L"1213\\lmxdrv64.dll"));
    good = StageProduct(L"putback-good");
  }

  void TearDown() override {
    // No mount outlives the test, whatever failed.
    if (!mounted.empty()) {
      EXPECT_EQ(testutil::RunHostTool(L"umount " + mounted + L" || umount -l " + mounted), 0u);
    }
    ProductTest::TearDown();
  }

  void CleanUp() override {
    ProductTest::CleanUp();
    for (const wchar_t* name : kPrinters) winespool::DeletePrinterNamed(name);
    winespool::DeletePrinterNamed(kForeign);
    winespool::RemoveDriverNamed(kForeignDriver, kForeignFiles);
    std::wstring kept = winespool::DriverDirectory() + kKeptFolder;
    DeleteFilesOf(kept);
    ::RemoveDirectoryW(kept.c_str());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kJournalKey);
  }

  // The new product folder with the failure's file in it; for a full
  // driver directory, the tmpfs.
  void PrepareFailure(const FailureKind& kind) {
    bad = StageProduct(L"putback-new");
    std::wstring file = bad + L"\\x64\\" + kind.file;
    if (kind.variant) {
      ASSERT_TRUE(::CopyFileW((Variants() + kind.variant + L"\\" + kind.file).c_str(), file.c_str(),
                              FALSE));
    }
    if (kind.padding) {
      ASSERT_TRUE(testutil::WriteFileBytes(
          file, testutil::ReadFileBytes(file) + std::string(kind.padding, '\0')));
    }
    if (kind.freeKiB) {
      const std::wstring d = testutil::Widen(testutil::UnixPath(winespool::DriverDirectory()));
      ASSERT_FALSE(d.empty());
      mounted = d;
      ASSERT_EQ(testutil::RunHostTool(
                    L"s=$(mktemp -d) && cp -a " + d + L"/. $s/ && u=$(du -sk $s | cut -f1) && "
                    L"mount -t tmpfs -o size=$((u + " + std::to_wstring(kind.freeKiB) +
                    L"))k tmpfs " + d + L" && cp -a $s/. " + d + L"/ && rm -rf $s"),
                0u);
    }
  }

  std::wstring good;
  std::wstring bad;
  std::string before;
  std::map<std::wstring, std::string> driverBefore;
  std::wstring mounted;
};

TEST_P(PutBackSystemTest, TheFailedUpgradeLeavesThePreviousInstallationWorking) {
  const FailureKind kind = GetParam();
  ASSERT_NO_FATAL_FAILURE(PrepareFailure(kind));
  std::wstring log;
  EXPECT_EQ(RunInstallReadingLog(bad, L"in", log), 100u);
  QuitAnyTray();
  if (HasDisplay()) {
    EXPECT_THAT(log, HasSubstr(kind.errorLine));
    // At the depth of ">Add Printer Driver", the step it follows.
    EXPECT_THAT(log, HasSubstr(L"\r\n    >Put back the previous installation\r\n"));
    EXPECT_THAT(log, HasSubstr(L"\r\n      Put back: monitor 'Loomscribe:'\r\n"));
    EXPECT_THAT(log, HasSubstr(L"\r\n      Put back: driver 'Loomscribe printer'\r\n"));
    EXPECT_THAT(log, Not(HasSubstr(L"Error(23)")));
  }
  // Read afresh in this process: the spooler loads the monitor again here.
  EXPECT_EQ(UserState(), before);
  EXPECT_EQ(DriverFiles(), driverBefore);
  EXPECT_TRUE(testutil::ReadFileBytes(winespool::SystemDirectoryPath() + L"lmxmon64.dll") ==
              testutil::ReadFileBytes(Variants() + L"1213\\lmxmon64.dll"));
  EXPECT_TRUE(testutil::ReadFileBytes(winespool::DriverDirectory() + L"3\\lmxdrv64.dll") ==
              testutil::ReadFileBytes(Variants() + L"1213\\lmxdrv64.dll"));
  for (const wchar_t* name : kPrinters) EXPECT_TRUE(PrintsAJob(name)) << name;

  // The next install with good components replaces both and loses nothing.
  EXPECT_EQ(RunInstall(good, L"in"), 1u);
  QuitAnyTray();
  std::string after = before;
  after.replace(after.find(Fingerprint(Variants() + L"1213\\lmxmon64.dll")), std::string::npos,
                Fingerprint(good + L"\\x64\\lmxmon64.dll") + "\n");
  EXPECT_EQ(UserState(), after);
  EXPECT_EQ(DriverFiles()[winespool::DriverDirectory() + L"3\\lmxdrv64.dll"],
            Fingerprint(good + L"\\x64\\lmxdrv64.dll"));
  EXPECT_THAT(FilesIn(winespool::DriverDirectory() + kKeptFolder), ::testing::IsEmpty());
  EXPECT_FALSE(JournalHasPrevious());
}

// A run that ends with an error keeps the files and their record.
TEST_P(PutBackSystemTest, TheKeptFilesAndTheirRecordWaitForARunWithoutError) {
  ASSERT_NO_FATAL_FAILURE(PrepareFailure(GetParam()));
  std::wstring log;
  EXPECT_EQ(RunInstallReadingLog(bad, L"in", log), 100u);
  QuitAnyTray();
  EXPECT_THAT(FilesIn(winespool::DriverDirectory() + kKeptFolder), Not(::testing::IsEmpty()));
  EXPECT_TRUE(JournalHasPrevious());
}

std::string KindName(const ::testing::TestParamInfo<FailureKind>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Upgrade, PutBackSystemTest,
    ::testing::Values(FailureKind{"DriverCopiesCutShort", L"lmxdrv64.dll", nullptr, 8u << 20,
                                  12u << 10, L"Driver file not in place: "},
                      // On Wine the library whose load failed stays open in
                      // install.exe, where the spooler runs.
                      FailureKind{"MonitorImportsAMissingDll", L"lmxmon64.dll", L"missingimport",
                                  0, 0,
                                  L"Error(11): Can`t install a local port monitor'Loomscribe:' - ("}),
    KindName);

// The missing-import monitor cannot be loaded: the DLL it imports lies
// nowhere the loader looks.
TEST(MissingImportVariantTest, LoadingTheMonitorFailsWithModuleNotFound) {
  std::wstring variant = Variants() + L"missingimport\\lmxmon64.dll";
  ASSERT_TRUE(testutil::FileExists(variant));
  std::vector<std::wstring> places = {Variants() + L"missingimport", testutil::ProductX64Directory(),
                                      testutil::ProductDirectory(),
                                      winespool::SystemDirectoryPath()};
  wchar_t path[32768] = {};
  ::GetEnvironmentVariableW(L"PATH", path, 32768);
  std::wstringstream entries(path);
  for (std::wstring entry; std::getline(entries, entry, L';');)
    if (!entry.empty()) places.push_back(entry);
  for (const std::wstring& place : places)
    EXPECT_FALSE(testutil::FileExists(place + L"\\lmxabsent.dll")) << place;
  HMODULE module = ::LoadLibraryExW(variant.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  if (module) ::FreeLibrary(module);
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// Drives the compatibility layer with stand-ins for winspool's own entries.
struct Spool {
  static inline std::vector<std::wstring> datatypes;
  static inline std::vector<DWORD> deleteFlags;
  static inline std::vector<std::wstring> deletedFiles;
  static inline bool deleteSucceeds = true;

  static HANDLE WINAPI AddPrinter(LPWSTR, DWORD, LPBYTE printer) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(printer);
    datatypes.push_back(info->pDatatype ? info->pDatatype : L"(null)");
    return reinterpret_cast<HANDLE>(0x77);
  }
  static BOOL WINAPI DeleteDriver(LPWSTR, LPWSTR, LPWSTR, DWORD flags, DWORD) {
    deleteFlags.push_back(flags);
    if (!deleteSucceeds) ::SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
    return deleteSucceeds;
  }
  // One level-3 record of "Loomscribe printer" and one of another driver.
  static BOOL WINAPI EnumDrivers(LPWSTR, LPWSTR, DWORD level, LPBYTE buffer, DWORD size,
                                 LPDWORD needed, LPDWORD count) {
    EXPECT_EQ(level, 3u);
    static wchar_t other[] = L"Other", ours[] = L"Loomscribe printer";
    static wchar_t drv[] = L"C:\\d\\lmxdrv64.dll", ui[] = L"C:\\d\\lmxui64.dll",
                   help[] = L"C:\\d\\lmxhelp.chm", deps[] = L"C:\\d\\a.dat\0C:\\d\\b.dat\0",
                   otherDrv[] = L"C:\\d\\other.dll";
    DRIVER_INFO_3W records[2] = {};
    records[0].pName = other;
    records[0].pDriverPath = otherDrv;
    records[1].pName = ours;
    records[1].pDriverPath = drv;
    records[1].pDataFile = drv;
    records[1].pConfigFile = ui;
    records[1].pHelpFile = help;
    records[1].pDependentFiles = deps;
    *needed = sizeof(records);
    if (size < sizeof(records)) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(buffer, records, sizeof(records));
    *count = 2;
    return TRUE;
  }
  static BOOL WINAPI RemoveFile(LPCWSTR path) {
    deletedFiles.push_back(path);
    return TRUE;
  }
};

class WineCompatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = CurrentWineCompat();
    CurrentWineCompat() = {false, &Spool::AddPrinter, &Spool::DeleteDriver, &Spool::EnumDrivers,
                           &Spool::RemoveFile};
    Spool::datatypes.clear();
    Spool::deleteFlags.clear();
    Spool::deletedFiles.clear();
    Spool::deleteSucceeds = true;
  }
  void TearDown() override { CurrentWineCompat() = saved; }
  WineCompat saved;
  wchar_t name[8] = L"P";
  wchar_t driver[19] = L"Loomscribe printer";
};

TEST_F(WineCompatTest, InactiveItChangesNothing) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = name;
  CompatAddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  EXPECT_THAT(Spool::datatypes, ::testing::ElementsAre(L"(null)"));
  EXPECT_TRUE(CompatDeletePrinterDriverExW(nullptr, nullptr, driver, DPD_DELETE_ALL_FILES, 0));
  EXPECT_THAT(Spool::deleteFlags, ::testing::ElementsAre(static_cast<DWORD>(DPD_DELETE_ALL_FILES)));
  EXPECT_THAT(Spool::deletedFiles, ::testing::IsEmpty());
}

TEST_F(WineCompatTest, OnWineAMissingDatatypeBecomesRawAndTheCallersRecordStays) {
  CurrentWineCompat().active = true;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = name;
  EXPECT_EQ(CompatAddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)),
            reinterpret_cast<HANDLE>(0x77));
  EXPECT_EQ(info.pDatatype, nullptr);
  wchar_t emf[] = L"NT EMF 1.008";
  info.pDatatype = emf;
  CompatAddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  EXPECT_THAT(Spool::datatypes, ::testing::ElementsAre(L"RAW", L"NT EMF 1.008"));
}

TEST_F(WineCompatTest, OnWineTheDriverGoesWithFlagZeroAndThenItsFiles) {
  CurrentWineCompat().active = true;
  wchar_t env[] = L"Windows x64";
  EXPECT_TRUE(CompatDeletePrinterDriverExW(nullptr, env, driver, DPD_DELETE_ALL_FILES, 0));
  EXPECT_THAT(Spool::deleteFlags, ::testing::ElementsAre(0u));
  EXPECT_THAT(Spool::deletedFiles,
              ::testing::UnorderedElementsAre(L"C:\\d\\lmxdrv64.dll", L"C:\\d\\lmxdrv64.dll",
                                              L"C:\\d\\lmxui64.dll", L"C:\\d\\lmxhelp.chm",
                                              L"C:\\d\\a.dat", L"C:\\d\\b.dat"));
}

TEST_F(WineCompatTest, OnWineARefusedDeleteKeepsTheFiles) {
  CurrentWineCompat().active = true;
  Spool::deleteSucceeds = false;
  EXPECT_FALSE(CompatDeletePrinterDriverExW(nullptr, nullptr, driver, DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_THAT(Spool::deletedFiles, ::testing::IsEmpty());
}

TEST(WineDetectionTest, TheRealTableMendsOnlyWhatWineNeeds) {
  // These tests run under Wine: the real table carries the two mended entries
  // and nothing else differs from the DLLs' own exports.
  ASSERT_TRUE(RunningOnWine());
  const Platform& real = RealPlatform();
  EXPECT_EQ(real.AddPrinterW, &CompatAddPrinterW);
  EXPECT_EQ(real.DeletePrinterDriverExW, &CompatDeletePrinterDriverExW);
  HMODULE spool = ::GetModuleHandleW(L"winspool.drv");
  ASSERT_NE(spool, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(real.EnumPrintersW),
            reinterpret_cast<void*>(::GetProcAddress(spool, "EnumPrintersW")));
  EXPECT_EQ(reinterpret_cast<void*>(CurrentWineCompat().addPrinter),
            reinterpret_cast<void*>(::GetProcAddress(spool, "AddPrinterW")));
}

}  // namespace

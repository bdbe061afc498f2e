#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sequences/sequences.h"
#include "support/fake_platform.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

// A small machine behind the fake seam: printers with their driver files,
// the version resources of those files, the default printer, the queued
// boot-time file operations, the files on disk and the spooler service.
class StatusTest : public ::testing::Test {
 protected:
  struct Printer {
    std::wstring name, driver, driverPath;
  };

  void SetUp() override {
    fake::Set<&Platform::EnumPrintersW>([this](DWORD flags, LPWSTR server, DWORD level,
                                               LPBYTE buffer, DWORD size, LPDWORD needed,
                                               LPDWORD returned) -> BOOL {
      EXPECT_EQ(server, nullptr);
      EXPECT_EQ(level, 2u);
      ++enumerations;
      if (enumFails) {
        ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
      }
      DWORD bytes = static_cast<DWORD>(printers.size() * sizeof(PRINTER_INFO_2W));
      *needed = bytes;
      if (returned) *returned = 0;
      if (printers.empty()) return TRUE;
      if (!buffer || size < bytes) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      auto* records = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
      for (size_t i = 0; i < printers.size(); ++i) {
        records[i] = {};
        records[i].pPrinterName = &printers[i].name[0];
        records[i].pDriverName = &printers[i].driver[0];
        records[i].pPortName = const_cast<wchar_t*>(L"Loomscribe:");
      }
      *returned = static_cast<DWORD>(printers.size());
      return TRUE;
    });
    fake::Set<&Platform::OpenPrinterW>([this](LPWSTR name, LPHANDLE handle,
                                              LPPRINTER_DEFAULTSW defaults) -> BOOL {
      EXPECT_EQ(defaults, nullptr);
      opened.push_back(name ? name : L"(null)");
      for (size_t i = 0; i < printers.size(); ++i) {
        if (name && printers[i].name == name && openWorks) {
          *handle = reinterpret_cast<HANDLE>(0x100 + i);
          ++openHandles;
          return TRUE;
        }
      }
      ::SetLastError(ERROR_INVALID_PRINTER_NAME);
      return FALSE;
    });
    fake::Set<&Platform::ClosePrinter>([this](HANDLE) {
      --openHandles;
      return TRUE;
    });
    fake::Set<&Platform::GetPrinterDriverW>([this](HANDLE handle, LPWSTR, DWORD level,
                                                   LPBYTE buffer, DWORD size,
                                                   LPDWORD needed) -> BOOL {
      EXPECT_EQ(level, 2u);
      const Printer& p = PrinterOf(handle);
      DWORD bytes = sizeof(DRIVER_INFO_2W);
      *needed = bytes;
      if (!buffer || size < bytes) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      auto* record = reinterpret_cast<DRIVER_INFO_2W*>(buffer);
      *record = {};
      record->cVersion = 3;
      record->pName = const_cast<wchar_t*>(p.driver.c_str());
      record->pDriverPath = p.driverPath.empty() ? nullptr : const_cast<wchar_t*>(p.driverPath.c_str());
      return TRUE;
    });
    fake::Set<&Platform::GetPrinterW>([this](HANDLE handle, DWORD level, LPBYTE buffer,
                                             DWORD size, LPDWORD needed) -> BOOL {
      EXPECT_EQ(level, 2u);
      if (printerInfoFails) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      const Printer& p = PrinterOf(handle);
      *needed = sizeof(PRINTER_INFO_2W);
      if (!buffer || size < *needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      auto* record = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
      *record = {};
      record->pPrinterName = const_cast<wchar_t*>(p.name.c_str());
      record->pDriverName = const_cast<wchar_t*>(p.driver.c_str());
      return TRUE;
    });
    // Version resources: the block is just the build number.
    fake::Set<&Platform::GetFileVersionInfoSizeW>([this](LPCWSTR path, LPDWORD) -> DWORD {
      auto found = builds.find(path);
      if (found == builds.end() || found->second < 0) {
        ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
      }
      return sizeof(VS_FIXEDFILEINFO);
    });
    fake::Set<&Platform::GetFileVersionInfoW>([this](LPCWSTR path, DWORD, DWORD size,
                                                     LPVOID data) -> BOOL {
      if (size < sizeof(VS_FIXEDFILEINFO)) return FALSE;
      VS_FIXEDFILEINFO info = {};
      info.dwSignature = 0xFEEF04BD;
      info.dwProductVersionMS = MAKELONG(0, 1);  // 1.0
      info.dwProductVersionLS = MAKELONG(builds.at(path), 7);
      memcpy(data, &info, sizeof(info));
      return TRUE;
    });
    fake::Set<&Platform::VerQueryValueW>([](LPCVOID block, LPCWSTR sub, LPVOID* out,
                                            PUINT length) -> BOOL {
      if (std::wstring(sub) != L"\\") return FALSE;
      *out = const_cast<void*>(block);
      *length = sizeof(VS_FIXEDFILEINFO);
      return TRUE;
    });
    fake::Set<&Platform::GetDefaultPrinterW>([this](LPWSTR buffer, LPDWORD chars) -> BOOL {
      EXPECT_EQ(*chars, 260u);
      if (defaultPrinter.empty()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
      }
      wcscpy_s(buffer, *chars, defaultPrinter.c_str());
      *chars = static_cast<DWORD>(defaultPrinter.size() + 1);
      return TRUE;
    });
    fake::Set<&Platform::SetDefaultPrinterW>([this](LPCWSTR name) {
      madeDefault.push_back(name ? name : L"(null)");
      return TRUE;
    });
    // PendingFileRenameOperations.
    fake::Set<&Platform::RegOpenKeyExA>([](HKEY root, LPCSTR path, DWORD, REGSAM,
                                           PHKEY key) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      EXPECT_STREQ(path, "SYSTEM\\CurrentControlSet\\Control\\Session Manager");
      *key = reinterpret_cast<HKEY>(0x77);
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegQueryValueExW>([this](HKEY, LPCWSTR name, LPDWORD, LPDWORD type,
                                                  LPBYTE data, LPDWORD bytes) -> LSTATUS {
      EXPECT_STREQ(name, L"PendingFileRenameOperations");
      if (pending.empty()) return ERROR_FILE_NOT_FOUND;
      std::wstring multi;
      for (const std::wstring& s : pending) multi += s + L'\0';
      multi += L'\0';
      DWORD size = static_cast<DWORD>(multi.size() * sizeof(wchar_t));
      if (type) *type = REG_MULTI_SZ;
      if (!data) {
        *bytes = size;
        return ERROR_SUCCESS;
      }
      if (*bytes < size) {
        *bytes = size;
        return ERROR_MORE_DATA;
      }
      memcpy(data, multi.data(), size);
      *bytes = size;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegCloseKey>([](HKEY) -> LSTATUS { return ERROR_SUCCESS; });
    fake::Set<&Platform::GetFileAttributesW>([this](LPCWSTR path) -> DWORD {
      auto found = files.find(path);
      if (found == files.end()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
      }
      return found->second ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY;
    });
    // A file mapped to false is held by the spooler and cannot be deleted.
    fake::Set<&Platform::DeleteFileW>([this](LPCWSTR path) -> BOOL {
      deletedFiles.push_back(path);
      auto found = files.find(path);
      if (found == files.end()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
      }
      if (!found->second) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      files.erase(found);
      return TRUE;
    });
    // The spooler service: stops and starts at once.
    fake::Set<&Platform::OpenSCManagerW>([](LPCWSTR, LPCWSTR, DWORD) {
      return reinterpret_cast<SC_HANDLE>(0x31);
    });
    fake::Set<&Platform::OpenServiceW>([](SC_HANDLE, LPCWSTR name, DWORD) {
      EXPECT_STREQ(name, L"spooler");
      return reinterpret_cast<SC_HANDLE>(0x32);
    });
    fake::Set<&Platform::CloseServiceHandle>([](SC_HANDLE) { return TRUE; });
    fake::Set<&Platform::ControlService>([this](SC_HANDLE, DWORD control, LPSERVICE_STATUS) {
      EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_STOP));
      ++spoolerStops;
      spoolerState = SERVICE_STOPPED;
      // A restart lets go of the files the spooler held.
      if (restartReleasesFiles)
        for (auto& file : files) file.second = true;
      return TRUE;
    });
    fake::Set<&Platform::StartServiceW>([this](SC_HANDLE, DWORD, LPCWSTR*) {
      spoolerState = SERVICE_RUNNING;
      return TRUE;
    });
    fake::Set<&Platform::QueryServiceStatus>([this](SC_HANDLE, LPSERVICE_STATUS status) {
      *status = {};
      status->dwCurrentState = spoolerState;
      return TRUE;
    });
  }

  void TearDown() override { EXPECT_EQ(openHandles, 0) << "a printer handle was left open"; }

  const Printer& PrinterOf(HANDLE handle) {
    return printers.at(reinterpret_cast<size_t>(handle) - 0x100);
  }

  fake::FakePlatform os;
  std::vector<Printer> printers;
  std::map<std::wstring, int> builds;  // driver file -> build number (-1: no resource)
  std::wstring defaultPrinter;
  std::vector<std::wstring> pending;
  std::map<std::wstring, bool> files;  // existing files -> deletable
  bool enumFails = false, openWorks = true, printerInfoFails = false;
  bool restartReleasesFiles = false;
  DWORD spoolerState = SERVICE_RUNNING;
  int enumerations = 0, openHandles = 0, spoolerStops = 0;
  std::vector<std::wstring> opened, madeDefault, deletedFiles;
};

const wchar_t kDriver[] = L"Loomscribe printer";

// --- onChkDrv ---------------------------------------------------------------

TEST_F(StatusTest, DriverBuildDecidesAtTheThreshold) {
  printers = {{L"Foreign", L"Generic / Text Only", L"C:\\d\\unidrv.dll"},
              {L"Loomscribe", kDriver, L"C:\\d\\3\\lmxdrv64.dll"}};
  const std::pair<int, bool> cases[] = {{2044, true}, {2045, true}, {65535, true},
                                        {2043, false}, {0, false}, {-1, false}};
  for (auto [build, expected] : cases) {
    SCOPED_TRACE(build);
    builds[L"C:\\d\\3\\lmxdrv64.dll"] = build;
    EXPECT_EQ(IsDriverUpToDate(), expected);
  }
}

TEST_F(StatusTest, OnlyTheFirstProductPrinterIsExamined) {
  printers = {{L"Near miss", L"Loomscribe printer 2", L"C:\\d\\new.dll"},
              {L"Lower case", L"loomscribe printer", L"C:\\d\\new.dll"},
              {L"First", kDriver, L"C:\\d\\old.dll"},
              {L"Second", kDriver, L"C:\\d\\new.dll"}};
  builds = {{L"C:\\d\\old.dll", 2043}, {L"C:\\d\\new.dll", 2070}};
  EXPECT_FALSE(IsDriverUpToDate());
  EXPECT_THAT(opened, ElementsAre(L"First"));

  // The first one cannot be opened: no other printer is tried.
  opened.clear();
  openWorks = false;
  builds[L"C:\\d\\old.dll"] = 2070;
  EXPECT_FALSE(IsDriverUpToDate());
  EXPECT_THAT(opened, ElementsAre(L"First"));
}

TEST_F(StatusTest, NoProductPrinterOrNoDriverFileIsNotUpToDate) {
  printers = {{L"Foreign", L"Generic / Text Only", L"C:\\d\\x.dll"}};
  builds = {{L"C:\\d\\x.dll", 3000}};
  EXPECT_FALSE(IsDriverUpToDate());
  EXPECT_TRUE(opened.empty());

  printers = {{L"Loomscribe", kDriver, L""}};  // the record names no driver file
  EXPECT_FALSE(IsDriverUpToDate());
  EXPECT_EQ(fake::CountCalls("GetFileVersionInfoSizeW"), 0);

  enumFails = true;
  EXPECT_FALSE(IsDriverUpToDate());
}

// --- def.set ------------------------------------------------------------------

TEST_F(StatusTest, FirstProductPrinterBecomesTheDefault) {
  printers = {{L"Foreign", L"Generic / Text Only", L""},
              {L"Loomscribe (2)", kDriver, L""},
              {L"Loomscribe", kDriver, L""}};
  SetOurPrinterAsDefault();
  EXPECT_THAT(madeDefault, ElementsAre(L"Loomscribe (2)"));

  madeDefault.clear();
  printers = {{L"Foreign", L"Generic / Text Only", L""}, {L"Case", L"LOOMSCRIBE PRINTER", L""}};
  SetOurPrinterAsDefault();
  enumFails = true;
  SetOurPrinterAsDefault();
  EXPECT_TRUE(madeDefault.empty());
}

// --- onInit: the default printer ------------------------------------------------

TEST_F(StatusTest, DefaultPrinterForeignness) {
  printers = {{L"Foreign", L"Generic / Text Only", L""}, {L"Loomscribe", kDriver, L""}};

  defaultPrinter = L"";  // no default printer
  EXPECT_TRUE(IsDefaultPrinterForeign());
  EXPECT_TRUE(opened.empty());

  defaultPrinter = L"Foreign";
  EXPECT_TRUE(IsDefaultPrinterForeign());

  defaultPrinter = L"Loomscribe";
  EXPECT_FALSE(IsDefaultPrinterForeign());

  printerInfoFails = true;  // its record cannot be read
  EXPECT_TRUE(IsDefaultPrinterForeign());
  printerInfoFails = false;

  openWorks = false;
  EXPECT_TRUE(IsDefaultPrinterForeign());
  EXPECT_THAT(opened, ElementsAre(L"Foreign", L"Loomscribe", L"Loomscribe", L"Loomscribe"));
}

// --- onInit: queued component files -------------------------------------------------

TEST_F(StatusTest, NothingQueuedCostsNoRestart) {
  EXPECT_FALSE(HasPendingComponentFiles());
  EXPECT_EQ(spoolerStops, 0);
}

TEST_F(StatusTest, QueuedDeletionThatCanBeDoneNowIsDoneWithoutRestart) {
  pending = {L"\\??\\C:\\Windows\\System32\\lmxui64.dll", L""};
  files = {{L"C:\\Windows\\System32\\lmxui64.dll", true}};
  EXPECT_FALSE(HasPendingComponentFiles());
  EXPECT_THAT(deletedFiles, ElementsAre(L"C:\\Windows\\System32\\lmxui64.dll"));
  EXPECT_TRUE(files.empty());
  EXPECT_EQ(spoolerStops, 0);
}

TEST_F(StatusTest, LockedQueuedFileCostsTwoRestartsAndAnswersTrue) {
  pending = {L"\\??\\C:\\Windows\\System32\\spool\\drivers\\x64\\3\\lmxdrv64.dll", L""};
  files = {{L"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\lmxdrv64.dll", false}};
  EXPECT_TRUE(HasPendingComponentFiles());
  EXPECT_EQ(spoolerStops, 2);
  EXPECT_EQ(spoolerState, static_cast<DWORD>(SERVICE_RUNNING));  // started again each time
  EXPECT_EQ(deletedFiles.size(), 2u);
}

TEST_F(StatusTest, FileReleasedByTheFirstRestartAnswersFalse) {
  restartReleasesFiles = true;
  pending = {L"\\??\\C:\\Windows\\System32\\lmxmon64.dll", L""};
  files = {{L"C:\\Windows\\System32\\lmxmon64.dll", false}};
  EXPECT_FALSE(HasPendingComponentFiles());
  EXPECT_EQ(spoolerStops, 1);
  EXPECT_TRUE(files.empty());
}

TEST_F(StatusTest, QueuedRenameMatchesInAnyDirectoryAndLetterCase) {
  const wchar_t* sources[] = {L"\\??\\D:\\Some\\Where\\LMXMON64.DLL", L"C:\\tmp\\LmxMon64.dll",
                              L"\\??\\E:\\LMXUI64.DLL"};
  for (const wchar_t* source : sources) {
    SCOPED_TRACE(source);
    spoolerStops = 0;
    deletedFiles.clear();
    pending = {L"\\??\\C:\\Windows\\other.dll", L"", source, L"\\??\\C:\\x\\renamed.dll"};
    files = {{source[0] == L'\\' ? source + 4 : source, false}};
    EXPECT_TRUE(HasPendingComponentFiles());
    EXPECT_EQ(spoolerStops, 2);
    // A rename is never carried out early.
    EXPECT_TRUE(deletedFiles.empty());
  }
}

TEST_F(StatusTest, OnlyTheWholeFileNameOfAnExistingFileMatches) {
  pending = {L"\\??\\C:\\dir\\lmxmon64.dll.bak", L"\\??\\C:\\dir\\a",  // longer name
             L"\\??\\C:\\lmxmon64.dll\\inner.dll", L"\\??\\C:\\dir\\b",  // only a directory
             L"\\??\\C:\\dir\\xlmxdrv64.dll", L"\\??\\C:\\dir\\c",     // longer in front
             L"\\??\\C:\\gone\\lmxdrv64.dll", L"\\??\\C:\\dir\\d",     // no such file
             L"\\??\\C:\\dir\\e", L"\\??\\C:\\dir\\lmxui64.dll",        // only the destination
             L"\\??\\C:\\dir\\lmxmon64.dll"};                           // odd string, dropped
  files = {{L"C:\\dir\\lmxmon64.dll.bak", false}, {L"C:\\lmxmon64.dll\\inner.dll", false},
           {L"C:\\dir\\xlmxdrv64.dll", false},    {L"C:\\dir\\e", false},
           {L"C:\\dir\\lmxui64.dll", false},      {L"C:\\dir\\lmxmon64.dll", false}};
  EXPECT_FALSE(HasPendingComponentFiles());
  EXPECT_EQ(spoolerStops, 0);
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/test_util.h"
#include "unit/monitor_driver_fakes.h"

using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// EnumPrinterDriversW at level 6 over `names`, with the two-call protocol.
void AnswerEnumDrivers(const std::vector<const wchar_t*>* names, std::vector<std::wstring>* environments) {
  fake::Set<&Platform::EnumPrinterDriversW>([=](LPWSTR server, LPWSTR env, DWORD level, LPBYTE block,
                                                DWORD size, LPDWORD needed, LPDWORD returned) -> BOOL {
    environments->push_back(env ? env : L"(null)");
    if (server || level != 6) return ::SetLastError(ERROR_INVALID_LEVEL), FALSE;
    mdfake::BlockBuilder b(sizeof(DRIVER_INFO_6W), names->size());
    std::vector<size_t> at;
    for (const wchar_t* n : *names) at.push_back(b.Add(n));
    *needed = static_cast<DWORD>(b.Bytes());
    *returned = 0;
    if (names->empty()) return TRUE;
    if (!block || size < *needed) return ::SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    wchar_t* s = b.Strings(block);
    auto* r = reinterpret_cast<DRIVER_INFO_6W*>(block);
    for (size_t i = 0; i < names->size(); ++i) {
      r[i] = {};
      r[i].cVersion = 3;
      r[i].pName = mdfake::BlockBuilder::At(s, at[i]);
    }
    *returned = static_cast<DWORD>(names->size());
    return TRUE;
  });
}

TEST(DriverListTest, TwoCallEnumerationAndItsFailures) {
  fake::FakePlatform os;
  std::vector<const wchar_t*> names = {L"Generic", nullptr, L"Loomscribe printer"};
  std::vector<std::wstring> environments;
  AnswerEnumDrivers(&names, &environments);
  DriverList list;
  list.level = 9;
  ListDrivers(list, L"Windows x64");
  EXPECT_EQ(list.level, 6u);
  ASSERT_EQ(list.count, 3u);
  auto* records = reinterpret_cast<DRIVER_INFO_6W*>(list.buffer);
  EXPECT_EQ(std::wstring(records[2].pName), L"Loomscribe printer");
  EXPECT_EQ(FindProductDriver(list), 2);
  EXPECT_THAT(environments, ElementsAre(L"Windows x64", L"Windows x64"));
  FreeDriverList(list);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);

  // Nothing installed: the size query succeeds and nothing is allocated.
  names.clear();
  ListDrivers(list, L"Windows x64");
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);

  names = {L"Loomscribe printer"};
  fake::FailNth<&Platform::EnumPrinterDriversW>(1, RPC_S_SERVER_UNAVAILABLE);
  ListDrivers(list, L"Windows x64");
  EXPECT_EQ(list.buffer, nullptr);
  fake::FailNth<&Platform::EnumPrinterDriversW>(2, RPC_S_SERVER_UNAVAILABLE);
  ListDrivers(list, L"Windows x64");
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(FindProductDriver(list), -1);
}

template <class Record>
int32_t FindAtLevel(uint32_t level, std::vector<const wchar_t*> names) {
  std::vector<Record> records(names.size());
  std::vector<std::wstring> copies(names.begin(), names.end());
  for (size_t i = 0; i < names.size(); ++i) records[i].pName = &copies[i][0];
  DriverList list;
  list.buffer = reinterpret_cast<BYTE*>(records.data());
  list.level = level;
  list.count = static_cast<uint32_t>(records.size());
  return FindProductDriver(list);
}

TEST(DriverListTest, FindsTheExactNameAtEveryLevel) {
  const std::vector<const wchar_t*> names = {L"loomscribe printer", L"Loomscribe printer2",
                                             L"Loomscribe printe", L"Loomscribe printer"};
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_1W>(1, names), 3);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_2W>(2, names), 3);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_3W>(3, names), 3);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_4W>(4, names), 3);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_5W>(5, names), 3);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_6W>(6, names), 3);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_6W>(7, names), -1);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_6W>(0, names), -1);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_6W>(6, {L"Loomscribe printer ", L"LOOMSCRIBE PRINTER"}), -1);
  EXPECT_EQ(FindAtLevel<DRIVER_INFO_6W>(6, {}), -1);
}

class DriverRemoveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    Release(session.InstallLog);
    session.Environment = L"Windows x64";
    service.Install();
    AnswerEnumDrivers(&names, &environments);
    fake::Set<&Platform::DeletePrinterDriverExW>([this](LPWSTR server, LPWSTR env, LPWSTR name,
                                                        DWORD flags, DWORD version) -> BOOL {
      deletes.push_back(std::wstring(server ? L"server" : L"") + L"|" + env + L"|" + name + L"|" +
                        std::to_wstring(flags) + L"|" + std::to_wstring(version));
      if (refusals-- > 0) return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
      return TRUE;
    });
  }
  void TearDown() override {
    FreeDriverList(list);
    EndSession(session);
  }
  void Run() {
    ListDrivers(list, session.Environment);
    RemovePrinterDriver(session, list);
  }
  fake::FakePlatform os;
  InstallSession session;
  mdfake::SpoolerService service;
  std::vector<const wchar_t*> names = {L"Loomscribe printer", L"Generic", nullptr};
  std::vector<std::wstring> environments;
  std::vector<std::wstring> deletes;
  DriverList list;
  int refusals = 0;
};

const std::vector<std::wstring> kListed = {L">DeletePrinterDriver for Windows x64",
                                           L"  ------------ 3 existing drivers-----------",
                                           L"  1. Loomscribe printer",
                                           L"  2. Generic",
                                           L"  3. ***EMPTY***",
                                           L"  -------------------------------------------",
                                           L"  Driver is found. Index=1"};

std::vector<std::wstring> Listed(const std::vector<std::wstring>& tail) {
  std::vector<std::wstring> lines = kListed;
  lines.insert(lines.end(), tail.begin(), tail.end());
  return lines;
}

TEST_F(DriverRemoveTest, DeletesWithAllFilesAtFirstTry) {
  Run();
  EXPECT_THAT(LogLines(session), ElementsAreArray(Listed({L"  OK :)"})));
  EXPECT_THAT(deletes, ElementsAre(L"|Windows x64|Loomscribe printer|4|0"));
  EXPECT_EQ(service.stops, 0);
  EXPECT_EQ(session.PendingDeletes, nullptr);
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(DriverRemoveTest, RefusedOnceRestartsTheSpooler) {
  refusals = 1;
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Listed({L"  Can't delete driver. Trying to restart spooler",
                                       L"  >Restart Spooler", L"  OK :)"})));
  EXPECT_THAT(fake::CallsAmong({"DeletePrinterDriverExW", "ControlService", "StartServiceW"}),
              ElementsAre("DeletePrinterDriverExW", "ControlService", "StartServiceW",
                          "DeletePrinterDriverExW"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(DriverRemoveTest, RefusedTwiceIsErrorFourteen) {
  refusals = 2;
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAreArray(Listed(
                  {L"  Can't delete driver. Trying to restart spooler", L"  >Restart Spooler",
                   L"  Error(14): Can`t remove the printer-driver 'Loomscribe printer' - (" +
                       testutil::SystemText(ERROR_ACCESS_DENIED) + L")"})));
  EXPECT_EQ(deletes.size(), 2u);
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(DriverRemoveTest, NothingToDeleteWithoutTheProductDriver) {
  names = {L"Generic", L"Loomscribe Printer"};
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">DeletePrinterDriver for Windows x64", L"  ------------ 2 existing drivers-----------",
                          L"  1. Generic", L"  2. Loomscribe Printer",
                          L"  -------------------------------------------", L"  No Loomscribe driver was found"));
  names.clear();
  FreeDriverList(list);
  Release(session.InstallLog);
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">DeletePrinterDriver for Windows x64",
                          L"  BTW, there is no printer drivers on this system.",
                          L"  No Loomscribe driver was found"));
  EXPECT_TRUE(deletes.empty());
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST(QueryPrinterDriverTest, AsksForTheSizeWithTheEnvironmentThenTheRecord) {
  fake::FakePlatform os;
  std::vector<std::wstring> environments;
  fake::Set<&Platform::GetPrinterDriverW>([&](HANDLE printer, LPWSTR env, DWORD level, LPBYTE block,
                                              DWORD size, LPDWORD needed) -> BOOL {
    environments.push_back(env ? env : L"(null)");
    const DWORD bytes = sizeof(DRIVER_INFO_2W) + 64;
    *needed = bytes;
    if (printer != reinterpret_cast<HANDLE>(7) || level != 2)
      return ::SetLastError(ERROR_INVALID_HANDLE), FALSE;
    if (!block || size < bytes) return ::SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    auto* r = reinterpret_cast<DRIVER_INFO_2W*>(block);
    r->cVersion = 3;
    r->pDriverPath = reinterpret_cast<LPWSTR>(block + sizeof(DRIVER_INFO_2W));
    wcscpy(r->pDriverPath, L"C:\\d\\lmxdrv64.dll");
    return TRUE;
  });
  DRIVER_INFO_2W* info = QueryPrinterDriver(reinterpret_cast<HANDLE>(7));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::wstring(info->pDriverPath), L"C:\\d\\lmxdrv64.dll");
  ::GlobalFree(info);
  EXPECT_THAT(environments, ElementsAre(L"Windows x64", L"(null)"));

  EXPECT_EQ(QueryPrinterDriver(reinterpret_cast<HANDLE>(8)), nullptr);
  EXPECT_EQ(environments.size(), 3u);  // no second call after another error
  fake::FailNth<&Platform::GetPrinterDriverW>(2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(QueryPrinterDriver(reinterpret_cast<HANDLE>(7)), nullptr);
}

// ---------------------------------------------------------------------------

const std::wstring kStagedDriver = std::wstring(mdfake::kDriverDir) + L"lmxdrv64.dll";
const std::wstring kStagedUi = std::wstring(mdfake::kDriverDir) + L"lmxui64.dll";
const std::wstring kStagedHelp = std::wstring(mdfake::kDriverDir) + L"lmxhelp.chm";

std::wstring CopyLine(const wchar_t* file) {
  return L"  >CopyFile " + std::wstring(file) + L" to " + mdfake::kDriverDir + L" [1])";
}

class DriverInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    Release(session.InstallLog);
    Assign(session.ModuleDirectory, mdfake::kModuleDir);
    Assign(session.DriverDirectory, mdfake::kDriverDir);
    session.Environment = L"Windows x64";
    session.DriverFile = L"lmxdrv64.dll";
    session.UiFile = L"lmxui64.dll";
    session.HelpFile = L"lmxhelp.chm";
    for (const wchar_t* f : {L"lmxdrv64.dll", L"lmxui64.dll", L"lmxhelp.chm"})
      files.files[std::wstring(mdfake::kModuleDir) + f] = "content of " + std::to_string(wcslen(f));
    files.Install();
    fake::Set<&Platform::AddPrinterDriverExW>([this](LPWSTR server, DWORD level, LPBYTE info,
                                                     DWORD flags) -> BOOL {
      ++adds;
      serverGiven = server != nullptr;
      levelGiven = level;
      flagsGiven = flags;
      record = *reinterpret_cast<DRIVER_INFO_6W*>(info);
      auto text = [](LPWSTR s) { return s ? std::wstring(s) : std::wstring(L"(null)"); };
      texts = {text(record.pName), text(record.pEnvironment), text(record.pDriverPath),
               text(record.pDataFile), text(record.pConfigFile), text(record.pHelpFile),
               text(record.pszMfgName), text(record.pszOEMUrl), text(record.pszProvider)};
      // The spooler reads the staged files while they exist.
      for (LPWSTR p : {record.pDriverPath, record.pConfigFile})
        if (!files.files.count(p)) return ::SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
      if (refuse) return ::SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER), FALSE;
      return TRUE;
    });
  }
  void TearDown() override { EndSession(session); }

  fake::FakePlatform os;
  InstallSession session;
  mdfake::Files files;
  int adds = 0;
  bool serverGiven = true, refuse = false;
  DWORD levelGiven = 0, flagsGiven = 0;
  DRIVER_INFO_6W record = {};
  std::vector<std::wstring> texts;
};

TEST_F(DriverInstallTest, StagesAddsAndRemovesTheStagedCopies) {
  InstallPrinterDriver(session);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">Add Printer Driver", CopyLine(L"lmxdrv64.dll"), L"    Copy Succeeded :)",
                          CopyLine(L"lmxui64.dll"), L"    Copy Succeeded :)", CopyLine(L"lmxhelp.chm"),
                          L"    Copy Succeeded :)", L"  OK :)"));
  EXPECT_EQ(adds, 1);
  EXPECT_FALSE(serverGiven);
  EXPECT_EQ(levelGiven, 6u);
  EXPECT_EQ(flagsGiven, static_cast<DWORD>(APD_COPY_ALL_FILES));
  EXPECT_EQ(record.cVersion, 3u);
  EXPECT_THAT(texts, ElementsAre(L"Loomscribe printer", L"Windows x64", kStagedDriver, kStagedDriver,
                                 kStagedUi, kStagedHelp, L"Tamarel Software Kft.",
                                 L"https://www.tamarel.example/", L"Tamarel Software Kft."));
  EXPECT_EQ(record.pDependentFiles, nullptr);
  EXPECT_EQ(record.pMonitorName, nullptr);
  EXPECT_EQ(record.pDefaultDataType, nullptr);
  EXPECT_EQ(record.pszzPreviousNames, nullptr);
  EXPECT_EQ(record.pszHardwareID, nullptr);
  EXPECT_EQ(record.dwlDriverVersion, 0u);
  EXPECT_EQ(record.ftDriverDate.dwLowDateTime | record.ftDriverDate.dwHighDateTime, 0u);
  for (const std::wstring& p : {kStagedDriver, kStagedUi, kStagedHelp}) EXPECT_FALSE(files.files.count(p));
  EXPECT_EQ(session.PendingDeletes, nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(session.IndentDepth, 0);
}

// The driver's addition and the deletions after it (the copies clear their
// own leftovers before).
std::vector<std::string> StagedDeletions() {
  std::vector<std::string> calls = fake::CallsAmong({"AddPrinterDriverExW", "DeleteFileW"});
  auto added = std::find(calls.begin(), calls.end(), "AddPrinterDriverExW");
  return std::vector<std::string>(added, calls.end());
}

TEST_F(DriverInstallTest, MissingHelpFileGivesAnEmptyHelpPath) {
  files.files.erase(std::wstring(mdfake::kModuleDir) + L"lmxhelp.chm");
  InstallPrinterDriver(session);
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(LogLines(session).back(), L"  OK :)");
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts[5], L"");
  EXPECT_EQ(StagedDeletions(), (std::vector<std::string>{"AddPrinterDriverExW", "DeleteFileW",
                                                          "DeleteFileW"}));
}

TEST_F(DriverInstallTest, MissingDriverFileStopsBeforeTheOtherFiles) {
  files.files.erase(std::wstring(mdfake::kModuleDir) + L"lmxdrv64.dll");
  InstallPrinterDriver(session);
  std::vector<std::wstring> lines = LogLines(session);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], CopyLine(L"lmxdrv64.dll"));
  EXPECT_EQ(lines.back(), L"    Copy Failed :(");
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(adds, 0);
  EXPECT_EQ(fake::CountCalls("CreateFileW"), 1);
  EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(DriverInstallTest, RefusedDriverIsErrorThirteenAndStagedFilesStillGo) {
  refuse = true;
  InstallPrinterDriver(session);
  EXPECT_EQ(LogLines(session).back(),
            L"  Error(13): Can`t install a printer driver 'Loomscribe printer' - (" +
                testutil::SystemText(ERROR_UNKNOWN_PRINTER_DRIVER) + L")");
  EXPECT_EQ(session.ErrorCount, 1);
  for (const std::wstring& p : {kStagedDriver, kStagedUi, kStagedHelp}) EXPECT_FALSE(files.files.count(p));
}

TEST_F(DriverInstallTest, StagedFileThatCannotBeDeletedIsListed) {
  files.undeletable = {kStagedUi};
  InstallPrinterDriver(session);
  EXPECT_THAT(StagedDeletions(),
              ElementsAre("AddPrinterDriverExW", "DeleteFileW", "DeleteFileW", "DeleteFileW"));
  ASSERT_NE(session.PendingDeletes, nullptr);
  EXPECT_EQ(std::wstring(session.PendingDeletes->path), kStagedUi);
  EXPECT_EQ(session.PendingDeletes->next, nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(LogLines(session).back(), L"  OK :)");
}

}  // namespace

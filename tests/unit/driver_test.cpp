#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "dispatch.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "session/session.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using fake::World;
using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// Drivers known to the spooler by name only ("" is listed without a name).
void SpoolerDrivers(World& world, const std::vector<std::wstring>& names) {
  world.drivers.clear();
  for (const std::wstring& name : names) {
    fake::WorldDriver driver;
    driver.name = name;
    driver.environment = L"Windows x64";
    world.drivers.push_back(driver);
  }
}

// Records the environment of every driver enumeration.
void RecordEnvironments(std::vector<std::wstring>* environments) {
  fake::Wrap<&Platform::EnumPrinterDriversW>(
      [environments](auto& previous, LPWSTR server, LPWSTR env, DWORD level, LPBYTE block,
                     DWORD size, LPDWORD needed, LPDWORD returned) {
        environments->push_back(env ? env : L"(null)");
        return previous(server, env, level, block, size, needed, returned);
      });
}

TEST(DriverListTest, TwoCallEnumerationAndItsFailures) {
  fake::FakePlatform os;
  World world;
  SpoolerDrivers(world, {L"Generic", L"", L"Loomscribe printer"});
  std::vector<std::wstring> environments;
  RecordEnvironments(&environments);
  DriverList list;
  list.level = 9;
  ListDrivers(list, L"Windows x64");
  EXPECT_EQ(list.level, 6u);
  ASSERT_EQ(list.count, 3u);
  auto* records = reinterpret_cast<DRIVER_INFO_6W*>(list.buffer);
  EXPECT_EQ(std::wstring(records[2].pName), L"Loomscribe printer");
  EXPECT_EQ(records[1].pName, nullptr);
  EXPECT_EQ(FindProductDriver(list), 2);
  EXPECT_THAT(environments, ElementsAre(L"Windows x64", L"Windows x64"));
  FreeDriverList(list);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);

  // Nothing installed: the size query succeeds and nothing is allocated.
  world.drivers.clear();
  ListDrivers(list, L"Windows x64");
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);

  SpoolerDrivers(world, {L"Loomscribe printer"});
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
    world.InstallProduct();
    // Two drivers with files of their own, one listed without a name.
    for (const wchar_t* name : {L"Generic", L""}) {
      world.drivers.push_back(fake::WorldDriver());
      world.drivers.back().name = name;
      world.drivers.back().environment = L"Windows x64";
    }
    // The spooler refuses the first `refusals` deletions; every one is recorded.
    fake::Wrap<&Platform::DeletePrinterDriverExW>([this](auto& previous, LPWSTR server, LPWSTR env,
                                                         LPWSTR name, DWORD flags,
                                                         DWORD version) -> BOOL {
      deletes.push_back(std::wstring(server ? L"server" : L"") + L"|" + env + L"|" + name + L"|" +
                        std::to_wstring(flags) + L"|" + std::to_wstring(version));
      if (refusals-- > 0) return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
      return previous(server, env, name, flags, version);
    });
  }
  void TearDown() override {
    FreeDriverList(list);
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }
  void Run() {
    ListDrivers(list, session.Environment);
    RemovePrinterDriver(session, list);
  }
  fake::FakePlatform os;
  World world;
  InstallSession session;
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
  EXPECT_EQ(world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_EQ(fake::CountCalls("ControlService"), 0);
  EXPECT_EQ(session.PendingDeletes.head, nullptr);
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
  SpoolerDrivers(world, {L"Generic", L"Loomscribe Printer"});
  Run();
  EXPECT_THAT(LogLines(session),
              ElementsAre(L">DeletePrinterDriver for Windows x64", L"  ------------ 2 existing drivers-----------",
                          L"  1. Generic", L"  2. Loomscribe Printer",
                          L"  -------------------------------------------", L"  No Loomscribe driver was found"));
  world.drivers.clear();
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
  World world;
  world.InstallProduct();
  world.AddProductPrinter(L"P", "s");
  std::vector<std::wstring> environments;
  fake::Wrap<&Platform::GetPrinterDriverW>([&](auto& previous, HANDLE printer, LPWSTR env,
                                               DWORD level, LPBYTE block, DWORD size,
                                               LPDWORD needed) {
    environments.push_back(env ? env : L"(null)");
    return previous(printer, env, level, block, size, needed);
  });
  HANDLE printer = nullptr;
  ASSERT_TRUE(Os().OpenPrinterW(const_cast<wchar_t*>(L"P"), &printer, nullptr));
  DRIVER_INFO_2W* info = QueryPrinterDriver(printer);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->cVersion, 3u);
  EXPECT_EQ(std::wstring(info->pDriverPath),
            std::wstring(World::kDriverDir) + L"\\3\\lmxdrv64.dll");
  ::GlobalFree(info);
  EXPECT_THAT(environments, ElementsAre(L"Windows x64", L"(null)"));

  EXPECT_EQ(QueryPrinterDriver(reinterpret_cast<HANDLE>(8)), nullptr);
  EXPECT_EQ(environments.size(), 3u);  // no second call after another error
  fake::FailNth<&Platform::GetPrinterDriverW>(2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(QueryPrinterDriver(printer), nullptr);
  EXPECT_TRUE(Os().ClosePrinter(printer));
  EXPECT_EQ(world.OpenHandles().all(), 0);
}

// ---------------------------------------------------------------------------

const std::wstring kDriverDir = std::wstring(World::kDriverDir) + L"\\";
const std::wstring kStagedDriver = kDriverDir + L"lmxdrv64.dll";
const std::wstring kStagedUi = kDriverDir + L"lmxui64.dll";
const std::wstring kStagedHelp = kDriverDir + L"lmxhelp.chm";

std::wstring CopyLine(const wchar_t* file) {
  return L"  >CopyFile " + std::wstring(file) + L" to " + kDriverDir + L" [1])";
}

class DriverInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    Release(session.InstallLog);
    Assign(session.ModuleDirectory, fake::WorldModuleDirectory().c_str());
    Assign(session.DriverDirectory, kDriverDir.c_str());
    session.Environment = L"Windows x64";
    session.DriverFile = L"lmxdrv64.dll";
    session.UiFile = L"lmxui64.dll";
    session.HelpFile = L"lmxhelp.chm";
    // What the spooler is asked for; `refuse` makes it refuse the driver.
    fake::Wrap<&Platform::AddPrinterDriverExW>([this](auto& previous, LPWSTR server, DWORD level,
                                                      LPBYTE info, DWORD flags) -> BOOL {
      ++adds;
      serverGiven = server != nullptr;
      levelGiven = level;
      flagsGiven = flags;
      record = *reinterpret_cast<DRIVER_INFO_6W*>(info);
      auto text = [](LPWSTR s) { return s ? std::wstring(s) : std::wstring(L"(null)"); };
      texts = {text(record.pName), text(record.pEnvironment), text(record.pDriverPath),
               text(record.pDataFile), text(record.pConfigFile), text(record.pHelpFile),
               text(record.pszMfgName), text(record.pszOEMUrl), text(record.pszProvider)};
      if (refuse) return ::SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER), FALSE;
      return previous(server, level, info, flags);
    });
  }
  void TearDown() override {
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }

  fake::FakePlatform os;
  World world;
  InstallSession session;
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
  for (const std::wstring& p : {kStagedDriver, kStagedUi, kStagedHelp}) EXPECT_FALSE(world.HasFile(p));
  EXPECT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_EQ(session.PendingDeletes.head, nullptr);
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
  world.RemoveFile(fake::WorldModuleDirectory() + L"lmxhelp.chm");
  InstallPrinterDriver(session);
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(LogLines(session).back(), L"  OK :)");
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts[5], L"");
  EXPECT_EQ(StagedDeletions(), (std::vector<std::string>{"AddPrinterDriverExW", "DeleteFileW",
                                                          "DeleteFileW"}));
}

TEST_F(DriverInstallTest, MissingDriverFileStopsBeforeTheOtherFiles) {
  world.RemoveFile(fake::WorldModuleDirectory() + L"lmxdrv64.dll");
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
  for (const std::wstring& p : {kStagedDriver, kStagedUi, kStagedHelp}) EXPECT_FALSE(world.HasFile(p));
}

TEST_F(DriverInstallTest, StagedFileThatCannotBeDeletedIsListed) {
  fake::FailWhen<&Platform::DeleteFileW>([](LPCWSTR path) { return path == kStagedUi; },
                                         ERROR_ACCESS_DENIED);
  InstallPrinterDriver(session);
  EXPECT_THAT(StagedDeletions(),
              ElementsAre("AddPrinterDriverExW", "DeleteFileW", "DeleteFileW", "DeleteFileW"));
  ASSERT_NE(session.PendingDeletes.head, nullptr);
  EXPECT_EQ(std::wstring(session.PendingDeletes.head->path), kStagedUi);
  EXPECT_EQ(session.PendingDeletes.head->next, nullptr);
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(LogLines(session).back(), L"  OK :)");
}

TEST_F(DriverInstallTest, AddedOnlyWithEveryFileWholeInItsVersionFolder) {
  // Wine's spooler reports success whatever became of its copies.
  const std::wstring store = kDriverDir + L"3\\", elsewhere = kDriverDir + L"4\\lmxui64.dll";
  std::function<void()> damage;
  fake::Wrap<&Platform::AddPrinterDriverExW>([&](auto& previous, auto... a) {
    BOOL added = previous(a...);
    damage();
    return added;
  });
  const std::pair<std::wstring, std::function<void()>> cases[] = {
      {L"", [] {}},
      {store + L"lmxui64.dll", [&] { world.RemoveFile(store + L"lmxui64.dll"); }},
      {store + L"lmxdrv64.dll", [&] { world.FindFile(store + L"lmxdrv64.dll")->bytes.resize(9); }},
      {store + L"lmxhelp.chm", [&] { world.FindFile(store + L"lmxhelp.chm")->bytes.back() = '!'; }},
      {elsewhere, [&] {  // the same bytes in another version folder
         world.AddFile(elsewhere, world.FindFile(store + L"lmxui64.dll")->bytes);
         world.drivers.back().configFile = elsewhere;
       }},
  };
  for (const auto& [notInPlace, fault] : cases) {
    SCOPED_TRACE(notInPlace);
    damage = fault;
    Release(session.InstallLog);
    session.ErrorCount = session.DriverReady = 0;
    InstallPrinterDriver(session);
    std::vector<std::wstring> lines = LogLines(session);
    EXPECT_EQ(session.DriverReady, notInPlace.empty() ? 1 : 0);
    EXPECT_EQ(lines.back().substr(0, 13), notInPlace.empty() ? L"  OK :)" : L"  Error(13): ");
    if (!notInPlace.empty()) {
      EXPECT_EQ(lines[lines.size() - 2], L"  Driver file not in place: " + notInPlace);
    }
  }
}

// The Wine mend over the model's spooler answering as Wine does: any delete
// flag is refused, and flag 0 removes the record and leaves the files.
std::function<BOOL(LPWSTR, LPWSTR, LPWSTR, DWORD, DWORD)> g_spoolerDelete;
BOOL WINAPI WineLikeDelete(LPWSTR server, LPWSTR environment, LPWSTR name, DWORD flags,
                           DWORD version) {
  if (flags != 0) return ::SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  return g_spoolerDelete(server, environment, name, flags, version);
}

TEST(DriverSharedFilesTest, AnotherDriversFilesStayAndOnlyOursGo) {
  const WineCompat saved = CurrentWineCompat();
  const std::wstring store = std::wstring(World::kDriverDir) + L"\\3\\";
  for (bool wine : {false, true}) {
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(wine ? "Wine mend" : "Windows") + (shared ? ", shared" : ""));
      fake::FakePlatform os;
      World world;
      world.InstallProduct();
      fake::WorldDriver other = world.drivers.back();
      other.name = L"Other vendor";
      other.driverPath = other.dataFile = store + L"other.dll";
      if (!shared) other.configFile = store + L"otherui.dll";
      other.helpFile.clear();
      world.AddFile(other.driverPath);
      world.AddFile(other.configFile);
      world.drivers.push_back(other);
      if (wine) {
        g_spoolerDelete = fake::Hook<&Platform::DeletePrinterDriverExW>::fn;
        CurrentWineCompat() = {true, nullptr, &WineLikeDelete,
                               &fake::Hook<&Platform::EnumPrinterDriversW>::Thunk,
                               &fake::Hook<&Platform::DeleteFileW>::Thunk};
        fake::Set<&Platform::DeletePrinterDriverExW>(&CompatDeletePrinterDriverExW);
      }
      world.shiftDown = true;  // to see the log
      EXPECT_EQ(testutil::RunCommand({L"uninstall"}), kExitUninstalled);
      ASSERT_EQ(world.dialogs.size(), 1u);
      EXPECT_EQ(world.dialogs[0].text.find(L"Driver files that another driver uses are kept") !=
                    std::wstring::npos,
                shared);
      EXPECT_EQ(world.FindDriver(L"Loomscribe printer"), nullptr);
      EXPECT_NE(world.FindDriver(L"Other vendor"), nullptr);
      EXPECT_EQ(world.HasFile(store + L"lmxui64.dll"), shared);
      EXPECT_FALSE(world.HasFile(store + L"lmxdrv64.dll"));
      EXPECT_FALSE(world.HasFile(store + L"lmxhelp.chm"));
      EXPECT_TRUE(world.HasFile(other.driverPath) && world.HasFile(other.configFile));
      CurrentWineCompat() = saved;
    }
  }
}

}  // namespace

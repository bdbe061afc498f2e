// An install over an existing installation: the component files it needs to
// bring everything back are checked and held before anything is removed, and
// at its end only the monitor library the registered monitor really uses is
// kept or put back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dispatch.h"
#include "sequences/sequences.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

namespace {

const std::wstring kModule = fake::WorldModuleDirectory();
const std::wstring kSystem = L"C:\\windows\\system32\\";
const std::wstring kDriverDir = L"C:\\windows\\system32\\spool\\drivers\\x64\\";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Everything of the machine a run may change, as one text.
std::string Describe(const fake::World& w) {
  std::ostringstream out;
  out << "spooler " << w.spoolerRunning << "\n";
  for (const auto& f : w.files)
    // The run's log file is written whatever the run does.
    if (f.first.rfind(L"c:\\programdata\\", 0) != 0)
    out << "file " << Narrow(f.first) << " = " << f.second.bytes << (f.second.lockedForever ? " held" : "")
        << "\n";
  for (const auto& m : w.monitors)
    out << "monitor " << Narrow(m.name) << " " << Narrow(m.environment) << " " << Narrow(m.dll) << "\n";
  for (const auto& d : w.drivers)
    out << "driver " << Narrow(d.name) << " " << Narrow(d.driverPath) << " " << Narrow(d.configFile)
        << " " << Narrow(d.helpFile) << "\n";
  for (const auto& p : w.printers) {
    out << "printer " << Narrow(p.name) << " port=" << Narrow(p.port) << " driver=" << Narrow(p.driver)
        << " comment=" << Narrow(p.comment) << " location=" << Narrow(p.location) << "\n";
    for (const auto& key : p.data)
      for (const auto& value : key.second)
        out << "  data " << key.first << "\\" << value.first << " " << value.second.type << " "
            << value.second.bytes << "\n";
  }
  out << "default " << Narrow(w.defaultPrinter) << "\n";
  for (const auto& key : w.registry)
    for (const auto& value : key.second)
      out << "reg " << key.first << "\\" << value.first << " " << value.second.type << " "
          << value.second.bytes << "\n";
  out << "tray " << w.trayRunning << " " << Narrow(w.trayPath) << " " << w.trayStarts << "\n";
  for (const auto& path : w.bootDeletes) out << "boot " << Narrow(path) << "\n";
  return out.str();
}

class ComponentCheckTest : public ::testing::Test {
 protected:
  // A product installation with two carried printers, one the default.
  void SetUp() override {
    world.InstallProduct();
    fake::WorldPrinter& office = world.AddProductPrinter(L"Office", "s1");
    office.comment = L"second floor";
    office.location = L"room 12";
    world.AddProductPrinter(L"Home", "s2");
    world.defaultPrinter = L"Office";
  }
  int Install() {
    return testutil::RunCommand({L"install"});
  }
  std::vector<std::wstring> ShownLog() {
    EXPECT_EQ(world.dialogs.size(), 1u);
    return world.dialogs.empty() ? std::vector<std::wstring>() : testutil::SplitLines(world.dialogs[0].text);
  }
  // A run stopped by the check: exit 100, the set-up lines and the one line
  // the copy would have written, and the machine exactly as it was.
  void ExpectStoppedUnchanged(const std::vector<std::wstring>& tail) {
    const std::string before = Describe(world);
    EXPECT_EQ(Install(), kExitErrors);
    std::vector<std::wstring> expected = {L"Loomscribe 2070", L">Check Spooler"};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(ShownLog(), expected);
    EXPECT_EQ(Describe(world), before);
    // Nothing was asked to quit or deleted either.
    EXPECT_EQ(fake::CountCalls("PostMessageW"), 0);
    EXPECT_EQ(fake::CountCalls("DeleteFileW"), 0);
  }
  void ExpectCarriedWhole() {
    ASSERT_EQ(world.printers.size(), 2u);
    const fake::WorldPrinter* office = world.FindPrinter(L"Office");
    ASSERT_NE(office, nullptr);
    EXPECT_EQ(office->comment, L"second floor");
    EXPECT_EQ(office->location, L"room 12");
    EXPECT_EQ(world.defaultPrinter, L"Office");
    EXPECT_NE(world.FindPrinter(L"Home"), nullptr);
  }
  fake::FakePlatform os;
  fake::World world;
};

TEST_F(ComponentCheckTest, MissingDriverOrConfigurationFileStopsTheRunBeforeAnythingIsRemoved) {
  for (const wchar_t* name : {L"lmxdrv64.dll", L"lmxui64.dll"}) {
    SCOPED_TRACE(Narrow(name));
    fake::Calls().clear();
    world.dialogs.clear();
    std::string bytes = world.FindFile(kModule + name)->bytes;
    world.RemoveFile(kModule + name);
    ExpectStoppedUnchanged({std::wstring(L"Error(10): Cant't open source file: ") + name + L" - (" +
                            testutil::SystemText(ERROR_FILE_NOT_FOUND) + L")"});
    // With the file back the install carries every printer across.
    world.AddFile(kModule + name, bytes);
    world.dialogs.clear();
    EXPECT_EQ(Install(), kExitInstalled);
    ExpectCarriedWhole();
  }
}

TEST_F(ComponentCheckTest, SourceHeldByAnotherProgramStopsTheRun) {
  // Open for writing, reading shared: the copy's own open would fail.
  HANDLE held = Os().CreateFileW((kModule + L"lmxui64.dll").c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ExpectStoppedUnchanged({L"Error(10): Cant't open source file: lmxui64.dll - (" +
                          testutil::SystemText(ERROR_SHARING_VIOLATION) + L")"});
  Os().CloseHandle(held);
}

TEST_F(ComponentCheckTest, HeldStaleStagedCopyStopsTheRunAfterTheCopysRetries) {
  world.AddFile(kDriverDir + L"lmxdrv64.dll", "stale");
  world.FindFile(kDriverDir + L"lmxdrv64.dll")->lockedForever = true;
  ExpectStoppedUnchanged({L"Error(9): Cant't open destination file: " + kDriverDir +
                          L"lmxdrv64.dll - (" + testutil::SystemText(ERROR_SHARING_VIOLATION) +
                          L")"});
  // The copy's bounds: 100 tries, 50 ms apart.
  EXPECT_EQ(fake::TheClock().slept, 100u * 50u);

  // A stale copy that can go is no reason to stop.
  world.FindFile(kDriverDir + L"lmxdrv64.dll")->lockedForever = false;
  world.dialogs.clear();
  EXPECT_EQ(Install(), kExitInstalled);
  ExpectCarriedWhole();
  EXPECT_FALSE(world.HasFile(kDriverDir + L"lmxdrv64.dll"));
}

TEST_F(ComponentCheckTest, MonitorLibraryIsNeededUnlessTheKeptMonitorsOwnIsThere) {
  world.RemoveFile(kModule + L"lmxmon64.dll");
  // The registered monitor is compatible and stays: its library is enough.
  EXPECT_EQ(Install(), kExitInstalled);
  ExpectCarriedWhole();
  EXPECT_EQ(fake::CountCalls("AddMonitorW"), 0);

  // Queued for deletion at the next boot, that library is no longer enough.
  fake::Calls().clear();
  std::wstring list = L"\\??\\" + kSystem + L"lmxmon64.dll" + L'\0' + L'\0' + L'\0';
  world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))]
                ["pendingfilerenameoperations"] = {
      REG_MULTI_SZ, std::string(reinterpret_cast<const char*>(list.data()), list.size() * 2)};
  ExpectStoppedUnchanged({L"Error(10): Cant't open source file: lmxmon64.dll - (" +
                          testutil::SystemText(ERROR_FILE_NOT_FOUND) + L")"});
}

TEST_F(ComponentCheckTest, SourcesStayHeldUntilTheInstallHalfHasCopiedThem) {
  // Between the check and the copies nobody may take the files away.
  std::vector<bool> writable;
  auto tryWrite = [&] {
    HANDLE h = Os().CreateFileW((kModule + L"lmxdrv64.dll").c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    writable.push_back(h != INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) Os().CloseHandle(h);
  };
  fake::Wrap<&Platform::DeletePrinter>([&](auto& world, HANDLE printer) {
    tryWrite();
    return world(printer);
  });
  fake::Wrap<&Platform::AddPrinterDriverExW>([&](auto& world, auto... a) {
    tryWrite();
    return world(a...);
  });
  EXPECT_EQ(Install(), kExitInstalled);
  EXPECT_EQ(writable, std::vector<bool>({false, false, false}));
  // And let go at the end.
  tryWrite();
  EXPECT_TRUE(writable.back());
}

// --- the end of an install: the monitor library the product relies on -------

TEST_F(ComponentCheckTest, KeptMonitorOfAnotherLibraryNameGetsNoUnusedCopy) {
  world.monitors.back().dll = L"lmxold64.dll";
  world.AddFile(kSystem + L"lmxold64.dll", "old", 2000);
  world.RemoveFile(kSystem + L"lmxmon64.dll");
  EXPECT_EQ(Install(), kExitInstalled);
  EXPECT_EQ(world.FindMonitor(L"Loomscribe:")->dll, L"lmxold64.dll");
  EXPECT_FALSE(world.HasFile(kSystem + L"lmxmon64.dll"));
  // So nothing of it is left behind an uninstall.
  EXPECT_EQ(testutil::RunCommand({L"uninstall"}), kExitUninstalled);
  EXPECT_FALSE(world.HasFile(kSystem + L"lmxold64.dll"));
  EXPECT_FALSE(world.HasFile(kSystem + L"lmxmon64.dll"));
}

TEST_F(ComponentCheckTest, KeptMonitorsLibraryThatCannotBeAskedIsNotCopiedOver) {
  // Carried off during the install, but only "access denied" to a look:
  // not known to be missing, so nothing is copied over it.
  bool denied = true;
  fake::FailWhen<&Platform::GetFileAttributesW>(
      [&](LPCWSTR path) {
        return denied && fake::World::Lower(path) == fake::World::Lower(kSystem + L"lmxmon64.dll");
      },
      ERROR_ACCESS_DENIED);
  fake::Wrap<&Platform::AddPrinterDriverExW>([&](auto& previous, auto... a) {
    world.RemoveFile(kSystem + L"lmxmon64.dll");
    return previous(a...);
  });
  world.shiftDown = true;
  EXPECT_EQ(Install(), kExitInstalled);
  EXPECT_THAT(ShownLog(), Not(Contains(L"    >CopyFile lmxmon64.dll to C:\\windows\\system32\\ [1])")));

  // Really missing, it is copied back.
  denied = false;
  world.dialogs.clear();
  world.AddFile(kSystem + L"lmxmon64.dll", "x", 2070);
  EXPECT_EQ(Install(), kExitInstalled);
  EXPECT_THAT(ShownLog(), Contains(L"    >CopyFile lmxmon64.dll to C:\\windows\\system32\\ [1])"));
  EXPECT_TRUE(world.HasFile(kSystem + L"lmxmon64.dll"));
}

TEST_F(ComponentCheckTest, AFailedCopyOfTheMonitorLibraryIsLoggedOnce) {
  // An old monitor is replaced; its library cannot be put in place, while
  // the spooler registers the monitor all the same (it loads it later).
  world.monitors.back().dll = L"lmxold64.dll";
  world.AddFile(kSystem + L"lmxold64.dll", "old", 1000);
  world.RemoveFile(kSystem + L"lmxmon64.dll");
  fake::FailWhen<&Platform::MoveFileExW>(
      [&](LPCWSTR, LPCWSTR to, DWORD) {
        return to && fake::World::Lower(to) == fake::World::Lower(kSystem + L"lmxmon64.dll");
      },
      ERROR_DISK_FULL);
  fake::Set<&Platform::AddMonitorW>([&](LPWSTR, DWORD, LPBYTE data) {
    auto* info = reinterpret_cast<MONITOR_INFO_2W*>(data);
    world.monitors.push_back({info->pName, info->pEnvironment, info->pDLLName});
    return TRUE;
  });
  EXPECT_EQ(Install(), kExitErrors);
  std::vector<std::wstring> log = ShownLog();
  const std::wstring block = L"      >CopyFile lmxmon64.dll to C:\\windows\\system32\\ [1])";
  EXPECT_EQ(std::count(log.begin(), log.end(), block), 1);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::wstring& line) {
                            return line.find(L"Error(9): Cant't open destination file: "
                                             L"C:\\windows\\system32\\lmxmon64.dll") !=
                                   std::wstring::npos;
                          }),
            1);
  EXPECT_THAT(log, Not(Contains(L"    >CopyFile lmxmon64.dll to C:\\windows\\system32\\ [1])")));
}

TEST_F(ComponentCheckTest, DestinationThatCannotTakeTheCopiesStopsTheRun) {
  const std::wstring store = kDriverDir + L"3\\";
  auto under = [](const std::wstring& folder, LPCWSTR path) {
    return fake::World::Lower(path).rfind(fake::World::Lower(folder), 0) == 0;
  };
  int fault = -1;
  // A read-only driver directory; a full version folder, or system directory.
  fake::FailWhen<&Platform::CreateFileW>(
      [&](LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
        return fault == 2 && disposition == CREATE_ALWAYS && under(kDriverDir, path);
      },
      ERROR_WRITE_PROTECT);
  std::set<HANDLE> inStore;
  fake::Wrap<&Platform::CreateFileW>([&](auto& previous, LPCWSTR path, auto... a) {
    HANDLE file = previous(path, a...);
    if ((fault == 3 && under(store, path)) || (fault == 4 && under(kSystem + L"lmxmon", path)))
      inStore.insert(file);
    return file;
  });
  fake::FailWhen<&Platform::WriteFile>([&](HANDLE file, auto...) { return inStore.count(file) > 0; },
                                       ERROR_DISK_FULL);
  const struct {
    std::wstring planted;  // a leftover in the way, held or mapped by another program
    bool mapped;
    std::wstring destination;
    DWORD error;
  } cases[] = {
      {kDriverDir + L"lmxdrv64.dll", true, kDriverDir + L"lmxdrv64.dll", ERROR_SHARING_VIOLATION},
      {kDriverDir + L"lmxui64.dll.tmp", false, kDriverDir + L"lmxui64.dll", ERROR_SHARING_VIOLATION},
      {L"", false, kDriverDir + L"lmxdrv64.dll", ERROR_WRITE_PROTECT},
      {L"", false, store + L"lmxdrv64.dll", ERROR_DISK_FULL},
      {L"", false, kSystem + L"lmxmon64.dll", ERROR_DISK_FULL},
  };
  for (fault = 0; fault < 5; ++fault) {
    // The last one with an old monitor, whose library the run replaces.
    if (fault == 4) world.AddFile(kSystem + L"lmxmon64.dll", "old", 1000);
    const auto& c = cases[fault];
    SCOPED_TRACE(c.destination);
    if (!c.planted.empty()) {
      world.AddFile(c.planted, "left");
      world.FindFile(c.planted)->mapped = c.mapped;
      world.FindFile(c.planted)->lockedForever = !c.mapped;
    }
    fake::Calls().clear();
    world.dialogs.clear();
    ExpectStoppedUnchanged({L"Error(9): Cant't open destination file: " + c.destination + L" - (" +
                            testutil::SystemText(c.error) + L")"});
    if (!c.planted.empty()) world.RemoveFile(c.planted);
  }
  fault = -1;
  world.dialogs.clear();
  EXPECT_EQ(Install(), kExitInstalled);
  ExpectCarriedWhole();
}

// Some closes leave an error of their own behind, even when they succeed: the
// scratch file closed on the way out still leaves the full folder's error in
// the line.
TEST_F(ComponentCheckTest, AFullFolderIsNamedWhateverTheCloseLeavesBehind) {
  std::set<HANDLE> scratch;
  fake::Wrap<&Platform::CreateFileW>([&](auto& previous, LPCWSTR path, DWORD access, DWORD share,
                                         LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                         DWORD flags, HANDLE from) {
    HANDLE file = previous(path, access, share, security, disposition, flags, from);
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) scratch.insert(file);
    return file;
  });
  fake::FailWhen<&Platform::WriteFile>([&](HANDLE file, auto...) { return scratch.count(file) > 0; },
                                       ERROR_DISK_FULL);
  fake::Wrap<&Platform::CloseHandle>([](auto& previous, HANDLE handle) {
    BOOL closed = previous(handle);
    ::SetLastError(ERROR_INVALID_HANDLE);
    return closed;
  });
  ExpectStoppedUnchanged({L"Error(9): Cant't open destination file: " + kDriverDir +
                          L"lmxdrv64.dll - (" + testutil::SystemText(ERROR_DISK_FULL) + L")"});
}

TEST_F(ComponentCheckTest, CopiesCutOffEarlierGoWithTheNextInstallOrUninstall) {
  for (int command : {kExitInstalled, kExitUninstalled}) {
    for (const std::wstring& path : {kDriverDir + L"lmxui64.dll.tmp", kSystem + L"lmxmon64.dll.tmp"})
      world.AddFile(path, "part");
    EXPECT_EQ(testutil::RunCommand({command == kExitInstalled ? L"install" : L"uninstall"}), command);
    EXPECT_FALSE(world.HasFile(kDriverDir + L"lmxui64.dll.tmp"));
    EXPECT_FALSE(world.HasFile(kSystem + L"lmxmon64.dll.tmp"));
  }
}

}  // namespace

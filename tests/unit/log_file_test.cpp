// The log file of every install and uninstall run, on the whole-machine
// fake: where it goes, what it holds, that no name prepared in advance is
// written through, the folder check, the ten kept; and the end of a run's
// log: files that could not be handed to Windows (error 19) and the line
// that says how many wait for the restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dispatch.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

const std::wstring kLogs = L"C:\\ProgramData\\Loomscribe\\Logs";
const std::wstring kMonitorPath = L"C:\\windows\\system32\\lmxmon64.dll";

class LogFileTest : public ::testing::Test {
 protected:
  int Dispatch(const wchar_t* word) {
    return testutil::RunCommand({word});
  }
  std::vector<std::wstring> LogFiles() { return world.FilesIn(kLogs); }
  std::wstring NewestLog() {
    std::vector<std::wstring> files = LogFiles();
    return files.empty() ? L"" : world.TextOf(kLogs + L"\\" + files.back());
  }
  // A machine where uninstalling leaves the monitor library for the restart.
  void HeldMonitor() {
    world.InstallProduct();
    world.monitorStaysLoadedAfterDelete = true;
    world.FindFile(kMonitorPath)->lockedForever = true;
  }
  fake::FakePlatform os;
  fake::World world;
};

TEST_F(LogFileTest, EveryRunLeavesTheWindowsTitleAndWholeLogInANewFile) {
  world.shiftDown = true;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  ASSERT_EQ(world.dialogs.size(), 1u);
  std::vector<std::wstring> files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_THAT(std::string(files[0].begin(), files[0].end()), ::testing::MatchesRegex("install-20261207-1105\\d\\d-\\d\\d\\d\\.log"));
  EXPECT_EQ(NewestLog(), L"\xFEFF" + world.dialogs[0].title + L"\r\n" + world.dialogs[0].text);
  EXPECT_EQ(world.dialogs[0].title, L"Loomscribe build 2070- Install log.");

  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  files = LogFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_THAT(files[1], StartsWith(L"uninstall-"));
  EXPECT_EQ(NewestLog(), L"\xFEFF" + world.dialogs[1].title + L"\r\n" + world.dialogs[1].text);

  // The folders carry the protected list, owned by Administrators.
  const std::wstring list = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";
  EXPECT_EQ(world.directories[L"c:\\programdata\\loomscribe"].sddl, list);
  EXPECT_EQ(world.directories[L"c:\\programdata\\loomscribe\\logs"].sddl, list);
}

TEST_F(LogFileTest, AWindowThatCannotBeShownLeavesTheFileAsTheOnlyCopy) {
  world.RemoveFile(fake::WorldModuleDirectory() + L"lmxhelp.chm");
  world.interactiveStation = false;
  EXPECT_EQ(Dispatch(L"install"), kExitErrors);
  EXPECT_TRUE(world.dialogs.empty());
  std::wstring text = NewestLog();
  EXPECT_THAT(text, StartsWith(L"\xFEFFLoomscribe build 2070- Install error log!\r\nLoomscribe 2070\r\n"));
  EXPECT_THAT(text, HasSubstr(L"Error(10): Cant't open source file: lmxhelp.chm"));
  EXPECT_THAT(text, HasSubstr(L">AddPrinter(Loomscribe)"));
  EXPECT_EQ(fake::CountCalls("GetTempPathW"), 0);

  // The dialog fails on the interactive station (no display): the same.
  world.interactiveStation = true;
  fake::FailFrom<&Platform::DialogBoxParamW>(1, ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(Dispatch(L"install"), kExitErrors);
  EXPECT_EQ(LogFiles().size(), 2u);
  EXPECT_THAT(NewestLog(), HasSubstr(L"Error(10): Cant't open source file: lmxhelp.chm"));
}

TEST_F(LogFileTest, OneRunKeepsItsOwnLogAndTheTenNewestOfAnyBuildAndNothingElse) {
  // 500 logs of an older build, three dated after this run (a clock set back
  // since), a file named like a log that is none, a link, and another file.
  auto add = [&](const std::wstring& name, const std::wstring& text, uint64_t when) {
    std::wstring path = kLogs + L"\\" + name;
    world.AddFile(path, std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
    world.FindFile(path)->created = when;
  };
  for (int i = 0; i < 500; ++i)
    add(L"install-2025" + std::to_wstring(100000 + i) + L".log",
        L"\xFEFFLoomscribe build 1998- Install log.\r\nLoomscribe 1998\r\n", 100 + i);
  for (int i = 0; i < 3; ++i)
    add(L"uninstall-2030-" + std::to_wstring(i) + L".log",
        L"\xFEFFLoomscribe build 2070- Install error log!\r\n", 1000000 + i);
  add(L"install-1999.log", L"not a log", 1);
  add(L"uninstall-1999-link.log", L"\xFEFFLoomscribe build 2070- Install log.", 2);
  world.FindFile(kLogs + L"\\uninstall-1999-link.log")->reparsePoint = true;
  add(L"notes.txt", L"kept", 3);
  world.fileClock = 5000;
  world.directories[L"c:\\programdata\\loomscribe"].sddl = L"O:SYD:P(A;OICI;FA;;;SY)";
  world.directories[L"c:\\programdata\\loomscribe\\logs"].sddl = L"O:SYD:P(A;OICI;FA;;;SY)";

  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  std::vector<std::wstring> expected = {L"install-1999.log", L"uninstall-1999-link.log",
                                        L"notes.txt"};
  for (int i = 491; i < 500; ++i)
    expected.push_back(L"install-2025" + std::to_wstring(100000 + i) + L".log");
  std::vector<std::wstring> left = LogFiles();
  ASSERT_EQ(left.size(), expected.size() + 1);
  EXPECT_THAT(left.back(), StartsWith(L"install-2026"));  // this run's own
  left.pop_back();
  EXPECT_EQ(left, expected);
}

TEST_F(LogFileTest, WhateverStandsAtTheNameIsNeverWritten) {
  // The clock is fixed, so the name of the next file is known in advance.
  fake::Set<&Platform::GetLocalTime>([](LPSYSTEMTIME t) {
    *t = SYSTEMTIME{2026, 12, 1, 7, 11, 5, 12, 123};
  });
  world.directories[L"c:\\programdata\\loomscribe"].sddl = L"O:SYD:P(A;OICI;FA;;;SY)";
  world.directories[L"c:\\programdata\\loomscribe\\logs"].sddl = L"O:SYD:P(A;OICI;FA;;;SY)";
  const std::wstring planted = kLogs + L"\\uninstall-20261207-110512-123.log";
  world.AddFile(planted, "link to a system file");
  world.FindFile(planted)->reparsePoint = true;
  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  EXPECT_EQ(world.FindFile(planted)->bytes, "link to a system file");
  EXPECT_THAT(world.TextOf(kLogs + L"\\uninstall-20261207-110512-123-2.log"),
              StartsWith(L"\xFEFFLoomscribe build 2070- Install log.\r\n"));

  // A file CREATE_NEW made that turns out to have a second name (a race)
  // is left as it is, unwritten.
  fake::Wrap<&Platform::GetFileInformationByHandle>(
      [](auto& info, HANDLE h, LPBY_HANDLE_FILE_INFORMATION i) -> BOOL {
        BOOL ok = info(h, i);
        if (ok && !(i->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) i->nNumberOfLinks = 2;
        return ok;
      });
  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  const std::wstring raced = kLogs + L"\\uninstall-20261207-110512-123-3.log";
  ASSERT_TRUE(world.HasFile(raced));
  EXPECT_EQ(world.FindFile(raced)->bytes, "");
}

TEST_F(LogFileTest, AFolderSomeoneElseMadeIsLeftAsItIsAndTheRunSaysWhy) {
  struct Case {
    const char* what;
    std::wstring product, logs;  // empty: not there before the run
    bool productIsLink, logsIsLink;
    const wchar_t* why;  // null: the log file is written
  };
  const std::wstring ours = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  const std::wstring user = L"O:S-1-5-21-9-9-9-1001D:(A;OICI;FA;;;S-1-5-21-9-9-9-1001)";
  const Case cases[] = {
      {"neither there yet", L"", L"", false, false, nullptr},
      {"protected, owned by SYSTEM", ours, L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)",
       false, false, nullptr},
      {"owned by the program's own account", ours,
       L"O:S-1-5-21-1-2-3-500D:P(A;OICI;FA;;;S-1-5-21-1-2-3-500)", false, false, nullptr},
      {"a creator-owner entry", ours, L"O:BAD:P(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)", false, false,
       nullptr},
      {"a user made the product folder first", user, L"", false, false,
       L"C:\\ProgramData\\Loomscribe is left as it is, because it belongs to another account"},
      {"a user made it, with Logs inside", user, ours, false, false,
       L"C:\\ProgramData\\Loomscribe is left as it is, because it belongs to another account"},
      {"Logs owned by another user", ours, user, false, false,
       L"C:\\ProgramData\\Loomscribe\\Logs is left as it is, because it belongs to another account"},
      {"users may add files", ours, L"O:BAD:P(A;OICI;FA;;;BA)(A;CI;0x100116;;;BU)", false, false,
       L"C:\\ProgramData\\Loomscribe\\Logs is left as it is, because others may write to it"},
      {"authenticated users may read and add files", ours,
       L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x1200ab;;;AU)", false, false,
       L"C:\\ProgramData\\Loomscribe\\Logs is left as it is, because others may write to it"},
      {"users may write", ours, L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;GW;;;BU)", false, false,
       L"C:\\ProgramData\\Loomscribe\\Logs is left as it is, because others may write to it"},
      {"users get it through inheritance", ours, L"O:BAD:(A;OICIIO;0x100116;;;BU)(A;;FA;;;BA)",
       false, false,
       L"C:\\ProgramData\\Loomscribe\\Logs is left as it is, because others may write to it"},
      {"no access list at all", L"O:BA", ours, false, false,
       L"C:\\ProgramData\\Loomscribe is left as it is, because others may write to it"},
      {"Logs is a link", ours, ours, false, true,
       L"C:\\ProgramData\\Loomscribe\\Logs is left as it is, because it is a link"},
      {"the product folder is a link", ours, ours, true, false,
       L"C:\\ProgramData\\Loomscribe is left as it is, because it is a link"},
  };
  world.shiftDown = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    world.files.erase(world.files.lower_bound(L"c:\\programdata\\loomscribe\\"),
                      world.files.upper_bound(L"c:\\programdata\\loomscribe\\\xFFFF"));
    world.directories.erase(L"c:\\programdata\\loomscribe");
    world.directories.erase(L"c:\\programdata\\loomscribe\\logs");
    if (!c.product.empty())
      world.directories[L"c:\\programdata\\loomscribe"] = {c.product, c.productIsLink};
    if (!c.logs.empty())
      world.directories[L"c:\\programdata\\loomscribe\\logs"] = {c.logs, c.logsIsLink};
    const auto before = world.directories;
    world.dialogs.clear();
    DWORD start = fake::TheClock().now;
    EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
    EXPECT_LT(fake::TheClock().now - start, 5000u);  // the lock does not live there
    ASSERT_EQ(world.dialogs.size(), 1u);
    std::vector<std::wstring> lines = testutil::SplitLines(world.dialogs[0].text);
    if (!c.why) {
      EXPECT_EQ(LogFiles().size(), 1u);
      EXPECT_THAT(lines, Not(Contains(HasSubstr(L"No log file"))));
      continue;
    }
    EXPECT_TRUE(world.files.lower_bound(L"c:\\programdata\\loomscribe\\") ==
                world.files.upper_bound(L"c:\\programdata\\loomscribe\\\xFFFF"));
    // Nothing made, taken over or changed there.
    EXPECT_EQ(world.directories.size(), before.size());
    for (const auto& d : before) {
      EXPECT_EQ(world.directories[d.first].sddl, d.second.sddl);
      EXPECT_EQ(world.directories[d.first].reparsePoint, d.second.reparsePoint);
    }
    EXPECT_EQ(lines.back(), L"No log file written: " + std::wstring(c.why));
    EXPECT_EQ(world.dialogs[0].title, L"Loomscribe build 2070- Install log.");
  }
}

TEST_F(LogFileTest, StatusCommandsWriteNoLog) {
  for (const wchar_t* word : {L"onChkDrv", L"onInit", L"def.set", L"removetray", L"other"})
    Dispatch(word);
  EXPECT_FALSE(world.directories.count(L"c:\\programdata\\loomscribe"));
  EXPECT_EQ(fake::CountCalls("NtCreateFile"), 0);
}

TEST_F(LogFileTest, FilesLeftForTheRestartInARunWithErrorsAreCountedInTheLastLine) {
  HeldMonitor();
  fake::FailNth<&Platform::OpenSCManagerW>(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Dispatch(L"un"), kExitErrors);
  ASSERT_EQ(world.bootDeletes.size(), 1u);
  ASSERT_EQ(world.dialogs.size(), 1u);
  std::vector<std::wstring> log = testutil::SplitLines(world.dialogs[0].text);
  EXPECT_EQ(log.back(), L"1 file(s) wait for the next restart of Windows");
  EXPECT_THAT(NewestLog(), ::testing::EndsWith(L"\r\n1 file(s) wait for the next restart of Windows\r\n"));
}

TEST_F(LogFileTest, NoRestartLineWithoutScheduledFilesOrWithoutErrors) {
  // An error, nothing scheduled.
  world.RemoveFile(fake::WorldModuleDirectory() + L"lmxhelp.chm");
  EXPECT_EQ(Dispatch(L"install"), kExitErrors);
  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_THAT(testutil::SplitLines(world.dialogs[0].text), Not(Contains(HasSubstr(L"wait for the next restart"))));

  // Scheduled, no error: 101, and the log as it always was.
  HeldMonitor();
  world.dialogs.clear();
  world.shiftDown = true;
  EXPECT_EQ(Dispatch(L"un"), kExitRestartNeeded);
  ASSERT_EQ(world.dialogs.size(), 1u);
  std::vector<std::wstring> log = testutil::SplitLines(world.dialogs[0].text);
  EXPECT_THAT(log, Not(Contains(HasSubstr(L"wait for the next restart"))));
  EXPECT_EQ(log.back(), L"DeleteFile-try");
}

TEST_F(LogFileTest, AFileWindowsWillNotScheduleIsError19) {
  HeldMonitor();
  fake::FailFrom<&Platform::MoveFileExW>(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Dispatch(L"un"), kExitErrors);
  EXPECT_TRUE(world.bootDeletes.empty());
  ASSERT_EQ(world.dialogs.size(), 1u);
  std::vector<std::wstring> log = testutil::SplitLines(world.dialogs[0].text);
  EXPECT_EQ(log.back(), L"Error(19): Can`t delete or schedule file: C:\\windows\\system32\\lmxmon64.dll - (" +
                            testutil::SystemText(ERROR_ACCESS_DENIED) + L")");
}

}  // namespace

// install.exe on Wine, as separate processes: two runs started together
// take turns (the machine ends as the second run leaves it), and every run
// leaves its log file in the protected ProgramData folder, also when no
// window can be shown; ten are kept, and a link planted at the name a run
// will use is never written through.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

using namespace productrun;

const wchar_t kLogs[] = L"C:\\ProgramData\\Loomscribe\\Logs";

// The program's log files, by name.
std::vector<std::wstring> LogFiles() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((std::wstring(kLogs) + L"\\*.log").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::wstring> NewFiles(const std::vector<std::wstring>& before) {
  std::vector<std::wstring> out;
  for (const std::wstring& name : LogFiles())
    if (std::find(before.begin(), before.end(), name) == before.end()) out.push_back(name);
  return out;
}

// The time part of a log file's name ("YYYYMMDD-HHMMSS-mmm").
std::wstring TimeOf(const std::wstring& name) {
  size_t dash = name.find(L'-');
  return dash == std::wstring::npos ? name : name.substr(dash + 1, 19);
}

DWORD RunHostTool(const std::wstring& line);
std::string UnixPath(const std::wstring& path);

bool ProductInstalled() {
  int printers = 0;
  for (const auto& p : winespool::Printers())
    if (p.driver == winespool::kDriver) ++printers;
  return winespool::Contains(winespool::MonitorNames(), winespool::kPort) &&
         winespool::Contains(winespool::DriverNames(), winespool::kDriver) && printers == 1 &&
         RunValueExists();
}

bool NothingInstalled() {
  for (const auto& p : winespool::Printers())
    if (p.driver == winespool::kDriver || p.port == winespool::kPort) return false;
  return !winespool::Contains(winespool::MonitorNames(), winespool::kPort) &&
         !winespool::Contains(winespool::DriverNames(), winespool::kDriver) && !RunValueExists();
}

class RunLockLogSystemTest : public ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    product = StageProduct(L"run-lock-log");
    exe = product + L"\\x64\\install.exe";
  }
  std::wstring product, exe;
};

TEST_F(RunLockLogSystemTest, InstallAndUninstallStartedTogetherTakeTurns) {
  ASSERT_EQ(RunInstall(product, L"install"), 1u);
  for (bool installFirst : {true, false}) {
    for (DWORD apart : {0u, 60u, 200u}) {
      SCOPED_TRACE((installFirst ? "install first, " : "uninstall first, ") +
                   std::to_string(apart) + " ms apart");
      std::vector<std::wstring> before = LogFiles();
      const wchar_t* first = installFirst ? L"install" : L"uninstall";
      const wchar_t* second = installFirst ? L"uninstall" : L"install";
      Process a, b;
      ASSERT_TRUE(Start(L"\"" + exe + L"\" " + first, a));
      if (apart) ::Sleep(apart);
      ASSERT_TRUE(Start(L"\"" + exe + L"\" " + second, b));
      DWORD codeA = WaitClosingLogWindows(a, 240000), codeB = WaitClosingLogWindows(b, 240000);
      EXPECT_EQ(codeA, installFirst ? 1u : 2u);
      EXPECT_EQ(codeB, installFirst ? 2u : 1u);
      // The run that ended later went second: the machine is as it leaves it.
      std::vector<std::wstring> made = NewFiles(before);
      ASSERT_EQ(made.size(), 2u);
      std::sort(made.begin(), made.end(),
                [](const std::wstring& x, const std::wstring& y) { return TimeOf(x) < TimeOf(y); });
      bool installWentSecond = made[1].rfind(L"install-", 0) == 0;
      if (installWentSecond) EXPECT_TRUE(ProductInstalled());
      else EXPECT_TRUE(NothingInstalled());
    }
  }
}

TEST_F(RunLockLogSystemTest, EveryRunLeavesItsLogAlsoWhenNoWindowCanBeShown) {
  // A counted error (the help file is missing) and no display for the window:
  // install.exe started by Wine from a shell environment without DISPLAY.
  std::wstring help = product + L"\\x64\\lmxhelp.chm";
  ASSERT_TRUE(::DeleteFileW(help.c_str()));
  std::vector<std::wstring> before = LogFiles();
  // A clean environment: the variables Wine sets for its own processes would
  // confuse a second loader started from one of them.
  wchar_t prefix[1024] = {};
  ASSERT_TRUE(::GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024));
  EXPECT_EQ(RunHostTool(L"timeout 120 env -i HOME=/root PATH=/usr/bin:/bin WINEDEBUG=-all "
                        L"WINEPREFIX=" + std::wstring(prefix) + L" wine " +
                        testutil::Widen(UnixPath(exe)) + L" install"),
            100u);
  std::vector<std::wstring> made = NewFiles(before);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].rfind(L"install-", 0), 0u);
  std::wstring text = testutil::ReadFileText(std::wstring(kLogs) + L"\\" + made[0]);
  EXPECT_EQ(text.rfind(L"\xFEFFLoomscribe build 2070- Install error log!\r\nLoomscribe 2070\r\n"
                       L">Check Spooler\r\n", 0),
            0u)
      << text;
  EXPECT_THAT(text, ::testing::HasSubstr(L"Error(10): Cant't open source file: lmxhelp.chm"));
  EXPECT_THAT(text, ::testing::HasSubstr(L"    >AddPrinter(Loomscribe)\r\n"));
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");

  // An error-free run leaves one too.
  before = LogFiles();
  EXPECT_EQ(RunInstall(product, L"uninstall"), 2u);
  made = NewFiles(before);
  ASSERT_EQ(made.size(), 1u);
  text = testutil::ReadFileText(std::wstring(kLogs) + L"\\" + made[0]);
  EXPECT_EQ(text.rfind(L"\xFEFFLoomscribe build 2070- Install log.\r\nLoomscribe 2070\r\n", 0), 0u)
      << text;
  EXPECT_THAT(text, ::testing::HasSubstr(L">UnInstall\r\n"));
}

TEST_F(RunLockLogSystemTest, ElevenRunsLeaveTheNewestTen) {
  std::vector<std::wstring> made;
  for (int run = 0; run < 11; ++run) {
    std::vector<std::wstring> before = LogFiles();
    EXPECT_EQ(RunInstall(product, L"uninstall"), 2u);
    std::vector<std::wstring> added = NewFiles(before);
    ASSERT_EQ(added.size(), 1u);
    made.push_back(added[0]);
  }
  std::vector<std::wstring> left = LogFiles();
  std::vector<std::wstring> newest(made.end() - 10, made.end());
  std::sort(newest.begin(), newest.end());
  EXPECT_EQ(left, newest);
}

// Unix paths: links are planted with the host's own tools, which Wine starts
// like any program.
std::string UnixPath(const std::wstring& path) {
  using Fn = char*(CDECL*)(LPCWSTR);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!fn) return "";
  char* unix = fn(path.c_str());
  std::string out = unix ? unix : "";
  if (unix) ::HeapFree(::GetProcessHeap(), 0, unix);
  return out;
}

// Runs a shell command on the host and returns its exit status. Wine starts
// host programs but cannot wait for them, so the shell writes its status
// into a marker file that is polled.
DWORD RunHostTool(const std::wstring& command) {
  std::wstring marker = testutil::ScratchDirectory(L"host-tool") + L"\\status";
  std::wstring line = L"Z:\\bin\\sh -c \"" + command + L"; echo $? > " +
                      testutil::Widen(UnixPath(marker)) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
    ADD_FAILURE() << "cannot start " << line << ": " << ::GetLastError();
    return 0xFFFFFFFF;
  }
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);
  for (int i = 0; i < 2400; ++i, ::Sleep(100)) {
    std::string status = testutil::ReadFileBytes(marker);
    if (!status.empty() && status.back() == '\n') return static_cast<DWORD>(atoi(status.c_str()));
  }
  ADD_FAILURE() << "did not end: " << line;
  return 0xFFFFFFFF;
}

TEST_F(RunLockLogSystemTest, ALinkPlantedAtTheNextNameIsNotWrittenThrough) {
  // The logs folder exists after any run.
  ASSERT_EQ(RunInstall(product, L"uninstall"), 2u);
  std::wstring scratch = testutil::ScratchDirectory(L"planted-links");
  // A link at every name an uninstall can take in the next 20 seconds, each
  // to an empty file of its own in `targets`. bash, coreutils and findutils
  // are in every Debian root; ln and touch take the names in batches.
  std::wstring script = scratch + L"\\plant.sh";
  ASSERT_TRUE(testutil::WriteFileBytes(
      script,
      "folder=$1 targets=$2 mode=$3\n"
      "if [ \"$mode\" = clean ]; then\n"
      "  find \"$folder\" -maxdepth 1 -type l -delete\n"
      "  written=$(find \"$targets\" -type f ! -empty)\n"
      "  rm -rf \"$targets\"\n"
      "  [ -z \"$written\" ] || exit 3\n"
      "  exit 0\n"
      "fi\n"
      "rm -rf \"$targets\" && mkdir -p \"$targets\" || exit 1\n"
      "start=$(date +%s%3N)\n"
      "for ((ms = start; ms < start + 20000; ms++)); do\n"
      "  printf '%s/uninstall-%(%Y%m%d-%H%M%S)T-%03d.log\\0' \"$targets\" $((ms / 1000)) "
      "$((ms % 1000))\n"
      "done >\"$targets.names\"\n"
      "xargs -0 touch <\"$targets.names\" || exit 1\n"
      "xargs -0 ln -s -t \"$folder\" <\"$targets.names\" 2>/dev/null\n"
      "exit 0\n"));
  std::string folder = UnixPath(kLogs), targets = UnixPath(scratch + L"\\targets"),
              code = UnixPath(script);
  ASSERT_FALSE(folder.empty());
  std::wstring plant = L"/bin/bash " + testutil::Widen(code) + L" " + testutil::Widen(folder) +
                       L" " + testutil::Widen(targets);
  ASSERT_EQ(RunHostTool(plant + L" plant"), 0u);
  size_t links = LogFiles().size();
  ASSERT_GT(links, 10000u);

  std::vector<std::wstring> before = LogFiles();
  EXPECT_EQ(RunInstall(product, L"uninstall"), 2u);
  // Cleared first, so an assertion below cannot leave the links behind; 3
  // when a file a link points to was written.
  EXPECT_EQ(RunHostTool(plant + L" clean"), 0u);
  // The run's file took the next free name, beside the planted link.
  std::vector<std::wstring> made = NewFiles(before);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].substr(made[0].size() - 6), L"-2.log");
  std::wstring text = testutil::ReadFileText(std::wstring(kLogs) + L"\\" + made[0]);
  EXPECT_EQ(text.rfind(L"\xFEFFLoomscribe build 2070- Install log.\r\n", 0), 0u);
}

}  // namespace

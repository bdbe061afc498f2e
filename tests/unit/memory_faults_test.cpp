// Whole runs in which memory cannot be had at one moment: a text block of
// the heap (the log, a path), a list node of the global heap (a pending
// deletion, a saved printer), or the block of a spooler enumeration. The run
// must not crash, must end with an exit code that tells the truth, and what
// comes later must not depend on the lost line or entry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::Eq;
using ::testing::UnorderedElementsAre;

namespace {

using fake::World;

const std::wstring kStagedDir = L"C:\\windows\\system32\\spool\\drivers\\x64\\";

// Installs the fake seam and the world for one run; can be renewed in a loop.
struct Machine {
  Machine() {
    world.InstallProduct(1000);
    fake::WorldPrinter& office = world.AddProductPrinter(L"Office", "s1");
    office.comment = L"second floor";
    office.location = L"room 12";
    fake::WorldPrinter& lab = world.AddProductPrinter(L"Lab", "s2");
    lab.location = L"basement";
    world.defaultPrinter = L"Office";
    world.shiftDown = true;  // every run shows its log
  }
  int Run(const wchar_t* word) {
    std::vector<wchar_t*> argv = {const_cast<wchar_t*>(L"install.exe"),
                                  const_cast<wchar_t*>(word)};
    return DispatchArguments(static_cast<int>(argv.size()), argv.data());
  }
  std::vector<std::wstring> Log() const {
    return world.dialogs.empty() ? std::vector<std::wstring>() : testutil::SplitLines(world.dialogs[0].text);
  }
  // What the install left out, empty when the product is complete.
  std::string Missing() {
    std::string missing;
    if (!world.FindMonitor(L"Loomscribe:")) missing += " monitor";
    if (!world.FindDriver(L"Loomscribe printer")) missing += " driver";
    for (const wchar_t* name : {L"Office", L"Lab"})
      if (!world.FindPrinter(name)) missing += " printer";
    if (!world.trayRunning) missing += " tray";
    if (world.defaultPrinter != L"Office") missing += " default";
    return missing;
  }
  bool ProductComplete() { return Missing().empty(); }
  fake::FakePlatform os;
  World world;
};

// Makes the global-heap allocations fail for which `when` answers true; it
// is told the allocation's flags and size and the call made just before.
void FailGlobalAllocWhen(std::function<bool(UINT, SIZE_T, const std::string&)> when) {
  // Memory calls are not recorded: the last call recorded is the one before
  // the allocation.
  fake::FailWhen<&Platform::GlobalAlloc>([when](UINT flags, SIZE_T bytes) {
    const std::vector<std::string>& calls = fake::Calls();
    return when(flags, bytes, calls.empty() ? std::string() : calls.back());
  }, ERROR_NOT_ENOUGH_MEMORY);
}

// The n-th allocation for which `match` holds fails (1-based).
std::function<bool(UINT, SIZE_T, const std::string&)> NthAfter(const std::string& call, int n) {
  auto seen = std::make_shared<int>(0);
  return [call, n, seen](UINT, SIZE_T, const std::string& before) {
    return before == call && ++*seen == n;
  };
}

// --- text blocks: the log and the paths ------------------------------------

// Whether a heap block is the run's log: its text begins with the log's
// first line (the block is a 64-bit count, then the characters).
bool IsLogBlock(LPVOID block) {
  static const wchar_t kFirst[] = L"Loomscribe 2070";
  return block && std::memcmp(static_cast<const char*>(block) + sizeof(uint64_t), kFirst,
                              sizeof(kFirst) - sizeof(wchar_t)) == 0;
}

// Counts the reallocations of the log's block, and makes the n-th fail.
void FailLogGrowth(int n, std::shared_ptr<int> count) {
  fake::Set<&Platform::HeapReAlloc>([n, count](HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    if (IsLogBlock(block) && ++*count == n) {
      ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return static_cast<LPVOID>(nullptr);
    }
    return RealPlatform().HeapReAlloc(heap, flags, block, bytes);
  });
}

bool IsSubsequence(const std::vector<std::wstring>& part, const std::vector<std::wstring>& whole) {
  size_t at = 0;
  for (const std::wstring& line : whole)
    if (at < part.size() && part[at] == line) ++at;
  return at == part.size();
}

TEST(LogBlockFaults, AGrowthOfTheLogThatFailsLosesOneWholeLineAndNothingElse) {
  std::vector<std::wstring> baseline;
  auto growths = std::make_shared<int>(0);
  {
    Machine m;
    FailLogGrowth(0, growths);
    ASSERT_EQ(m.Run(L"install"), kExitInstalled);
    baseline = m.Log();
  }
  ASSERT_GT(*growths, 10);

  for (int n = 1; n <= *growths; ++n) {
    SCOPED_TRACE("log growth " + std::to_string(n));
    std::optional<Machine> m;
    m.emplace();
    FailLogGrowth(n, std::make_shared<int>(0));
    // Losing a line of the log changes nothing else about the run.
    EXPECT_EQ(m->Run(L"install"), kExitInstalled);
    EXPECT_EQ(m->Missing(), "");
    ASSERT_EQ(m->world.dialogs.size(), 1u);
    std::vector<std::wstring> log = m->Log();
    EXPECT_EQ(log.size() + 1, baseline.size());
    EXPECT_TRUE(IsSubsequence(log, baseline)) << ::testing::PrintToString(log);
    const std::wstring& text = m->world.dialogs[0].text;
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    m.reset();
  }
}

// A line as the log writes it: an even indentation of at most 20 blanks,
// then text that begins with something other than a blank.
bool WellFormed(const std::wstring& line) {
  size_t blanks = line.find_first_not_of(L' ');
  return blanks != std::wstring::npos && blanks % 2 == 0 && blanks <= 20 &&
         line.find(L'\r') == std::wstring::npos;
}

class HeapBlockFaults : public ::testing::TestWithParam<bool> {};  // HeapReAlloc, else HeapAlloc

TEST_P(HeapBlockFaults, AnyFailedTextBlockEndsTheRunSensibly) {
  const bool realloc = GetParam();
  auto calls = std::make_shared<int>(0);
  {
    Machine m;
    // Memory calls are not recorded by the seam: count them here.
    if (realloc)
      fake::Set<&Platform::HeapReAlloc>([calls](HANDLE heap, DWORD flags, LPVOID block, SIZE_T n) {
        ++*calls;
        return RealPlatform().HeapReAlloc(heap, flags, block, n);
      });
    else
      fake::Set<&Platform::HeapAlloc>([calls](HANDLE heap, DWORD flags, SIZE_T n) {
        ++*calls;
        return RealPlatform().HeapAlloc(heap, flags, n);
      });
    ASSERT_EQ(m.Run(L"install"), kExitInstalled);
  }
  ASSERT_GT(*calls, 10);

  for (int n = 1; n <= *calls; ++n) {
    SCOPED_TRACE(std::string(realloc ? "HeapReAlloc" : "HeapAlloc") + " call " + std::to_string(n));
    std::optional<Machine> m;
    m.emplace();
    if (realloc)
      fake::FailNth<&Platform::HeapReAlloc>(n, ERROR_NOT_ENOUGH_MEMORY);
    else
      fake::FailNth<&Platform::HeapAlloc>(n, ERROR_NOT_ENOUGH_MEMORY);
    int exit = m->Run(L"install");
    EXPECT_THAT(exit, AnyOf(Eq(kExitInstalled), Eq(kExitErrors)));
    ASSERT_EQ(m->world.dialogs.size(), 1u);
    for (const std::wstring& line : m->Log())
      EXPECT_TRUE(WellFormed(line)) << "[" << line << "]";
    const std::wstring& text = m->world.dialogs[0].text;
    if (!text.empty()) {
      EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    }
    // A run that counts no error installed everything; only the tray
    // program, whose failures are silent by design, may be missing when
    // the memory for its path could not be had.
    if (exit == kExitInstalled) {
      std::string missing = m->Missing();
      EXPECT_TRUE(missing.empty() || missing == " tray") << missing;
    }
    m.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, HeapBlockFaults, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "HeapReAlloc" : "HeapAlloc");
                         });

// --- pending deletions ------------------------------------------------------

// The three staged driver files cannot be deleted by the install: each is
// listed for a deletion at restart. Losing the node (or its path copy) of one
// of them keeps the other two.
struct PendingCase {
  int file;        // 1..3: the n-th file listed
  bool pathCopy;   // the path copy fails, else the node
};

class PendingDeleteNodeFaults : public ::testing::TestWithParam<PendingCase> {};

TEST_P(PendingDeleteNodeFaults, OtherNodesAreStillScheduled) {
  const PendingCase c = GetParam();
  Machine m;
  const std::vector<std::wstring> staged = {kStagedDir + L"lmxdrv64.dll",
                                            kStagedDir + L"lmxui64.dll",
                                            kStagedDir + L"lmxhelp.chm"};
  auto worldDelete = fake::Hook<&Platform::DeleteFileW>::fn;
  fake::Set<&Platform::DeleteFileW>([&](LPCWSTR path) {
    for (const std::wstring& s : staged)
      if (World::Lower(path) == World::Lower(s)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
    return worldDelete(path);
  });
  // AddPendingDelete allocates the node right after the failed DeleteFileW,
  // then the path copy right after the node.
  auto listed = std::make_shared<int>(0);
  auto failNext = std::make_shared<bool>(false);
  FailGlobalAllocWhen([c, listed, failNext](UINT, SIZE_T bytes, const std::string& before) {
    if (*failNext) {
      *failNext = false;
      return true;
    }
    if (before == "DeleteFileW" && bytes == sizeof(PendingDelete) && ++*listed == c.file) {
      if (!c.pathCopy) return true;
      *failNext = true;
    }
    return false;
  });

  int scheduled = 0;
  auto worldMove = fake::Hook<&Platform::MoveFileExW>::fn;
  fake::Set<&Platform::MoveFileExW>([&](LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) ++scheduled;
    return worldMove(from, to, flags);
  });

  EXPECT_EQ(m.Run(L"install"), kExitRestartNeeded);
  std::vector<std::wstring> expected;
  for (size_t i = 0; i < staged.size(); ++i)
    if (static_cast<int>(i) + 1 != c.file) expected.push_back(staged[i]);
  EXPECT_THAT(m.world.bootDeletes, UnorderedElementsAre(expected[0], expected[1]));
  // No empty path was handed to Windows for a node without its path.
  EXPECT_EQ(scheduled, 2);
  EXPECT_TRUE(m.ProductComplete());
}

INSTANTIATE_TEST_SUITE_P(
    Install, PendingDeleteNodeFaults,
    ::testing::Values(PendingCase{1, false}, PendingCase{2, false}, PendingCase{3, false},
                      PendingCase{1, true}, PendingCase{3, true}),
    [](const ::testing::TestParamInfo<PendingCase>& info) {
      return "File" + std::to_string(info.param.file) + (info.param.pathCopy ? "Path" : "Node");
    });

// --- saved printers ---------------------------------------------------------

TEST(SavedPrinterNodeFaults, ALostNodeLosesOnlyItsPrinter) {
  Machine m;
  // The node is allocated right after the "SubKey" value was read.
  auto seen = std::make_shared<int>(0);
  FailGlobalAllocWhen([seen](UINT, SIZE_T bytes, const std::string& before) {
    return before.rfind("GetPrinterData", 0) == 0 && bytes == sizeof(SavedPrinter) &&
           ++*seen == 1;
  });
  int exit = m.Run(L"install");
  EXPECT_THAT(exit, AnyOf(Eq(kExitInstalled), Eq(kExitErrors)));
  EXPECT_EQ(*seen, 2) << "both printers were read";
  // One of the two is carried with its settings; the other is not listed for
  // re-creation, so it is not created again.
  ASSERT_EQ(m.world.printers.size(), 1u);
  const fake::WorldPrinter& kept = m.world.printers[0];
  EXPECT_THAT(kept.name, AnyOf(Eq(L"Office"), Eq(L"Lab")));
  EXPECT_EQ(kept.location, kept.name == L"Office" ? L"room 12" : L"basement");
  EXPECT_EQ(kept.port, L"Loomscribe:");
  EXPECT_NE(m.world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_TRUE(m.world.trayRunning);
}

TEST(SavedPrinterNodeFaults, ALostSubKeyCopyDoesNotCrashTheReCreation) {
  Machine m;
  auto nodes = std::make_shared<int>(0);
  auto failNext = std::make_shared<bool>(false);
  FailGlobalAllocWhen([nodes, failNext](UINT, SIZE_T bytes, const std::string& before) {
    if (*failNext) {
      *failNext = false;
      return true;
    }
    if (before.rfind("GetPrinterData", 0) == 0 && bytes == sizeof(SavedPrinter) && ++*nodes == 1)
      *failNext = true;
    return false;
  });
  int exit = m.Run(L"install");
  EXPECT_THAT(exit, AnyOf(Eq(kExitInstalled), Eq(kExitErrors)));
  // The other printer arrives whole.
  fake::WorldPrinter* office = m.world.FindPrinter(L"Office");
  fake::WorldPrinter* lab = m.world.FindPrinter(L"Lab");
  ASSERT_TRUE(office || lab);
  if (office && lab) {
    // The one without its sub-key text at least has its other settings.
    EXPECT_EQ(office->location, L"room 12");
    EXPECT_EQ(lab->location, L"basement");
  }
}

// --- enumeration blocks -----------------------------------------------------

struct EnumCase {
  const char* name;
  const char* call;  // the enumeration whose block cannot be had
  const wchar_t* word;
  std::function<void(Machine&, int exit)> expect;
  int nth = 1;  // which block after that call (an install looks at the monitors twice)
};

class EnumerationBlockFaults : public ::testing::TestWithParam<EnumCase> {};

TEST_P(EnumerationBlockFaults, RunGoesOnWithAnEmptyList) {
  const EnumCase& c = GetParam();
  Machine m;
  FailGlobalAllocWhen(NthAfter(c.call, c.nth));
  int exit = m.Run(c.word);
  ASSERT_EQ(m.world.dialogs.size(), 1u);
  std::vector<std::wstring> log = m.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], L"Loomscribe 2070");
  c.expect(m, exit);
}

std::string Trim(const std::wstring& line) {
  size_t start = line.find_first_not_of(L' ');
  std::wstring t = start == std::wstring::npos ? L"" : line.substr(start);
  return std::string(t.begin(), t.end());
}

bool LogHas(const Machine& m, const std::string& text) {
  for (const std::wstring& line : m.Log())
    if (Trim(line) == text) return true;
  return false;
}

INSTANTIATE_TEST_SUITE_P(
    Install, EnumerationBlockFaults,
    ::testing::Values(
        // Without the printer snapshot no printer is saved or deleted: the
        // printers stay as they were, with their settings.
        EnumCase{"Printers", "EnumPrintersW", L"install",
                 [](Machine& m, int exit) {
                   EXPECT_THAT(exit, AnyOf(Eq(kExitInstalled), Eq(kExitErrors)));
                   EXPECT_NE(m.world.FindPrinter(L"Office"), nullptr);
                   EXPECT_NE(m.world.FindPrinter(L"Lab"), nullptr);
                   EXPECT_EQ(m.world.FindPrinter(L"Office")->location, L"room 12");
                   EXPECT_NE(m.world.FindDriver(L"Loomscribe printer"), nullptr);
                   EXPECT_TRUE(m.world.trayRunning);
                 }},
        // Without the monitor list the monitor is taken for missing.
        EnumCase{"Monitors", "EnumMonitorsW", L"install",
                 [](Machine& m, int exit) {
                   EXPECT_THAT(exit, AnyOf(Eq(kExitInstalled), Eq(kExitErrors)));
                   EXPECT_TRUE(LogHas(m, "0 Monitors found."));
                   EXPECT_NE(m.world.FindMonitor(L"Loomscribe:"), nullptr);
                   EXPECT_NE(m.world.FindDriver(L"Loomscribe printer"), nullptr);
                   EXPECT_NE(m.world.FindPrinter(L"Office"), nullptr);
                   EXPECT_TRUE(m.world.trayRunning);
                 },
                 2},
        EnumCase{"Drivers", "EnumPrinterDriversW", L"install",
                 [](Machine& m, int exit) {
                   EXPECT_THAT(exit, AnyOf(Eq(kExitInstalled), Eq(kExitErrors)));
                   EXPECT_TRUE(LogHas(m, "0 drivers found"));
                   EXPECT_NE(m.world.FindDriver(L"Loomscribe printer"), nullptr);
                   EXPECT_EQ(m.world.FindPrinter(L"Office")->location, L"room 12");
                   EXPECT_TRUE(m.world.trayRunning);
                 }},
        EnumCase{"UninstallDrivers", "EnumPrinterDriversW", L"uninstall",
                 [](Machine& m, int exit) {
                   // The driver goes unseen (and stays); the printers and
                   // the monitor are removed all the same.
                   EXPECT_THAT(exit, AnyOf(Eq(kExitUninstalled), Eq(kExitErrors)));
                   EXPECT_TRUE(LogHas(m, "0 drivers found"));
                   EXPECT_TRUE(m.world.printers.empty());
                   EXPECT_EQ(m.world.FindMonitor(L"Loomscribe:"), nullptr);
                 }}),
    [](const ::testing::TestParamInfo<EnumCase>& info) { return std::string(info.param.name); });

}  // namespace

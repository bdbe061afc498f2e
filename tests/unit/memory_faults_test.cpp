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

#include "carried_printers.h"
#include "dispatch.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

namespace {

using fake::World;

const std::wstring kStagedDir = L"C:\\windows\\system32\\spool\\drivers\\x64\\";

// Installs the fake seam and the world for one run; can be renewed in a loop.
struct Machine {
  Machine() {
    testmachine::OldProductWithTwoCarriedPrinters(world);
    world.shiftDown = true;  // every run shows its log
  }
  int Run(const wchar_t* word) {
    return testutil::RunCommand({word});
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
  // The product's printers, as "name|port|comment|location|SubKey", in the
  // order the spooler lists them.
  std::vector<std::string> Printers() {
    std::vector<std::string> rows;
    for (const fake::WorldPrinter& p : world.printers) {
      std::string subKey;
      for (const char* key : {"dsuser", ""}) {
        auto data = p.data.find(key);
        if (data == p.data.end()) continue;
        auto value = data->second.find("subkey");
        if (value != data->second.end()) subKey = value->second.bytes.c_str();
      }
      rows.push_back(Narrow(p.name) + "|" + Narrow(p.port) + "|" + Narrow(p.comment) + "|" +
                     Narrow(p.location) + "|" + subKey);
    }
    return rows;
  }
  static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
  // Whether the shown log holds an error line.
  bool LogHasError() const {
    for (const std::wstring& line : Log())
      if (line.find(L"Error(") != std::wstring::npos) return true;
    return false;
  }
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
  fake::FailWhen<&Platform::HeapReAlloc>(
      [n, count](HANDLE, DWORD, LPVOID block, SIZE_T) {
        return IsLogBlock(block) && ++*count == n;
      },
      ERROR_NOT_ENOUGH_MEMORY);
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
    auto count = [calls](auto& previous, auto... a) {
      ++*calls;
      return previous(a...);
    };
    if (realloc)
      fake::Wrap<&Platform::HeapReAlloc>(count);
    else
      fake::Wrap<&Platform::HeapAlloc>(count);
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
    ASSERT_EQ(m->world.dialogs.size(), 1u);
    // The exit code tells the truth: 100 exactly when the log shows an error
    // (a copy that could not get memory for its path, say), else 1.
    EXPECT_EQ(exit, m->LogHasError() ? kExitErrors : kExitInstalled);
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
  fake::FailWhen<&Platform::DeleteFileW>(
      [&](LPCWSTR path) {
        for (const std::wstring& s : staged)
          if (World::Lower(path) == World::Lower(s)) return true;
        return false;
      },
      ERROR_ACCESS_DENIED);
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
  fake::Wrap<&Platform::MoveFileExW>([&](auto& worldMove, LPCWSTR from, LPCWSTR to, DWORD flags) {
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

TEST(SavedPrinterNodeFaults, ALostNodeLosesNoPrinter) {
  Machine m;
  // The node is allocated right after the "SubKey" value was read: Office
  // (read first, and again by the removal) never gets one, Lab does.
  auto seen = std::make_shared<int>(0);
  FailGlobalAllocWhen([seen](UINT, SIZE_T bytes, const std::string& before) {
    return before.rfind("GetPrinterData", 0) == 0 && bytes == sizeof(SavedPrinter) &&
           ++*seen % 2 == 1;
  });
  // Office comes back from its journal entry in the same run, default and
  // all; that it could not be carried the normal way is an error.
  EXPECT_EQ(m.Run(L"install"), kExitErrors);
  EXPECT_THAT(m.Log(), Contains(HasSubstr(L"Error(21): Can`t carry printer 'Office'")));
  EXPECT_THAT(m.Printers(), UnorderedElementsAre("Lab|Loomscribe:|bench|basement|s2",
                                                 "Office|Loomscribe:|second floor|room 12|s1"));
  EXPECT_EQ(m.world.defaultPrinter, L"Office");
  EXPECT_EQ(m.Missing(), "");
}

TEST(SavedPrinterNodeFaults, ALostSubKeyCopyIsMadeGoodFromTheJournal) {
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
  // Office, saved without its sub-key, is created half and completed from
  // its entry; the run says it could not carry it.
  EXPECT_EQ(m.Run(L"install"), kExitErrors);
  EXPECT_THAT(m.Log(), Contains(HasSubstr(L"Error(21): Can`t carry printer 'Office'")));
  EXPECT_THAT(m.Printers(), UnorderedElementsAre("Lab|Loomscribe:|bench|basement|s2",
                                                 "Office|Loomscribe:|second floor|room 12|s1"));
  EXPECT_EQ(m.Missing(), "");
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

bool LogHas(const Machine& m, const std::string& text) {
  if (m.world.dialogs.empty()) return false;
  for (const std::wstring& line : testutil::TrimmedLines(m.world.dialogs[0].text))
    if (line == std::wstring(text.begin(), text.end())) return true;
  return false;
}

// The list was taken for empty, and the install did all its work anyway:
// both printers carried with their settings, nothing missing, exit 1.
void ExpectInstalledWithEmptyList(Machine& m, int exit, const std::string& countLine) {
  EXPECT_EQ(exit, kExitInstalled);
  EXPECT_TRUE(LogHas(m, countLine));
  EXPECT_THAT(m.Printers(), ElementsAre("Lab|Loomscribe:|bench|basement|s2",
                                        "Office|Loomscribe:|second floor|room 12|s1"));
  EXPECT_EQ(m.Missing(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Install, EnumerationBlockFaults,
    ::testing::Values(
        // Without the printer snapshot no printer is saved or deleted: the
        // printers stay as they were, with their settings. Their driver and
        // monitor stay in use, so neither can be replaced (errors 14, 12,
        // 11), and with nothing saved the run adds its one printer.
        EnumCase{"Printers", "EnumPrintersW", L"install",
                 [](Machine& m, int exit) {
                   EXPECT_EQ(exit, kExitErrors);
                   EXPECT_TRUE(LogHas(m, "Error(14): Can`t remove the printer-driver "
                                         "'Loomscribe printer' - ( No Description )"));
                   EXPECT_TRUE(LogHas(m, "Error(12): Can`t remove the port monitor "
                                         "'Loomscribe:' - ( No Description )"));
                   EXPECT_THAT(m.Printers(), ElementsAre("Office|Loomscribe:|second floor|room 12|s1",
                                                         "Lab|Loomscribe:|bench|basement|s2",
                                                         "Loomscribe|Loomscribe:|||"));
                   EXPECT_EQ(m.Missing(), "");
                 }},
        // Without the monitor list the monitor is taken for missing.
        EnumCase{"Monitors", "EnumMonitorsW", L"install",
                 [](Machine& m, int exit) { ExpectInstalledWithEmptyList(m, exit, "0 Monitors found."); },
                 2},
        // The first driver list is the keep's, which then keeps no driver.
        EnumCase{"Drivers", "EnumPrinterDriversW", L"install",
                 [](Machine& m, int exit) { ExpectInstalledWithEmptyList(m, exit, "0 drivers found"); },
                 2},
        EnumCase{"UninstallDrivers", "EnumPrinterDriversW", L"uninstall",
                 [](Machine& m, int exit) {
                   // The driver goes unseen and stays: the uninstall did
                   // not do its work (error 14); the printers and the
                   // monitor are removed all the same.
                   EXPECT_EQ(exit, kExitErrors);
                   EXPECT_TRUE(LogHas(m, "0 drivers found"));
                   EXPECT_THAT(m.Log(), Contains(HasSubstr(L"Error(14): ")));
                   EXPECT_TRUE(m.world.printers.empty());
                   EXPECT_EQ(m.world.FindMonitor(L"Loomscribe:"), nullptr);
                   EXPECT_NE(m.world.FindDriver(L"Loomscribe printer"), nullptr);
                   EXPECT_FALSE(m.world.trayRunning);
                 }}),
    [](const ::testing::TestParamInfo<EnumCase>& info) { return std::string(info.param.name); });

}  // namespace

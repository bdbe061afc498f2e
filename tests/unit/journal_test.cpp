// The journal of carried printers on the whole-machine fake: a re-install cut
// off after any state-changing call leaves nothing that the next install
// cannot make whole; printers moved to "file:" go back when the monitor
// stays; a journal that cannot be written stops the run before it changes
// anything; a tampered journal is survived.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "dispatch.h"
#include "journal/journal_store.h"
#include "platform/platform.h"
#include "sequences/sequences.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kJournal =
    "hklm\\software\\tamarel software kft\\loomscribe\\carriedprinters";
const std::string kMarkers = "hkcu\\software\\tamarel software kft\\loomscribe\\loomscribes\\";
const wchar_t kForeignDriver[] = L"Generic / Text Only";

std::string Wide(const std::wstring& text, bool terminated = true) {
  return std::string(reinterpret_cast<const char*>(text.c_str()),
                     (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

// One entry as the registry holds it: a numbered REG_BINARY value (u32
// layout, kind, flags, tries, SID bytes and the SID, then five counted UTF-16
// texts: name, comment, location, moved port, sub-key), or, as older runs
// wrote it, a numbered sub-key with its values.
struct Decoded {
  uint32_t kind = 0, flags = 0, tries = 0;
  std::string sid;
  std::wstring name, comment, location, moved, subKey;
  bool olderLayout = false;
};

Decoded Decode(const std::string& bytes) {
  Decoded d;
  size_t at = 0;
  auto u32 = [&] {
    uint32_t v = 0;
    if (at + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 4);
    at += 4;
    return v;
  };
  auto text = [&] {
    uint32_t chars = u32();
    std::wstring t(chars, L'\0');
    if (at + chars * 2 <= bytes.size()) std::memcpy(&t[0], bytes.data() + at, chars * 2);
    at += chars * 2;
    return t;
  };
  u32();
  d.kind = u32();
  d.flags = u32();
  d.tries = u32();
  uint32_t sidBytes = u32();
  d.sid = bytes.substr(std::min(at, bytes.size()), sidBytes);
  at += sidBytes;
  d.name = text();
  d.comment = text();
  d.location = text();
  d.moved = text();
  d.subKey = text();
  return d;
}

// The journal's entries, by value (or older key) name.
std::map<std::string, Decoded> Entries(fake::World& world) {
  std::map<std::string, Decoded> out;
  auto key = world.registry.find(kJournal);
  if (key != world.registry.end())
    for (const auto& value : key->second)
      if (value.first != "previous") out[value.first] = Decode(value.second.bytes);
  for (const auto& k : world.registry)
    if (k.first.compare(0, kJournal.size() + 1, kJournal + "\\") == 0) {
      Decoded d;
      d.olderLayout = true;
      d.name = world.RegString(k.first, "Name");
      out[k.first.substr(kJournal.size() + 1)] = d;
    }
  return out;
}

void PutEntry(fake::World& world, const std::string& key,
              std::map<std::string, fake::WorldRegValue> values) {
  world.registry[kJournal];
  world.registry[kJournal + "\\" + key] = std::move(values);
}

// Every value of the registry as "key|name|type|bytes".
std::vector<std::string> Valued(
    const std::map<std::string, std::map<std::string, fake::WorldRegValue>>& registry) {
  std::vector<std::string> out;
  for (const auto& key : registry)
    for (const auto& value : key.second)
      // The kept previous installation's record describes what is there.
      if (value.first != "previous")
        out.push_back(key.first + "|" + value.first + "|" + std::to_string(value.second.type) +
                    "|" + value.second.bytes);
  return out;
}

fake::WorldRegValue Sz(const std::wstring& text) { return {REG_SZ, Wide(text)}; }
fake::WorldRegValue Dword(DWORD value) {
  return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}
fake::WorldRegValue Binary(const std::string& bytes) { return {REG_BINARY, bytes}; }

// A carried printer as an install writes it.
std::map<std::string, fake::WorldRegValue> Carried(const std::wstring& name,
                                                   const std::string& subKey,
                                                   const std::wstring& comment,
                                                   const std::wstring& location, DWORD isDefault) {
  return {{"name", Sz(name)},         {"subkey", Binary(subKey)},
          {"comment", Sz(comment)},   {"location", Sz(location)},
          {"default", Dword(isDefault)}};
}

RunResult Install(fake::World& world) {
  world.shiftDown = true;  // the log is shown; the outcome is not touched
  world.dialogs.clear();
  return RunInstall(nullptr);
}

std::vector<std::wstring> ShownLog(const fake::World& world) {
  return world.dialogs.empty() ? std::vector<std::wstring>() : testutil::SplitLines(world.dialogs.back().text);
}

void AddForeignDriver(fake::World& world) {
  fake::WorldDriver driver;
  driver.name = kForeignDriver;
  driver.environment = L"Windows x64";
  world.drivers.push_back(driver);
}

fake::WorldPrinter& AddForeign(fake::World& world, const std::wstring& name,
                               const std::wstring& port) {
  fake::WorldPrinter printer;
  printer.name = name;
  printer.port = port;
  printer.driver = kForeignDriver;
  world.printers.push_back(printer);
  return world.printers.back();
}

// --- the power-cut sweep ------------------------------------------------------

struct Scene {
  const wchar_t* name;
  const char* subKey;
  const wchar_t* comment;
  const wchar_t* location;
};
const Scene kProductPrinters[] = {
    {L"Office", "s1", L"second floor", L"room 12"},
    {L"Lab", "s2", L"", L"basement"},
    {L"Front desk", "s3", L"reception", L""},
};

// Three product printers (the first the default, each with a per-user
// "deleted" marker), another vendor's printer on "Loomscribe:" and one on the
// pooled "FILE:,Loomscribe:", over a monitor of an unsupported build, so the
// re-install removes it and moves the two to "file:" on the way.
void SetUpScene(fake::World& world, bool libraryHeld, bool productPrinters = true) {
  world.InstallProduct(1000);
  AddForeignDriver(world);
  for (const Scene& p : kProductPrinters) {
    if (!productPrinters) break;
    fake::WorldPrinter& printer = world.AddProductPrinter(p.name, p.subKey);
    printer.comment = p.comment;
    printer.location = p.location;
    world.registry[kMarkers + p.subKey]["deleted"] = Dword(1);
  }
  if (productPrinters) world.defaultPrinter = L"Office";
  AddForeign(world, L"Plotter", L"Loomscribe:");
  AddForeign(world, L"Pool", L"FILE:,Loomscribe:");
  if (libraryHeld) {
    // Someone holds the monitor library: the spooler cannot let go of the
    // monitor, so every deletion fails (error 12).
    world.FindFile(L"C:\\windows\\system32\\lmxmon64.dll")->lockedForever = true;
    fake::FailWhen<&Platform::DeleteMonitorW>(
        [&world](LPWSTR, LPWSTR, LPWSTR) {
          fake::WorldFile* file = world.FindFile(L"C:\\windows\\system32\\lmxmon64.dll");
          return file && file->lockedForever;
        },
        ERROR_BUSY);
  }
}

// What is not as it should be after the install that follows the cut.
std::string Damage(fake::World& world) {
  std::string damage;
  for (const Scene& p : kProductPrinters) {
    std::string name = p.subKey;
    fake::WorldPrinter* printer = world.FindPrinter(p.name);
    if (!printer) {
      damage += " lost:" + name;
      continue;
    }
    std::string subKey = std::string(p.subKey) + '\0';
    if (printer->driver != L"Loomscribe printer" || printer->port != L"Loomscribe:")
      damage += " spooler:" + name;
    if (printer->comment != p.comment || printer->location != p.location)
      damage += " settings:" + name;
    auto plain = printer->data[""].find("subkey");
    auto dsUser = printer->data["dsuser"].find("subkey");
    if (plain == printer->data[""].end() || plain->second.bytes != subKey ||
        dsUser == printer->data["dsuser"].end() || dsUser->second.bytes != subKey)
      damage += " subkey:" + name;
    if (world.FindRegValue(kMarkers + p.subKey, "deleted")) damage += " marker:" + name;
  }
  if (world.defaultPrinter != L"Office") damage += " default";
  fake::WorldPrinter* plotter = world.FindPrinter(L"Plotter");
  fake::WorldPrinter* pool = world.FindPrinter(L"Pool");
  if (!plotter || plotter->port != L"Loomscribe:") damage += " plotter-port";
  if (!pool || pool->port != L"FILE:,Loomscribe:") damage += " pool-port";
  if (world.printers.size() != 5) damage += " printers:" + std::to_string(world.printers.size());
  if (!Entries(world).empty()) damage += " journal-left";
  if (!world.FindMonitor(L"Loomscribe:") || !world.FindDriver(L"Loomscribe printer"))
    damage += " product";
  return damage;
}

// (library held, the machine's registry written lazily at once)
class PowerCutSweep : public ::testing::TestWithParam<std::pair<bool, bool>> {};

TEST_P(PowerCutSweep, EveryCutOfAReinstallIsMadeWholeByTheNextInstall) {
  const bool held = GetParam().first;
  const bool lazy = GetParam().second;
  int total = 0;
  {
    fake::FakePlatform os;
    fake::World world;
    SetUpScene(world, held);
    world.StopAfter(-1);
    Install(world);
    total = world.stateChanges;
    world.PowerOn();
    Install(world);
    ASSERT_EQ(Damage(world), "") << "without any cut";
  }
  ASSERT_GT(total, 40);
  std::printf("re-install of the scene: %d state-changing calls, each a cut point\n", total);
  int failures = 0;
  for (int n = 1; n <= total && failures < 5; ++n) {
    fake::FakePlatform os;
    fake::World world;
    SetUpScene(world, held);
    world.machineRegistryWrittenLazily = lazy;
    world.StopAfter(n);
    Install(world);
    ASSERT_TRUE(world.Stopped()) << n;
    world.PowerOn();
    RunResult result = Install(world);
    std::string damage = Damage(world);
    if (!damage.empty() || result.errorsCounted) {
      ++failures;
      ADD_FAILURE() << "cut after state change " << n << " of " << total << ":" << damage
                    << (result.errorsCounted ? " errors" : "") << "\n"
                    << ::testing::PrintToString(ShownLog(world));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Library, PowerCutSweep,
                         ::testing::Values(std::make_pair(false, false), std::make_pair(true, false),
                                           std::make_pair(false, true), std::make_pair(true, true)),
                         [](const ::testing::TestParamInfo<std::pair<bool, bool>>& info) {
                           return std::string(info.param.first ? "Held" : "Free") +
                                  (info.param.second ? "LazyMachineHive" : "");
                         });

// --- the journal itself ------------------------------------------------------

class JournalTest : public ::testing::Test {
 protected:
  fake::FakePlatform os;
  fake::World world;
};

TEST(JournalOnDisk, EntriesAreFlushedBeforeTheFirstDeletion) {
  // The state changes before the first printer deletion, counted once.
  int before = -1;
  int flushes = -1;
  for (int pass = 0; pass < 2; ++pass) {
    fake::FakePlatform os;
    fake::World world;
    SetUpScene(world, false);
    fake::Wrap<&Platform::DeletePrinter>([&](auto& previous, HANDLE printer) {
      if (pass == 0 && before < 0) {
        before = world.stateChanges;
        flushes = fake::CountCalls("RegFlushKey");
      }
      return previous(printer);
    });
    if (pass == 0) {
      Install(world);
      continue;
    }
    // Cut right after that deletion: the disk holds every entry whole.
    world.StopAfter(before + 1);
    Install(world);
    ASSERT_TRUE(world.Stopped());
    EXPECT_EQ(flushes, 1);
    auto entries = Entries(world);
    // The three carried printers and the two ports the removal will move.
    ASSERT_EQ(entries.size(), 5u);
    std::vector<std::wstring> names, moved;
    for (auto& entry : entries) {
      EXPECT_EQ(world.registry[kJournal][entry.first].type, static_cast<DWORD>(REG_BINARY));
      if (entry.second.kind == 2) {
        moved.push_back(entry.second.name + L"=" + entry.second.moved);
        continue;
      }
      names.push_back(entry.second.name);
      if (names.back() != L"Office") continue;
      EXPECT_EQ(entry.second.subKey, L"s1");
      EXPECT_EQ(entry.second.comment, L"second floor");
      EXPECT_EQ(entry.second.location, L"room 12");
      EXPECT_EQ(entry.second.flags, 1u);
    }
    EXPECT_THAT(moved, ::testing::UnorderedElementsAre(L"Plotter=Loomscribe:",
                                                       L"Pool=FILE:,Loomscribe:"));
    EXPECT_THAT(names, ::testing::UnorderedElementsAre(L"Office", L"Lab", L"Front desk"));
  }
}

TEST_F(JournalTest, ARunWithoutAnyCutLeavesNoEntryAndLogsNothingOfIt) {
  SetUpScene(world, false);
  RunResult result = Install(world);
  EXPECT_FALSE(result.errorsCounted);
  EXPECT_EQ(Damage(world), "");
  for (const std::wstring& line : ShownLog(world)) {
    EXPECT_THAT(line, Not(HasSubstr(L"Journal")));
    EXPECT_THAT(line, Not(HasSubstr(L"Recover")));
  }
}

// An entry an earlier, cut-off run left, written as the account that runs now.
void LeaveEntry(const wchar_t* name, const char* subKey, const wchar_t* comment) {
  journal::Store store;
  ASSERT_TRUE(journal::Open(store, true, 1));
  journal::Entry* entry = journal::NewEntry(store, journal::kCarried, name);
  ASSERT_NE(entry, nullptr);
  std::strcpy(entry->subKey, subKey);
  entry->comment = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, 64 * sizeof(wchar_t)));
  std::wcscpy(entry->comment, comment);
  ASSERT_TRUE(journal::OwnAccount(entry->sid, &entry->sidBytes));
  ASSERT_TRUE(journal::Write(store, *entry) && journal::Flush(store));
  journal::Close(store);
}

// A printer that stands whole keeps its settings: another account's older
// entry of its name does not write its own over them.
TEST_F(JournalTest, AWholePrinterKeepsItsSettingsOverAnotherAccountsOlderEntry) {
  world.InstallProduct();
  world.AddProductPrinter(L"Office", "s1").comment = L"now";
  const std::wstring own = world.accountSid;
  world.accountSid = L"S-1-5-21-9-9-9-1001";
  ASSERT_NO_FATAL_FAILURE(LeaveEntry(L"Office", "s1", L"then"));
  world.accountSid = own;
  EXPECT_FALSE(Install(world).errorsCounted);
  ASSERT_NE(world.FindPrinter(L"Office"), nullptr);
  EXPECT_EQ(world.FindPrinter(L"Office")->comment, L"now");
}

// Other vendors' printers on the product's port and no product printer, the
// monitor's library held (so the spooler is restarted with them on "file:"):
// whatever cut stops the re-install, the next one puts them back.
TEST(ForeignPrintersAlone, EveryCutOfAReinstallLeavesThemOnTheirPorts) {
  int total = 0;
  {
    fake::FakePlatform os;
    fake::World world;
    SetUpScene(world, true, false);
    world.StopAfter(-1);
    Install(world);
    total = world.stateChanges;
  }
  ASSERT_GT(total, 20);
  for (int n = 1; n <= total; ++n) {
    fake::FakePlatform os;
    fake::World world;
    SetUpScene(world, true, false);
    world.StopAfter(n);
    Install(world);
    world.PowerOn();
    Install(world);
    const fake::WorldPrinter* plotter = world.FindPrinter(L"Plotter");
    const fake::WorldPrinter* pool = world.FindPrinter(L"Pool");
    ASSERT_TRUE(plotter && pool) << n;
    EXPECT_EQ(plotter->port + L"|" + pool->port, L"Loomscribe:|FILE:,Loomscribe:")
        << "cut after change " << n;
  }
}

// --- failure to write ----------------------------------------------------------

struct WriteFault {
  const char* name;
  void (*provoke)();
};

class JournalWriteFault : public ::testing::TestWithParam<WriteFault> {
 protected:
  fake::FakePlatform os;
  fake::World world;
};

TEST_P(JournalWriteFault, EndsWith100AfterTheSetUpAndChangesNothing) {
  SetUpScene(world, false);
  auto printersBefore = world.printers;
  auto monitorsBefore = world.monitors.size();
  auto driversBefore = world.drivers.size();
  // The run's log file is written whatever the run does.
  auto countFiles = [this] {
    return std::count_if(world.files.begin(), world.files.end(), [](const auto& f) {
      return f.first.rfind(L"c:\\programdata\\", 0) != 0 &&
             f.first.find(L"\\loomscribe-previous\\") == std::wstring::npos;
    });
  };
  auto filesBefore = countFiles();
  auto registryBefore = world.registry;
  GetParam().provoke();
  world.shiftDown = true;
  EXPECT_EQ(testutil::RunCommand({L"install"}), kExitErrors);

  std::vector<std::wstring> log = ShownLog(world);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], L"Loomscribe 2070");
  EXPECT_THAT(log.back(), HasSubstr(L"Error(20): Can`t write the printer journal - ("));
  EXPECT_THAT(log, Not(Contains(L">ReInstall")));
  // The machine is as it was: printers, spooler, files, tray, registry.
  ASSERT_EQ(world.printers.size(), printersBefore.size());
  for (size_t i = 0; i < printersBefore.size(); ++i) {
    EXPECT_EQ(world.printers[i].name, printersBefore[i].name);
    EXPECT_EQ(world.printers[i].port, printersBefore[i].port);
  }
  EXPECT_EQ(world.defaultPrinter, L"Office");
  EXPECT_EQ(world.monitors.size(), monitorsBefore);
  EXPECT_EQ(world.drivers.size(), driversBefore);
  EXPECT_EQ(countFiles(), filesBefore);
  EXPECT_TRUE(world.trayRunning);
  // The journal's key (and the keys on its way) may have been made, empty.
  EXPECT_TRUE(Entries(world).empty());
  EXPECT_EQ(Valued(world.registry), Valued(registryBefore));
  EXPECT_EQ(fake::CountCalls("DeletePrinter") + fake::CountCalls("PostMessageW"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Journal, JournalWriteFault,
    ::testing::Values(
        WriteFault{"KeyRefused",
                   [] { fake::FailNth<&Platform::RegCreateKeyExW>(1, ERROR_ACCESS_DENIED); }},
        WriteFault{"SecondEntryRefused",
                   [] { fake::FailNth<&Platform::RegSetValueExW>(2, ERROR_ACCESS_DENIED); }},
        WriteFault{"LastEntryRefused",
                   [] { fake::FailNth<&Platform::RegSetValueExW>(5, ERROR_DISK_FULL); }},
        WriteFault{"FlushFails",
                   [] { fake::FailNth<&Platform::RegFlushKey>(1, ERROR_DISK_FULL); }}),
    [](const ::testing::TestParamInfo<WriteFault>& info) { return std::string(info.param.name); });

// --- error 12 ------------------------------------------------------------------

class MonitorStays : public ::testing::TestWithParam<bool> {
 protected:
  fake::FakePlatform os;
  fake::World world;
};

TEST_P(MonitorStays, PrintersMovedToFileGoBackAtOnceWithPooledTextsWhole) {
  const bool install = GetParam();
  world.InstallProduct(1000);
  AddForeignDriver(world);
  world.AddProductPrinter(L"Office", "s1");
  AddForeign(world, L"Plotter", L"Loomscribe:");
  AddForeign(world, L"Pool", L"Loomscribe:,Loomscribe:");
  AddForeign(world, L"Mixed", L"FILE:,Loomscribe:");
  fake::FailFrom<&Platform::DeleteMonitorW>(1, ERROR_BUSY);
  world.shiftDown = true;
  RunResult result = install ? RunInstall(nullptr) : RunUninstall(nullptr);
  EXPECT_TRUE(result.errorsCounted);
  std::vector<std::wstring> log = ShownLog(world);
  auto twelve = std::find_if(log.begin(), log.end(), [](const std::wstring& line) {
    return line.find(L"Error(12)") != std::wstring::npos;
  });
  ASSERT_NE(twelve, log.end());
  ASSERT_GE(log.end() - twelve, 5);
  // Right after the error, at the removal's depth, each moved printer is
  // stored again (the deleted product printer cannot be opened).
  const std::wstring pad = install ? L"        " : L"    ";
  EXPECT_EQ(*(twelve + 1), pad + L"Can't open printer Office");
  EXPECT_EQ(*(twelve + 2), pad + L"SetPrinter(Plotter) - ok");
  EXPECT_EQ(*(twelve + 3), pad + L"SetPrinter(Pool) - ok");
  EXPECT_EQ(*(twelve + 4), pad + L"SetPrinter(Mixed) - ok");
  EXPECT_EQ(world.FindPrinter(L"Plotter")->port, L"Loomscribe:");
  EXPECT_EQ(world.FindPrinter(L"Pool")->port, L"Loomscribe:,Loomscribe:");
  EXPECT_EQ(world.FindPrinter(L"Mixed")->port, L"FILE:,Loomscribe:");
  // Nothing is moved or stored a second time; no move stays journaled.
  EXPECT_EQ(std::count(log.begin(), log.end(), pad + L"SetPrinter(Pool) - ok"), 2);
  EXPECT_TRUE(Entries(world).empty());
  if (install) {
    EXPECT_NE(world.FindPrinter(L"Office"), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Run, MonitorStays, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Install" : "Uninstall");
                         });

// --- replay ----------------------------------------------------------------------

TEST_F(JournalTest, AnEarlierRunsEntriesAreReplayedOnceEachByWhatStandsUnderTheirNames) {
  world.InstallProduct();
  AddForeignDriver(world);
  // Gone: created again. Half-made (product driver, no "SubKey"): deleted by
  // the uninstall half and created again. Taken by another vendor's printer:
  // left alone.
  PutEntry(world, "3", Carried(L"Gone", "g1", L"c-gone", L"l-gone", 1));
  world.AddProductPrinter(L"Half", "");
  PutEntry(world, "4", Carried(L"Half", "h1", L"c-half", L"l-half", 0));
  AddForeign(world, L"Taken", L"LPT1:").comment = L"theirs";
  PutEntry(world, "5", Carried(L"Taken", "t1", L"c", L"l", 0));
  // Moves: one still on the text the move left, one changed since.
  AddForeign(world, L"Moved", L"FILE:,file:");
  PutEntry(world, "6", {{"name", Sz(L"Moved")}, {"movedport", Sz(L"FILE:,Loomscribe:")}});
  AddForeign(world, L"Changed", L"LPT1:");
  PutEntry(world, "7", {{"name", Sz(L"Changed")}, {"movedport", Sz(L"Loomscribe:")}});
  world.defaultPrinter = L"Taken";
  // Carried by this run itself: the older entry of its name is replaced.
  world.AddProductPrinter(L"Kept", "k1").comment = L"own";
  PutEntry(world, "2", Carried(L"Kept", "k0", L"older", L"older", 0));

  RunResult result = Install(world);
  EXPECT_FALSE(result.errorsCounted);
  std::vector<std::wstring> log = ShownLog(world);
  auto title = std::find(log.begin(), log.end(), L"    >Recover printers of an unfinished run");
  ASSERT_NE(title, log.end());
  std::vector<std::wstring> lines;
  for (auto it = title + 1; it != log.end() && it->compare(0, 6, L"      ") == 0; ++it)
    if (it->compare(0, 7, L"       ") != 0 && (*it)[6] != L'>') lines.push_back(it->substr(6));
  EXPECT_THAT(lines, ElementsAre(L"Journal entry skipped: Changed",
                                 L"Port of printer 'Moved' put back",
                                 L"Journal entry skipped: Taken", L"Recovered printer 'Half'",
                                 L"Recovered printer 'Gone'"));

  for (const wchar_t* name : {L"Gone", L"Half"}) {
    fake::WorldPrinter* p = world.FindPrinter(name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->driver, L"Loomscribe printer");
    EXPECT_EQ(p->comment, std::wstring(L"c-") + (name[0] == L'G' ? L"gone" : L"half"));
    EXPECT_EQ(p->data["dsuser"]["subkey"].bytes,
              std::string(name[0] == L'G' ? "g1" : "h1") + '\0');
  }
  EXPECT_EQ(world.defaultPrinter, L"Gone");
  EXPECT_EQ(world.FindPrinter(L"Kept")->comment, L"own");
  EXPECT_EQ(world.FindPrinter(L"Kept")->data["dsuser"]["subkey"].bytes, std::string("k1", 3));
  EXPECT_EQ(world.FindPrinter(L"Taken")->driver, kForeignDriver);
  EXPECT_EQ(world.FindPrinter(L"Taken")->comment, L"theirs");
  EXPECT_EQ(world.FindPrinter(L"Moved")->port, L"FILE:,Loomscribe:");
  EXPECT_EQ(world.FindPrinter(L"Changed")->port, L"LPT1:");
  // Replayed printers count: no spare "Loomscribe".
  EXPECT_EQ(world.FindPrinter(L"Loomscribe"), nullptr);
  EXPECT_TRUE(Entries(world).empty());

  // Once: the next install finds nothing to recover.
  Install(world);
  EXPECT_THAT(ShownLog(world), Not(Contains(L"    >Recover printers of an unfinished run")));
}

TEST_F(JournalTest, ATamperedJournalSkipsEachBadEntryAndDeletesNoPrinter) {
  world.InstallProduct();
  fake::WorldPrinter& keep = world.AddProductPrinter(L"Keep", "k1");
  keep.comment = L"mine";
  std::wstring longText(5000, L'x');
  auto bad = [&](const char* key, std::map<std::string, fake::WorldRegValue> values) {
    PutEntry(world, key, std::move(values));
  };
  auto good = Carried(L"Keep", "k9", L"other", L"other", 0);
  auto with = [&](std::map<std::string, fake::WorldRegValue> v, const char* name,
                  fake::WorldRegValue value) {
    v[name] = value;
    return v;
  };
  auto without = [&](std::map<std::string, fake::WorldRegValue> v, const char* name) {
    v.erase(name);
    return v;
  };
  bad("11", with(good, "name", Dword(7)));                             // wrong type
  bad("12", with(good, "name", {REG_SZ, Wide(L"Keep", false)}));       // unterminated
  bad("13", with(good, "comment", Sz(longText)));                      // over-long
  bad("14", with(good, "subkey", Binary(std::string(64, 's'))));       // over-long sub-key
  bad("15", with(good, "subkey", Binary(std::string("k\0k", 3))));     // NUL inside
  bad("16", with(good, "stray", Sz(L"?")));                            // stray value
  bad("17", good);
  world.registry[kJournal + "\\17\\stray"];                            // stray key
  bad("18", without(good, "default"));                                 // half an entry
  bad("19", with(good, "movedport", Sz(L"Loomscribe:")));              // both kinds
  bad("20", with(without(without(without(without(good, "subkey"), "comment"), "location"),
                         "default"),
                 "movedport", Sz(L"LPT1:")));                           // never moved
  bad("21", with(good, "default", Dword(2)));                           // not a flag
  bad("abc", good);                                                     // not a number
  bad("22", with(good, "name", {REG_SZ, Wide(std::wstring(L"Ke\0ep", 5))}));       // NUL inside
  world.registry[kJournal]["stray"] = Sz(L"top");

  RunResult result = Install(world);
  EXPECT_FALSE(result.errorsCounted);
  std::vector<std::wstring> log = ShownLog(world);
  EXPECT_THAT(log, Contains(L"    >Recover printers of an unfinished run"));
  int skipped = 0;
  for (const std::wstring& line : log)
    if (line.find(L"      Journal entry skipped: ") == 0) ++skipped;
  EXPECT_EQ(skipped, 14);  // the stray value of the key itself is one too
  EXPECT_THAT(log, Contains(L"      Journal entry skipped: abc"));
  EXPECT_THAT(log, Not(Contains(HasSubstr(L"Recovered printer"))));
  // The printer of that name came through the re-install with its own settings.
  ASSERT_EQ(world.printers.size(), 1u);
  EXPECT_EQ(world.printers[0].name, L"Keep");
  EXPECT_EQ(world.printers[0].comment, L"mine");
  EXPECT_EQ(world.printers[0].data["dsuser"]["subkey"].bytes, std::string("k1", 3));
  EXPECT_TRUE(Entries(world).empty());
}

TEST_F(JournalTest, ACompletedUninstallRemovesEveryEntry) {
  world.InstallProduct();
  PutEntry(world, "1", Carried(L"Gone", "g1", L"", L"", 0));
  PutEntry(world, "2", {{"name", Sz(L"Moved")}, {"movedport", Sz(L"Loomscribe:")}});
  EXPECT_EQ(RunUninstall(nullptr).errorsCounted, false);
  EXPECT_EQ(world.registry.count(kJournal), 0u);
  EXPECT_EQ(world.FindPrinter(L"Gone"), nullptr);
}


// --- entries decided, never burnt ------------------------------------------------

struct RunFault {
  const char* name;
  // Layers the fault, active while *failing is true.
  void (*layer)(const bool* failing);
};

class FailingInstalls : public ::testing::TestWithParam<RunFault> {
 protected:
  fake::FakePlatform os;
  fake::World world;
};

// Installs that cannot put the driver or the monitor back (three: more than
// the tries an entry is given), then one that can: every printer comes back
// whole, the default and the other vendors' ports included.
TEST_P(FailingInstalls, FailedInstallsThenAWorkingOneLoseNothing) {
  SetUpScene(world, false);
  bool failing = true;
  GetParam().layer(&failing);
  for (int run = 0; run < 3; ++run) {
    EXPECT_TRUE(Install(world).errorsCounted) << run;
    EXPECT_THAT(ShownLog(world), Contains(HasSubstr(L"Journal entry kept: Office"))) << run;
    EXPECT_FALSE(Entries(world).empty()) << run;
  }
  // Neither could the previous installation be put back.
  EXPECT_THAT(ShownLog(world), Contains(HasSubstr(L"Error(23): Can`t put back the previous "
                                                   L"installation: ")));
  failing = false;
  RunResult result = Install(world);
  EXPECT_FALSE(result.errorsCounted) << ::testing::PrintToString(ShownLog(world));
  EXPECT_EQ(Damage(world), "") << ::testing::PrintToString(ShownLog(world));
  EXPECT_EQ(world.FindPrinter(L"Loomscribe"), nullptr);
}

// --- the previous installation put back --------------------------------------------

const std::wstring kSystemLibrary = L"C:\\windows\\system32\\lmxmon64.dll";
const std::wstring kStoreDriver = L"C:\\windows\\system32\\spool\\drivers\\x64\\3\\lmxdrv64.dll";
const std::wstring kKeptFolder =
    L"c:\\windows\\system32\\spool\\drivers\\x64\\loomscribe-previous";

// What the new build brings that does not work; `failing` turns it off.
struct NewBuildFault {
  const char* name;
  void (*layer)(fake::World& world, const std::string& newBytes, const bool* failing);
  const wchar_t* failedStep;
};

// The new library imports a DLL that is missing: it cannot load.
void NewLibraryCannotLoad(fake::World& world, const std::string&, const bool* failing) {
  std::string old = world.FindFile(kSystemLibrary)->bytes;
  fake::FailWhen<&Platform::AddMonitorW>(
      [&world, old, failing](auto...) {
        const fake::WorldFile* library = world.FindFile(kSystemLibrary);
        return *failing && library && library->bytes != old;
      },
      ERROR_MOD_NOT_FOUND);
}

class PutBack : public ::testing::TestWithParam<NewBuildFault> {
 protected:
  fake::FakePlatform os;
  fake::World world;
};

// An install over a working installation of another build (monitor build
// 1000, driver with other bytes) whose new part does not work: the previous
// monitor and driver come back byte for byte, with every printer; the next
// install with working parts ends well and leaves nothing kept.
// A file's bytes, "(absent)" when there is none.
std::string BytesOf(fake::World& world, const std::wstring& path) {
  const fake::WorldFile* file = world.FindFile(path);
  return file ? file->bytes : "(absent)";
}

TEST_P(PutBack, AFailedUpgradeLeavesThePreviousInstallationWorking) {
  SetUpScene(world, false);
  const std::string newDriver = world.FindFile(kStoreDriver)->bytes;
  world.FindFile(kStoreDriver)->bytes = "driver of build 1000";
  const std::string oldLibrary = world.FindFile(kSystemLibrary)->bytes;
  bool failing = true;
  GetParam().layer(world, newDriver, &failing);

  EXPECT_TRUE(Install(world).errorsCounted);
  std::vector<std::wstring> log = ShownLog(world);
  EXPECT_THAT(log, Contains(HasSubstr(GetParam().failedStep)));
  // At the depth of the driver step, after it.
  auto putBack = std::find(log.begin(), log.end(), L"    >Put back the previous installation");
  EXPECT_NE(putBack, log.end());
  EXPECT_LT(std::find(log.begin(), log.end(), L"    >Add Printer Driver"), putBack);
  EXPECT_THAT(log, Contains(L"      Put back: monitor 'Loomscribe:'"));
  EXPECT_THAT(log, Contains(L"      Put back: driver 'Loomscribe printer'"));
  EXPECT_EQ(BytesOf(world, kSystemLibrary), oldLibrary);
  EXPECT_EQ(BytesOf(world, kStoreDriver), "driver of build 1000");
  EXPECT_EQ(Damage(world), "") << ::testing::PrintToString(log);
  // Kept, with their record, for the next run.
  EXPECT_FALSE(world.FilesIn(kKeptFolder).empty());
  EXPECT_NE(world.FindRegValue(kJournal, "previous"), nullptr);

  failing = false;
  RunResult result = Install(world);
  EXPECT_FALSE(result.errorsCounted) << ::testing::PrintToString(ShownLog(world));
  EXPECT_EQ(Damage(world), "");
  EXPECT_EQ(BytesOf(world, kStoreDriver), newDriver);
  EXPECT_TRUE(world.FilesIn(kKeptFolder).empty());
  EXPECT_EQ(world.FindRegValue(kJournal, "previous"), nullptr);
}

// A record naming a file outside the driver directory (through ".."): a
// failed upgrade puts the previous installation back without a copy of it.
TEST(PutBackOutside, NothingOutsideTheDriverDirectoryIsKeptOrPutBack) {
  fake::FakePlatform os;
  fake::World world;
  SetUpScene(world, false);
  const std::wstring victim = L"C:\\windows\\system32\\victim.dll";
  world.AddFile(victim, "someone else's");
  world.FindFile(victim)->lockedForever = true;
  world.drivers[0].helpFile = kStoreDriver + L"\\..\\..\\..\\..\\..\\victim.dll";
  bool failing = true;
  NewLibraryCannotLoad(world, "", &failing);
  EXPECT_TRUE(Install(world).errorsCounted);
  EXPECT_EQ(Damage(world), "");
  EXPECT_FALSE(world.HasFile(L"C:\\windows\\system32\\spool\\drivers\\x64\\3\\victim.dll"));
  EXPECT_EQ(world.FindFile(victim)->bytes, "someone else's");
}

INSTANTIATE_TEST_SUITE_P(
    Upgrade, PutBack,
    ::testing::Values(
        NewBuildFault{"MonitorLibraryCannotLoad", NewLibraryCannotLoad, L"Error(11): "},
        // The driver is refused before its record is written, and after.
        NewBuildFault{"DriverRefused",
                      [](fake::World& world, const std::string& bytes, const bool* failing) {
                        fake::FailWhen<&Platform::AddPrinterDriverExW>(
                            [&world, bytes, failing](LPWSTR, DWORD, LPBYTE data, DWORD) {
                              auto* info = reinterpret_cast<DRIVER_INFO_6W*>(data);
                              const fake::WorldFile* file = world.FindFile(info->pDriverPath);
                              return *failing && file && file->bytes == bytes;
                            },
                            ERROR_ACCESS_DENIED);
                      },
                      L"Error(13): "},
        NewBuildFault{"DriverRefusedAfterItsRecord",
                      [](fake::World& world, const std::string& bytes, const bool* failing) {
                        fake::Wrap<&Platform::AddPrinterDriverExW>(
                            [&world, bytes, failing](auto& previous, LPWSTR server, DWORD level,
                                                     LPBYTE data, DWORD flags) -> BOOL {
                              auto* info = reinterpret_cast<DRIVER_INFO_6W*>(data);
                              const fake::WorldFile* file = world.FindFile(info->pDriverPath);
                              bool refused = *failing && file && file->bytes == bytes;
                              BOOL added = previous(server, level, data, flags);
                              if (!refused) return added;
                              ::SetLastError(ERROR_ACCESS_DENIED);
                              return FALSE;
                            });
                      },
                      L"Error(13): "}),
    [](const ::testing::TestParamInfo<NewBuildFault>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Journal, FailingInstalls,
    ::testing::Values(
        RunFault{"DriverRefused",
                 [](const bool* failing) {
                   fake::FailWhen<&Platform::AddPrinterDriverExW>(
                       [failing](auto...) { return *failing; }, ERROR_ACCESS_DENIED);
                 }},
        // A monitor library that cannot load (a runtime DLL missing).
        RunFault{"MonitorRefused",
                 [](const bool* failing) {
                   fake::FailWhen<&Platform::AddMonitorW>(
                       [failing](auto...) { return *failing; }, ERROR_MOD_NOT_FOUND);
                 }}),
    [](const ::testing::TestParamInfo<RunFault>& info) { return std::string(info.param.name); });

// A printer the run cannot make whole in its normal way stays journaled and
// comes back from its entry in the same run, with error 21.
TEST_F(JournalTest, APrinterNotCarriedWholeComesBackFromItsEntryInTheSameRun) {
  SetUpScene(world, false);
  fake::FailWhen<&Platform::SetPrinterDataA>(
      [n = 0](HANDLE, LPSTR, DWORD, LPBYTE data, DWORD) mutable {
        return std::strcmp(reinterpret_cast<const char*>(data), "s2") == 0 && n++ == 0;
      },
      ERROR_DISK_FULL);
  RunResult result = Install(world);
  EXPECT_TRUE(result.errorsCounted);
  std::vector<std::wstring> log = ShownLog(world);
  EXPECT_THAT(log, Contains(HasSubstr(L"Error(21): Can`t carry printer 'Lab'")));
  EXPECT_THAT(log, Contains(HasSubstr(L"Recovered printer 'Lab'")));
  EXPECT_EQ(Damage(world), "");
}

// Another account's run leaves the first account's default alone; the entry
// keeps it until that account runs again.
TEST_F(JournalTest, PerUserPartsWaitForTheAccountThatWroteThem) {
  const std::string profiles =
      "hklm\\software\\microsoft\\windows nt\\currentversion\\profilelist\\";
  const std::wstring first = world.accountSid;
  world.registry[profiles + "s-1-5-21-1-2-3-500"];
  SetUpScene(world, false);
  bool failing = true;
  fake::FailWhen<&Platform::AddPrinterDriverExW>([&failing](auto...) { return failing; },
                                                 ERROR_ACCESS_DENIED);
  Install(world);
  failing = false;
  world.accountSid = L"S-1-5-21-9-9-9-1001";
  world.defaultPrinter = L"Plotter";  // that account's own choice
  Install(world);
  EXPECT_EQ(world.defaultPrinter, L"Plotter");
  EXPECT_NE(world.FindPrinter(L"Office"), nullptr);
  EXPECT_THAT(ShownLog(world),
              Contains(HasSubstr(L"Journal entry for another account kept: Office (" + first + L")")));
  auto entries = Entries(world);
  auto office = std::find_if(entries.begin(), entries.end(),
                             [](const auto& e) { return e.second.name == L"Office"; });
  ASSERT_NE(office, entries.end());
  EXPECT_EQ(office->second.flags, 1u);

  world.accountSid = first;
  world.defaultPrinter.clear();
  EXPECT_FALSE(Install(world).errorsCounted);
  EXPECT_EQ(Damage(world), "");
}

// The default stays on a product printer when the one holding it is not
// carried (def.set made the first install's "Loomscribe" the default).
TEST_F(JournalTest, TheDefaultPassesToAProductPrinterNotToAnotherVendors) {
  world.InstallProduct();
  AddForeignDriver(world);
  AddForeign(world, L"Another", L"LPT1:");
  world.AddProductPrinter(L"Loomscribe", "");
  world.defaultPrinter = L"Loomscribe";
  EXPECT_FALSE(Install(world).errorsCounted);
  EXPECT_EQ(world.defaultPrinter, L"Loomscribe");
  EXPECT_NE(world.FindPrinter(L"Loomscribe"), nullptr);
  EXPECT_TRUE(Entries(world).empty());
}

// The key: protected before it is read, at most 4096 entries read a run, an
// oversized value an entry of its own that goes; nothing written and no key
// made when there is nothing to carry.
TEST_F(JournalTest, TheKeyIsProtectedAndBoundedAndOnlyMadeWhenNeeded) {
  bool refused = true;
  fake::Wrap<&Platform::RegCreateKeyExW>([&](auto& previous, HKEY root, LPCWSTR sub, auto... a) {
    if (refused && sub && std::wstring(sub).find(L"CarriedPrinters") != std::wstring::npos)
      return static_cast<LSTATUS>(ERROR_ACCESS_DENIED);
    return previous(root, sub, a...);
  });
  // A first install: nothing to carry or keep, so no error 20.
  EXPECT_FALSE(Install(world).errorsCounted);
  EXPECT_EQ(world.registry.count(kJournal), 0u);
  // Over an installation the previous one's record needs the key.
  EXPECT_TRUE(Install(world).errorsCounted);
  refused = false;

  auto moved = [](const std::wstring& name) {
    std::string v(20, '\0');
    v[0] = 1;
    v[4] = 2;
    auto text = [&v](const std::wstring& t) {
      uint32_t n = static_cast<uint32_t>(t.size());
      v.append(reinterpret_cast<const char*>(&n), 4);
      v.append(reinterpret_cast<const char*>(t.data()), t.size() * 2);
    };
    text(name);
    text(L"");
    text(L"");
    text(L"Loomscribe:");
    text(L"");
    return fake::WorldRegValue{REG_BINARY, v};
  };
  for (int i = 1; i <= 4100; ++i)
    world.registry[kJournal][std::to_string(i)] = moved(L"Gone " + std::to_wstring(i));
  world.registry[kJournal]["1"].bytes.append(64 * 1024, 'x');  // over the bound
  world.registrySddl[kJournal] = L"D:(A;;KA;;;WD)";
  Install(world);
  std::vector<std::wstring> log = ShownLog(world);
  EXPECT_THAT(log, Contains(HasSubstr(L"4 more journal entries wait for the next install")));
  EXPECT_THAT(log, Contains(L"      Journal entry skipped: 1"));
  EXPECT_EQ(Entries(world).size(), 4u);
  EXPECT_EQ(world.registrySddl[kJournal], L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
}


// Entries of this run taken back give their numbers back: the next entry is
// written under a number a later run reads as one.
TEST_F(JournalTest, AnEntryWrittenAfterATakeBackIsReadBackWhole) {
  auto moved = [](journal::Store& store, const wchar_t* name) {
    journal::Entry* entry = journal::NewEntry(store, journal::kMoved, name);
    ASSERT_NE(entry, nullptr);
    entry->movedPort = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, 32 * sizeof(wchar_t)));
    std::wcscpy(entry->movedPort, L"Loomscribe:");
    EXPECT_TRUE(journal::Write(store, *entry));
  };
  journal::Store store;
  ASSERT_TRUE(journal::Open(store, true, 4));
  moved(store, L"First");
  moved(store, L"Second");
  journal::TakeBack(store, 0);
  moved(store, L"Third");
  ASSERT_TRUE(journal::Flush(store));
  journal::Close(store);

  ASSERT_TRUE(journal::Open(store, false, 0));
  ASSERT_EQ(store.count, 1u);
  EXPECT_STREQ(store.entries[0].name, L"Third");
  EXPECT_EQ(store.entries[0].bad, 0);
  journal::Close(store);
}


// An uninstall that cannot tell whether the driver is there has not removed
// it: an error, not success.
TEST_F(JournalTest, AnUninstallThatCannotListTheDriversCountsError14) {
  world.InstallProduct();
  fake::FailNth<&Platform::EnumPrinterDriversW>(1, RPC_S_SERVER_UNAVAILABLE);
  world.shiftDown = true;
  EXPECT_TRUE(RunUninstall(nullptr).errorsCounted);
  EXPECT_THAT(ShownLog(world), Contains(HasSubstr(L"Error(14): ")));
  EXPECT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
}

// Every cut of such an upgrade, its keeping and its put-back included, with
// the file data written since the last flush lost: the next install, still
// with the library that cannot load, leaves the previous installation and
// every printer working; the one after it, with a working library, ends well.
TEST(PutBackCuts, EveryCutOfAFailedUpgradeLeavesAWorkingPrinter) {
  auto setUp = [](fake::World& world, const bool* failing) {
    SetUpScene(world, false);
    world.FindFile(kStoreDriver)->bytes = "driver of build 1000";
    NewLibraryCannotLoad(world, "", failing);
  };
  int total = 0;
  {
    fake::FakePlatform os;
    fake::World world;
    bool failing = true;
    setUp(world, &failing);
    world.StopAfter(-1);
    Install(world);
    total = world.stateChanges;
  }
  std::printf("failed upgrade of the scene: %d state-changing calls, each a cut point\n", total);
  int failures = 0;
  for (int n = 1; n <= total && failures < 5; ++n) {
    fake::FakePlatform os;
    fake::World world;
    bool failing = true;
    setUp(world, &failing);
    const std::string oldLibrary = world.FindFile(kSystemLibrary)->bytes;
    world.StopAfter(n);
    Install(world);
    world.PowerOn();
    Install(world);
    std::vector<std::wstring> failedLog = ShownLog(world);
    std::string damage = Damage(world);
    fake::WorldFile* library = world.FindFile(kSystemLibrary);
    fake::WorldFile* driver = world.FindFile(kStoreDriver);
    // A put-back brings the previous bytes. (A cut after the new library was
    // copied in, with the spooler still naming the monitor, leaves a monitor
    // the model takes for working: that run keeps the new build.)
    if (std::find(failedLog.begin(), failedLog.end(), L"    >Put back the previous installation") !=
        failedLog.end()) {
      if (!library || library->bytes != oldLibrary) damage += " monitor-library";
      if (!driver || driver->bytes != "driver of build 1000") damage += " driver-file";
    }
    failing = false;
    RunResult result = Install(world);
    std::string after = Damage(world);
    if (!damage.empty() || !after.empty() || result.errorsCounted) {
      ++failures;
      ADD_FAILURE() << "cut after state change " << n << " of " << total << ":" << damage
                    << " / then:" << after << (result.errorsCounted ? " errors" : "") << "\n"
                    << ::testing::PrintToString(failedLog);
    }
  }
}

// A previous installation that cannot be kept stops the run before anything
// changes, with error 22 naming what could not be kept.
TEST(KeepRefused, StopsTheRunWithError22AndChangesNothing) {
  struct Row {
    const char* name;
    void (*provoke)(fake::World& world);
    std::wstring named;
  };
  const Row rows[] = {
      {"DriverFileUnreadable",
       [](fake::World&) {
         fake::FailWhen<&Platform::CreateFileW>(
             [](LPCWSTR path, DWORD access, auto...) {
               return access == GENERIC_READ && fake::World::Lower(path ? path : L"") ==
                                                    fake::World::Lower(kStoreDriver);
             },
             ERROR_SHARING_VIOLATION);
       },
       kStoreDriver},
      // A link planted where the folder goes is not written through.
      {"FolderIsALink",
       [](fake::World& world) { world.directories[kKeptFolder].reparsePoint = true; },
       L"C:\\windows\\system32\\spool\\drivers\\x64\\Loomscribe-previous"},
  };
  for (const Row& row : rows) {
    fake::FakePlatform os;
    fake::World world;
    SetUpScene(world, false);
    auto printers = world.printers.size();
    row.provoke(world);
    EXPECT_TRUE(Install(world).errorsCounted) << row.name;
    EXPECT_THAT(ShownLog(world),
                Contains(HasSubstr(L"Error(22): Can`t keep a file of the previous installation: " +
                                   row.named)))
        << row.name;
    EXPECT_THAT(ShownLog(world), Not(Contains(L">ReInstall"))) << row.name;
    EXPECT_EQ(world.printers.size(), printers) << row.name;
    EXPECT_NE(world.FindDriver(L"Loomscribe printer"), nullptr) << row.name;
  }
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "printers/printers.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using fake::WorldPrinterValue;
using testutil::LogLines;
using ::testing::ElementsAre;

namespace {

const std::string kMarkerKey = "Software\\Tamarel Software KFT\\Loomscribe\\Loomscribes\\";

// A REG_SZ value stored with its terminator, as SetPrinterDataA is normally called.
WorldPrinterValue Sz(const std::string& text) { return {REG_SZ, text + std::string(1, '\0')}; }

class PrinterRecreateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.InstallProduct();
    // The marker keys opened, with the access asked for.
    fake::Wrap<&Platform::RegOpenKeyExA>(
        [this](auto& previous, HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
          openedKeys.emplace_back(path ? path : "(null)");
          keyAccess.push_back(access);
          return previous(root, path, options, access, key);
        });
    BeginSession(session);
  }
  void TearDown() override {
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }

  HANDLE Open(const wchar_t* name) {
    HANDLE h = nullptr;
    EXPECT_TRUE(Os().OpenPrinterW(const_cast<wchar_t*>(name), &h, nullptr));
    return h;
  }

  fake::WorldPrinter& Add(const std::wstring& name, const std::string& subKey) {
    return world.AddProductPrinter(name, subKey);
  }
  static WorldPrinterValue& DsUser(fake::WorldPrinter& p) { return p.data["dsuser"]["subkey"]; }
  static WorldPrinterValue& Plain(fake::WorldPrinter& p) { return p.data[""]["subkey"]; }

  // ReadPrinterSubKey on a printer holding `plain` and `dsUser` values, into a
  // buffer pre-filled with '#' so a missing terminator would show.
  std::string Read(const std::optional<WorldPrinterValue>& plain,
                   const std::optional<WorldPrinterValue>& dsUser) {
    world.printers.clear();
    fake::WorldPrinter& p = Add(L"R", "");
    if (plain) Plain(p) = *plain;
    if (dsUser) DsUser(p) = *dsUser;
    HANDLE h = Open(L"R");
    char buffer[100];
    std::memset(buffer, '#', sizeof buffer);
    ReadPrinterSubKey(h, buffer);
    Os().ClosePrinter(h);
    const void* end = std::memchr(buffer, '\0', 64);
    if (!end) return "(unterminated)";
    return std::string(buffer);
  }

  std::vector<std::wstring> Names() {
    std::vector<std::wstring> out;
    for (const auto& p : world.printers) out.push_back(p.name);
    return out;
  }

  std::vector<std::wstring> AddedNames() {
    std::vector<std::wstring> out;
    for (const auto& a : requests) out.push_back(a.name.null ? L"(null)" : a.name);
    return out;
  }

  // The marker values left under a key below the product's key.
  std::vector<std::string> Markers(const std::string& key) {
    std::vector<std::string> names;
    for (const auto& value : world.registry[fake::World::Lower("HKCU\\" + kMarkerKey + key)])
      names.push_back(value.first);
    return names;
  }
  void AddMarkers(const std::string& key, const std::vector<std::string>& names) {
    world.registry[fake::World::Lower("HKCU\\" + kMarkerKey + key)];
    for (const std::string& name : names) world.SetRegString("HKCU\\" + kMarkerKey + key, name, L"1");
  }

  // The snapshot of a run, then the product's printers deleted and saved.
  void DeleteAll() {
    MarkDefaultPrinter(session);
    DeleteAllPrinters(session);
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  std::vector<fake::WorldPrinterRequest> requests;
  std::vector<std::string> openedKeys;
  std::vector<REGSAM> keyAccess;
};

TEST_F(PrinterRecreateTest, SubKeyIsReadFromEitherPlaceOnlyAsTerminatedTextOfAtMost63) {
  const std::string s63(63, 'k'), s64(64, 'k');
  const std::nullopt_t none = std::nullopt;
  EXPECT_EQ(Read(Sz("s1"), none), "s1");
  EXPECT_EQ(Read(none, none), "");
  EXPECT_EQ(Read(Sz(""), none), "");
  EXPECT_EQ(Read(Sz(s63), none), s63);
  EXPECT_EQ(Read(Sz(s64), none), "");  // 65 bytes do not fit
  EXPECT_EQ(Read(WorldPrinterValue{REG_SZ, s64}, none), "");  // 64 bytes, no terminator
  EXPECT_EQ(Read(WorldPrinterValue{REG_SZ, "abc"}, none), "abc");  // short, no terminator
  EXPECT_EQ(Read(WorldPrinterValue{REG_BINARY, std::string("s1", 3)}, none), "");
  EXPECT_EQ(Read(WorldPrinterValue{REG_EXPAND_SZ, std::string("s1", 3)}, none), "");
  // "DsUser" is the second choice, used whenever the first place does not count.
  EXPECT_EQ(Read(none, Sz("ds")), "ds");
  EXPECT_EQ(Read(WorldPrinterValue{REG_DWORD, std::string(4, '\1')}, Sz("ds")), "ds");
  EXPECT_EQ(Read(Sz(s64), Sz(s63)), s63);
  EXPECT_EQ(Read(Sz("first"), Sz("second")), "first");
  EXPECT_EQ(Read(Sz(s64), Sz(s64)), "");
}

TEST_F(PrinterRecreateTest, SaveKeepsACopyAtTheFrontAndClosesThePrinter) {
  Add(L"A", "s1");
  DsUser(Add(L"B", "")) = Sz("s2");
  Plain(Add(L"C", "")) = Sz("");
  Plain(Add(L"D", "")) = WorldPrinterValue{REG_BINARY, "s4"};
  Add(L"E", std::string(64, 'e'));
  Add(L"F", std::string(63, 'f'));
  MarkDefaultPrinter(session);
  for (uint32_t i = 0; i < session.Printers.count; ++i)
    SaveProductPrinter(session, &session.Printers.buffer.get()[i]);
  std::vector<std::pair<std::wstring, std::string>> saved;
  for (SavedPrinter* n = session.SavedPrinters.get(); n; n = n->next) {
    saved.emplace_back(n->printer->pPrinterName, n->subKey);
    EXPECT_GE(n->printer, session.Printers.buffer.get());
    EXPECT_LT(n->printer, session.Printers.buffer.get() + session.Printers.count);
  }
  EXPECT_THAT(saved, ElementsAre(std::make_pair(std::wstring(L"F"), std::string(63, 'f')),
                                 std::make_pair(std::wstring(L"B"), std::string("s2")),
                                 std::make_pair(std::wstring(L"A"), std::string("s1"))));
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));  // saving is silent
  // The saved printers stay open for their delete step; the rest are closed,
  // and the session closes what no delete step took.
  EXPECT_EQ(world.OpenHandles().printers, 3);
  EndSession(session);
  EXPECT_EQ(world.OpenHandles().printers, 0);
}

TEST_F(PrinterRecreateTest, SaveOfAMissingPrinterOrWithoutMemorySavesNothing) {
  Add(L"A", "s1");
  MarkDefaultPrinter(session);
  world.printers.clear();
  SaveProductPrinter(session, &session.Printers.buffer.get()[0]);
  EXPECT_EQ(session.SavedPrinters.get(), nullptr);
  EXPECT_EQ(fake::CountCalls("ClosePrinter"), 0);

  Add(L"A", "s1");
  fake::FailNth<&Platform::GlobalAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  SaveProductPrinter(session, &session.Printers.buffer.get()[0]);
  EXPECT_EQ(session.SavedPrinters.get(), nullptr);
  EXPECT_EQ(fake::CountCalls("ClosePrinter"), 1);
}

TEST_F(PrinterRecreateTest, WriteStoresBothPlacesAndReportsTheDsUserWrite) {
  Add(L"W", "");
  HANDLE h = Open(L"W");
  EXPECT_TRUE(WritePrinterSubKey(h, "s1"));
  fake::WorldPrinter& p = *world.FindPrinter(L"W");
  EXPECT_EQ(Plain(p).type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Plain(p).bytes, std::string("s1", 3));
  EXPECT_EQ(DsUser(p).type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(DsUser(p).bytes, std::string("s1", 3));

  // The plain write failing does not stop the "DsUser" one, which decides.
  fake::FailFrom<&Platform::SetPrinterDataA>(1, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(WritePrinterSubKey(h, "s2"));
  EXPECT_EQ(DsUser(p).bytes, std::string("s2", 3));
  EXPECT_EQ(Plain(p).bytes, std::string("s1", 3));
  fake::FailFrom<&Platform::SetPrinterDataExA>(1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(WritePrinterSubKey(h, "s3"));
  EXPECT_FALSE(WritePrinterSubKey(h, nullptr));
  Os().ClosePrinter(h);
}

TEST_F(PrinterRecreateTest, MarkerValueIsDeletedUnderTheProductKey) {
  std::string longKey(300, 'L');
  AddMarkers("s1", {"deleted", "other"});
  AddMarkers(longKey, {"deleted"});
  AddMarkers("empty", {});

  EXPECT_TRUE(ClearDeletedMarker(("Loomscribes\\s1")));
  EXPECT_THAT(Markers("s1"), ElementsAre("other"));
  EXPECT_TRUE(ClearDeletedMarker(("Loomscribes\\" + longKey).c_str()));  // formed whole
  EXPECT_THAT(Markers(longKey), ElementsAre());
  EXPECT_FALSE(ClearDeletedMarker("Loomscribes\\empty"));   // no value
  EXPECT_FALSE(ClearDeletedMarker("Loomscribes\\absent"));  // no key
  EXPECT_FALSE(ClearDeletedMarker(nullptr));
  EXPECT_THAT(openedKeys, ElementsAre(kMarkerKey + "s1", kMarkerKey + longKey,
                                      kMarkerKey + "empty", kMarkerKey + "absent"));
  for (REGSAM access : keyAccess) EXPECT_EQ(access, static_cast<REGSAM>(KEY_ALL_ACCESS));
  EXPECT_EQ(fake::CountCalls("RegDeleteValueA"), 3);
}

// The whole carry-over: A (default, s1) and B (s2) with a foreign printer between.
TEST_F(PrinterRecreateTest, ReinstallCarriesNamesSubKeysCommentsLocationsAndDefault) {
  fake::WorldPrinter& a = Add(L"A", "s1");
  a.comment = L"comment A";
  a.location = L"room 1";
  a.share = L"shareA";
  Add(L"Foreign", "f").driver = L"Generic / Text Only";
  fake::WorldPrinter& b = Add(L"B", "");
  DsUser(b) = Sz("s2");  // only under "DsUser"
  b.comment = L"comment B";
  world.defaultPrinter = L"A";
  AddMarkers("s1", {"deleted"});
  AddMarkers("s2", {"deleted", "keep"});
  fake::RecordPrinterRequests(&requests);

  DeleteAll();
  EXPECT_THAT(Names(), ElementsAre(L"Foreign"));
  size_t logged = LogLines(session).size();
  RecreateSavedPrinters(session);

  EXPECT_THAT(AddedNames(), ElementsAre(L"B", L"A"));
  EXPECT_THAT(Names(), ElementsAre(L"Foreign", L"B", L"A"));
  auto lines = LogLines(session);
  EXPECT_THAT(std::vector<std::wstring>(lines.begin() + logged, lines.end()),
              ElementsAre(L">AddPrinter(B)", L"  Let's check our port monitors",
                          L"  Port monitor is found", L"  OK :)", L">AddPrinter(A)",
                          L"  Let's check our port monitors", L"  Port monitor is found",
                          L"  OK :)"));
  EXPECT_EQ(session.ErrorCount, 0);

  fake::WorldPrinter& newA = *world.FindPrinter(L"A");
  fake::WorldPrinter& newB = *world.FindPrinter(L"B");
  EXPECT_STREQ(newA.comment.get(), L"comment A");
  EXPECT_STREQ(newA.location.get(), L"room 1");
  EXPECT_EQ(newA.share.get(), nullptr);  // only comment and location are carried
  EXPECT_STREQ(newB.comment.get(), L"comment B");
  EXPECT_EQ(newB.location.get(), nullptr);
  EXPECT_EQ(Plain(newA).bytes, std::string("s1", 3));
  EXPECT_EQ(DsUser(newA).bytes, std::string("s1", 3));
  EXPECT_EQ(Plain(newB).bytes, std::string("s2", 3));
  EXPECT_EQ(DsUser(newB).bytes, std::string("s2", 3));

  EXPECT_THAT(Markers("s1"), ElementsAre());
  EXPECT_THAT(Markers("s2"), ElementsAre("keep"));
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 1);
  EXPECT_EQ(world.defaultPrinter, L"A");
  EXPECT_EQ(newA.attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);
}

TEST_F(PrinterRecreateTest, NothingSavedGivesOnePrinterLoomscribeWithoutDefaultChange) {
  RecreateSavedPrinters(session);
  ASSERT_THAT(Names(), ElementsAre(L"Loomscribe"));
  EXPECT_EQ(world.printers[0].port, L"Loomscribe:");
  EXPECT_TRUE(world.printers[0].data.empty());
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 0);
  EXPECT_EQ(fake::CountCalls("SetPrinterW"), 0);
  EXPECT_EQ(session.ErrorCount, 0);
}

// The spooler refuses to add these printers again.
void RefuseToAdd(std::vector<std::wstring> names) {
  fake::FailWhen<&Platform::AddPrinterW>(
      [names](LPWSTR, DWORD, LPBYTE data) {
        const wchar_t* name = reinterpret_cast<PRINTER_INFO_2W*>(data)->pPrinterName;
        return std::count(names.begin(), names.end(), std::wstring(name)) != 0;
      },
      ERROR_UNKNOWN_PRINTER_DRIVER);
}

TEST_F(PrinterRecreateTest, EverySavedPrinterFailingGivesOnePrinterLoomscribe) {
  Add(L"A", "s1");
  Add(L"B", "s2");
  world.defaultPrinter = L"A";
  DeleteAll();
  RefuseToAdd({L"A", L"B"});
  fake::RecordPrinterRequests(&requests);
  RecreateSavedPrinters(session);
  EXPECT_THAT(AddedNames(), ElementsAre(L"B", L"A", L"Loomscribe"));
  EXPECT_THAT(Names(), ElementsAre(L"Loomscribe"));
  EXPECT_EQ(session.ErrorCount, 2);
  auto lines = LogLines(session);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       L"  Error(15): Can`t add printer 'A' - (" +
                           testutil::SystemText(ERROR_UNKNOWN_PRINTER_DRIVER) + L")"),
            1);
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 0);
}

TEST_F(PrinterRecreateTest, OneCreatedPrinterIsEnoughToSkipTheFallback) {
  Add(L"A", "s1");
  Add(L"B", "s2");
  DeleteAll();
  RefuseToAdd({L"B"});
  fake::RecordPrinterRequests(&requests);
  RecreateSavedPrinters(session);
  EXPECT_THAT(AddedNames(), ElementsAre(L"B", L"A"));
  EXPECT_THAT(Names(), ElementsAre(L"A"));
  EXPECT_EQ(session.ErrorCount, 1);
}

// The comment and location go into the new printer's record: a printer whose
// record cannot be read back is still carried whole, default included.
TEST_F(PrinterRecreateTest, UnreadableNewRecordIsStillCarriedWhole) {
  Add(L"A", "s1").comment = L"c";
  world.FindPrinter(L"A")->location = L"here";
  world.defaultPrinter = L"A";
  AddMarkers("s1", {"deleted"});
  DeleteAll();
  world.defaultPrinter.clear();
  fake::FailFrom<&Platform::GetPrinterW>(1, ERROR_ACCESS_DENIED);
  RecreateSavedPrinters(session);
  EXPECT_THAT(Names(), ElementsAre(L"A"));  // no fallback printer
  EXPECT_STREQ(world.FindPrinter(L"A")->comment.get(), L"c");
  EXPECT_STREQ(world.FindPrinter(L"A")->location.get(), L"here");
  EXPECT_EQ(world.defaultPrinter, L"A");
  EXPECT_THAT(Markers("s1"), ElementsAre());
}

TEST_F(PrinterRecreateTest, FailedDsUserWriteSkipsOnlyTheMarker) {
  Add(L"A", "s1").location = L"here";
  world.defaultPrinter = L"A";
  AddMarkers("s1", {"deleted"});
  DeleteAll();
  fake::FailFrom<&Platform::SetPrinterDataExA>(1, ERROR_ACCESS_DENIED);
  RecreateSavedPrinters(session);
  EXPECT_THAT(Markers("s1"), ElementsAre("deleted"));
  EXPECT_EQ(fake::CountCalls("RegOpenKeyExA"), 0);
  EXPECT_STREQ(world.FindPrinter(L"A")->location.get(), L"here");
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 1);
  EXPECT_EQ(world.defaultPrinter, L"A");
}

TEST_F(PrinterRecreateTest, LongestSubKeyClearsTheMarkerOfThatExactKey) {
  const std::string s63(63, 'm');
  Add(L"A", s63);
  AddMarkers(s63, {"deleted"});
  DeleteAll();
  RecreateSavedPrinters(session);
  EXPECT_THAT(openedKeys, ElementsAre(kMarkerKey + s63));
  EXPECT_THAT(Markers(s63), ElementsAre());
  EXPECT_EQ(DsUser(*world.FindPrinter(L"A")).bytes, s63 + std::string(1, '\0'));
}

TEST_F(PrinterRecreateTest, DefaultFlagOfAForeignDriverRecordIsNotCarried) {
  Add(L"F", "s1").driver = L"Loomscribe printer 2";
  world.defaultPrinter = L"F";
  MarkDefaultPrinter(session);
  SaveProductPrinter(session, &session.Printers.buffer.get()[0]);
  world.printers.clear();
  RecreateSavedPrinters(session);
  EXPECT_THAT(Names(), ElementsAre(L"F"));
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 0);
}

}  // namespace

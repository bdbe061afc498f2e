#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "printers/printers.h"
#include "support/fake_platform.h"
#include "support/test_util.h"
#include "unit/printer_test_spooler.h"

using printertest::DataValue;
using printertest::FakeSpooler;
using printertest::Sz;
using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::Optional;

namespace {

const std::string kMarkerKey = "Software\\Tamarel Software KFT\\Loomscribe\\Loomscribes\\";

class PrinterRecreateTest : public ::testing::Test {
 protected:
  void SetUp() override { BeginSession(session); }
  void TearDown() override {
    EndSession(session);
    EXPECT_EQ(spooler.openHandles, 0);
    EXPECT_EQ(spooler.openKeys, 0);
  }

  HANDLE Open(const wchar_t* name) {
    HANDLE h = nullptr;
    EXPECT_TRUE(Os().OpenPrinterW(const_cast<wchar_t*>(name), &h, nullptr));
    return h;
  }

  // ReadPrinterSubKey on a printer holding `plain` and `dsUser` values, into a
  // buffer pre-filled with '#' so a missing terminator would show.
  std::string Read(const std::optional<DataValue>& plain, const std::optional<DataValue>& dsUser) {
    spooler.printers.clear();
    printertest::FakePrinter& p = spooler.Add(L"R");
    if (plain) p.data["SubKey"] = *plain;
    if (dsUser) p.dsUser["SubKey"] = *dsUser;
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
    for (const auto& p : spooler.printers) out.push_back(p.name);
    return out;
  }

  std::vector<std::wstring> AddedNames() {
    std::vector<std::wstring> out;
    for (const auto& a : spooler.adds) out.push_back(a.name.value_or(L"(null)"));
    return out;
  }

  fake::FakePlatform os;
  FakeSpooler spooler;
  InstallSession session;
};

TEST_F(PrinterRecreateTest, SubKeyIsReadFromEitherPlaceOnlyAsTerminatedTextOfAtMost63) {
  const std::string s63(63, 'k'), s64(64, 'k');
  EXPECT_EQ(Read(Sz("s1"), std::nullopt), "s1");
  EXPECT_EQ(Read(std::nullopt, std::nullopt), "");
  EXPECT_EQ(Read(Sz(""), std::nullopt), "");
  EXPECT_EQ(Read(Sz(s63), std::nullopt), s63);
  EXPECT_EQ(Read(Sz(s64), std::nullopt), "");  // 65 bytes do not fit
  EXPECT_EQ(Read(DataValue{REG_SZ, s64}, std::nullopt), "");  // 64 bytes, no terminator
  EXPECT_EQ(Read(DataValue{REG_SZ, "abc"}, std::nullopt), "abc");  // short, no terminator
  EXPECT_EQ(Read(DataValue{REG_BINARY, std::string("s1", 3)}, std::nullopt), "");
  EXPECT_EQ(Read(DataValue{REG_EXPAND_SZ, std::string("s1", 3)}, std::nullopt), "");
  // "DsUser" is the second choice, used whenever the first place does not count.
  EXPECT_EQ(Read(std::nullopt, Sz("ds")), "ds");
  EXPECT_EQ(Read(DataValue{REG_DWORD, std::string(4, '\1')}, Sz("ds")), "ds");
  EXPECT_EQ(Read(Sz(s64), Sz(s63)), s63);
  EXPECT_EQ(Read(Sz("first"), Sz("second")), "first");
  EXPECT_EQ(Read(Sz(s64), Sz(s64)), "");
}

TEST_F(PrinterRecreateTest, SaveKeepsACopyAtTheFrontAndClosesThePrinter) {
  spooler.Add(L"A", std::string("s1"));
  spooler.Add(L"B").dsUser["SubKey"] = Sz("s2");
  spooler.Add(L"C", std::string(""));
  spooler.Add(L"D").data["SubKey"] = DataValue{REG_BINARY, "s4"};
  spooler.Add(L"E", std::string(64, 'e'));
  spooler.Add(L"F", std::string(63, 'f'));
  spooler.Snapshot(session);
  for (uint32_t i = 0; i < session.Printers.count; ++i)
    SaveProductPrinter(session, &session.Printers.buffer[i]);
  std::vector<std::pair<std::wstring, std::string>> saved;
  for (SavedPrinter* n = session.SavedPrinters; n; n = n->next) {
    saved.emplace_back(n->printer->pPrinterName, n->subKey);
    EXPECT_GE(n->printer, session.Printers.buffer);
    EXPECT_LT(n->printer, session.Printers.buffer + session.Printers.count);
  }
  EXPECT_THAT(saved, ElementsAre(std::make_pair(std::wstring(L"F"), std::string(63, 'f')),
                                 std::make_pair(std::wstring(L"B"), std::string("s2")),
                                 std::make_pair(std::wstring(L"A"), std::string("s1"))));
  EXPECT_EQ(fake::CountCalls("ClosePrinter"), 6);
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070"));  // saving is silent
}

TEST_F(PrinterRecreateTest, SaveOfAMissingPrinterOrWithoutMemorySavesNothing) {
  spooler.Add(L"A", std::string("s1"));
  spooler.Snapshot(session);
  spooler.printers.clear();
  SaveProductPrinter(session, &session.Printers.buffer[0]);
  EXPECT_EQ(session.SavedPrinters, nullptr);
  EXPECT_EQ(fake::CountCalls("ClosePrinter"), 0);

  spooler.Add(L"A", std::string("s1"));
  fake::FailNth<&Platform::GlobalAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  SaveProductPrinter(session, &session.Printers.buffer[0]);
  EXPECT_EQ(session.SavedPrinters, nullptr);
  EXPECT_EQ(fake::CountCalls("ClosePrinter"), 1);
}

TEST_F(PrinterRecreateTest, WriteStoresBothPlacesAndReportsTheDsUserWrite) {
  spooler.Add(L"W");
  HANDLE h = Open(L"W");
  EXPECT_TRUE(WritePrinterSubKey(h, "s1"));
  const printertest::FakePrinter& p = *spooler.Find(L"W");
  EXPECT_EQ(p.data.at("SubKey").type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(p.data.at("SubKey").bytes, std::string("s1", 3));
  EXPECT_EQ(p.dsUser.at("SubKey").type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(p.dsUser.at("SubKey").bytes, std::string("s1", 3));

  // The plain write failing does not stop the "DsUser" one, which decides.
  fake::Set<&Platform::SetPrinterDataA>([](HANDLE, LPSTR, DWORD, LPBYTE, DWORD) -> DWORD {
    return ERROR_ACCESS_DENIED;
  });
  EXPECT_TRUE(WritePrinterSubKey(h, "s2"));
  EXPECT_EQ(spooler.Find(L"W")->dsUser.at("SubKey").bytes, std::string("s2", 3));
  fake::Set<&Platform::SetPrinterDataExA>(
      [](HANDLE, LPCSTR, LPCSTR, DWORD, LPBYTE, DWORD) -> DWORD { return ERROR_ACCESS_DENIED; });
  EXPECT_FALSE(WritePrinterSubKey(h, "s3"));
  EXPECT_FALSE(WritePrinterSubKey(h, nullptr));
  Os().ClosePrinter(h);
}

TEST_F(PrinterRecreateTest, MarkerValueIsDeletedUnderTheProductKey) {
  std::string longKey(300, 'L');
  spooler.userKeys[kMarkerKey + "s1"] = {"deleted", "other"};
  spooler.userKeys[kMarkerKey + longKey] = {"deleted"};
  spooler.userKeys[kMarkerKey + "empty"] = {};

  EXPECT_TRUE(ClearDeletedMarker(("Loomscribes\\s1")));
  EXPECT_EQ(spooler.userKeys[kMarkerKey + "s1"], std::set<std::string>{"other"});
  EXPECT_TRUE(ClearDeletedMarker(("Loomscribes\\" + longKey).c_str()));  // formed whole
  EXPECT_FALSE(ClearDeletedMarker("Loomscribes\\empty"));   // no value
  EXPECT_FALSE(ClearDeletedMarker("Loomscribes\\absent"));  // no key
  EXPECT_FALSE(ClearDeletedMarker(nullptr));
  EXPECT_THAT(spooler.openedKeys,
              ElementsAre(kMarkerKey + "s1", kMarkerKey + longKey, kMarkerKey + "empty",
                          kMarkerKey + "absent"));
  for (REGSAM access : spooler.keyAccess) EXPECT_EQ(access, static_cast<REGSAM>(KEY_ALL_ACCESS));
  EXPECT_EQ(fake::CountCalls("RegDeleteValueA"), 3);
}

// The whole carry-over: A (default, s1) and B (s2) with a foreign printer between.
TEST_F(PrinterRecreateTest, ReinstallCarriesNamesSubKeysCommentsLocationsAndDefault) {
  spooler.monitors = {std::wstring(L"Loomscribe:")};
  printertest::FakePrinter& a = spooler.Add(L"A", std::string("s1"));
  a.comment = std::wstring(L"comment A");
  a.location = std::wstring(L"room 1");
  a.share = std::wstring(L"shareA");
  spooler.Add(L"Foreign", std::string("f")).driver = L"Generic / Text Only";
  printertest::FakePrinter& b = spooler.Add(L"B");
  b.dsUser["SubKey"] = Sz("s2");  // only under "DsUser"
  b.comment = std::wstring(L"comment B");
  spooler.defaultPrinter = L"A";
  spooler.userKeys[kMarkerKey + "s1"] = {"deleted"};
  spooler.userKeys[kMarkerKey + "s2"] = {"deleted", "keep"};
  spooler.Snapshot(session);

  DeleteAllPrinters(session);
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

  const printertest::FakePrinter& newA = *spooler.Find(L"A");
  const printertest::FakePrinter& newB = *spooler.Find(L"B");
  EXPECT_THAT(newA.comment, Optional(std::wstring(L"comment A")));
  EXPECT_THAT(newA.location, Optional(std::wstring(L"room 1")));
  EXPECT_EQ(newA.share, std::nullopt);  // only comment and location are carried
  EXPECT_THAT(newB.comment, Optional(std::wstring(L"comment B")));
  EXPECT_EQ(newB.location, std::nullopt);
  EXPECT_EQ(newA.data.at("SubKey").bytes, std::string("s1", 3));
  EXPECT_EQ(newA.dsUser.at("SubKey").bytes, std::string("s1", 3));
  EXPECT_EQ(newB.data.at("SubKey").bytes, std::string("s2", 3));
  EXPECT_EQ(newB.dsUser.at("SubKey").bytes, std::string("s2", 3));

  EXPECT_TRUE(spooler.userKeys[kMarkerKey + "s1"].empty());
  EXPECT_EQ(spooler.userKeys[kMarkerKey + "s2"], std::set<std::string>{"keep"});
  EXPECT_THAT(spooler.defaultsSet, ElementsAre(L"A"));
  EXPECT_THAT(spooler.defaultPrinter, Optional(std::wstring(L"A")));
  EXPECT_EQ(newA.attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);
}

TEST_F(PrinterRecreateTest, NothingSavedGivesOnePrinterLoomscribeWithoutDefaultChange) {
  spooler.monitors = {std::wstring(L"Loomscribe:")};
  RecreateSavedPrinters(session);
  EXPECT_THAT(Names(), ElementsAre(L"Loomscribe"));
  EXPECT_EQ(spooler.printers[0].port, L"Loomscribe:");
  EXPECT_TRUE(spooler.printers[0].data.empty());
  EXPECT_TRUE(spooler.printers[0].dsUser.empty());
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 0);
  EXPECT_EQ(fake::CountCalls("SetPrinterW"), 0);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(PrinterRecreateTest, EverySavedPrinterFailingGivesOnePrinterLoomscribe) {
  spooler.Add(L"A", std::string("s1"));
  spooler.Add(L"B", std::string("s2"));
  spooler.defaultPrinter = L"A";
  spooler.Snapshot(session);
  DeleteAllPrinters(session);
  spooler.refuseAdd = {L"A", L"B"};
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
  spooler.Add(L"A", std::string("s1"));
  spooler.Add(L"B", std::string("s2"));
  spooler.Snapshot(session);
  DeleteAllPrinters(session);
  spooler.refuseAdd = {L"B"};
  RecreateSavedPrinters(session);
  EXPECT_THAT(AddedNames(), ElementsAre(L"B", L"A"));
  EXPECT_THAT(Names(), ElementsAre(L"A"));
  EXPECT_EQ(session.ErrorCount, 1);
}

TEST_F(PrinterRecreateTest, UnreadableNewRecordStillCountsAndSetsNoDefault) {
  printertest::FakePrinter& a = spooler.Add(L"A", std::string("s1"));
  a.comment = std::wstring(L"c");
  spooler.defaultPrinter = L"A";
  spooler.userKeys[kMarkerKey + "s1"] = {"deleted"};
  spooler.Snapshot(session);
  DeleteAllPrinters(session);
  spooler.defaultPrinter.reset();
  fake::FailFrom<&Platform::GetPrinterW>(1, ERROR_ACCESS_DENIED);
  RecreateSavedPrinters(session);
  EXPECT_THAT(Names(), ElementsAre(L"A"));  // no fallback printer
  EXPECT_THAT(spooler.Find(L"A")->comment, Optional(std::wstring(L"")));
  EXPECT_EQ(spooler.Find(L"A")->location, std::nullopt);
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 0);
  EXPECT_TRUE(spooler.userKeys[kMarkerKey + "s1"].empty());  // the marker step is separate
}

TEST_F(PrinterRecreateTest, FailedDsUserWriteSkipsOnlyTheMarker) {
  printertest::FakePrinter& a = spooler.Add(L"A", std::string("s1"));
  a.location = std::wstring(L"here");
  spooler.defaultPrinter = L"A";
  spooler.userKeys[kMarkerKey + "s1"] = {"deleted"};
  spooler.Snapshot(session);
  DeleteAllPrinters(session);
  fake::Set<&Platform::SetPrinterDataExA>(
      [](HANDLE, LPCSTR, LPCSTR, DWORD, LPBYTE, DWORD) -> DWORD { return ERROR_ACCESS_DENIED; });
  RecreateSavedPrinters(session);
  EXPECT_EQ(spooler.userKeys[kMarkerKey + "s1"], std::set<std::string>{"deleted"});
  EXPECT_EQ(fake::CountCalls("RegOpenKeyExA"), 0);
  EXPECT_THAT(spooler.Find(L"A")->location, Optional(std::wstring(L"here")));
  EXPECT_THAT(spooler.defaultsSet, ElementsAre(L"A"));
}

TEST_F(PrinterRecreateTest, LongestSubKeyClearsTheMarkerOfThatExactKey) {
  const std::string s63(63, 'm');
  spooler.Add(L"A", s63);
  spooler.userKeys[kMarkerKey + s63] = {"deleted"};
  spooler.Snapshot(session);
  DeleteAllPrinters(session);
  RecreateSavedPrinters(session);
  EXPECT_THAT(spooler.openedKeys, ElementsAre(kMarkerKey + s63));
  EXPECT_TRUE(spooler.userKeys[kMarkerKey + s63].empty());
  EXPECT_EQ(spooler.Find(L"A")->dsUser.at("SubKey").bytes, s63 + std::string(1, '\0'));
}

TEST_F(PrinterRecreateTest, DefaultFlagOfAForeignDriverRecordIsNotCarried) {
  printertest::FakePrinter& f = spooler.Add(L"F", std::string("s1"));
  f.driver = L"Loomscribe printer 2";
  spooler.defaultPrinter = L"F";
  spooler.Snapshot(session);
  SaveProductPrinter(session, &session.Printers.buffer[0]);
  spooler.printers.clear();
  RecreateSavedPrinters(session);
  EXPECT_THAT(Names(), ElementsAre(L"F"));
  EXPECT_EQ(fake::CountCalls("SetDefaultPrinterW"), 0);
}

}  // namespace

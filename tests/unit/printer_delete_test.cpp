#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "printers/printers.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using testutil::LogLines;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

constexpr DWORD kDeleteAccess = DELETE | PRINTER_ACCESS_ADMINISTER;

class DeletePrintersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.InstallProduct();
    // Which printer is opened, and with what access (0: no defaults).
    fake::Wrap<&Platform::OpenPrinterW>(
        [this](auto& previous, LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
          opens.emplace_back(name ? name : L"(null)", defaults ? defaults->DesiredAccess : 0);
          return previous(name, handle, defaults);
        });
    BeginSession(session);
  }
  void TearDown() override {
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }
  std::vector<std::wstring> Names() {
    std::vector<std::wstring> out;
    for (const auto& p : world.printers) out.push_back(p.name);
    return out;
  }
  std::vector<std::pair<std::wstring, std::string>> Saved() {
    std::vector<std::pair<std::wstring, std::string>> out;
    for (SavedPrinter* n = session.SavedPrinters.get(); n; n = n->next)
      out.emplace_back(n->printer->pPrinterName, n->subKey ? n->subKey : "(null)");
    return out;
  }
  // The session's snapshot, as a run takes it.
  void Snapshot() {
    MarkDefaultPrinter(session);
    opens.clear();
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  std::vector<std::pair<std::wstring, DWORD>> opens;
};

TEST_F(DeletePrintersTest, WithoutProductPrintersOnlyTheTitleIsLogged) {
  world.AddProductPrinter(L"Other", "x").driver = L"Generic / Text Only";
  world.AddProductPrinter(L"Longer", "y").driver = L"Loomscribe printer 2";
  world.AddProductPrinter(L"Cased", "z").driver = L"loomscribe printer";
  Snapshot();
  DeleteAllPrinters(session);
  EXPECT_THAT(LogLines(session), ElementsAre(L"Loomscribe 2070", L">DeleteAllPrinters"));
  EXPECT_EQ(session.SavedPrinters.get(), nullptr);
  EXPECT_EQ(fake::CountCalls("OpenPrinterW"), 0);
  EXPECT_THAT(Names(), ElementsAre(L"Other", L"Longer", L"Cased"));
  EXPECT_EQ(session.IndentDepth, 0);
}

TEST_F(DeletePrintersTest, ProductPrintersAreSavedThenDeletedInListOrder) {
  world.AddProductPrinter(L"A", "s1");
  world.AddProductPrinter(L"Foreign", "f").driver = L"Generic / Text Only";
  world.AddProductPrinter(L"B", "s2");
  world.AddProductPrinter(L"NoKey", "");
  int staleCloses = 0;  // a handle closed twice
  fake::Wrap<&Platform::ClosePrinter>([&](auto& previous, HANDLE printer) {
    BOOL closed = previous(printer);
    if (!closed) ++staleCloses;
    return closed;
  });
  Snapshot();
  DeleteAllPrinters(session);

  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">DeleteAllPrinters", L"  >DeletePrinter(A)",
                          L"    OK", L"  >DeletePrinter(B)", L"    OK", L"  >DeletePrinter(NoKey)",
                          L"    OK"));
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(session.IndentDepth, 0);
  EXPECT_THAT(Names(), ElementsAre(L"Foreign"));
  // Pushed at the front: the last saved comes first. "NoKey" is not saved.
  EXPECT_THAT(Saved(), ElementsAre(Pair(L"B", "s2"), Pair(L"A", "s1")));
  // Each printer is read while it exists, opened as the delete step needs it;
  // a saved printer is deleted through the handle its save opened.
  EXPECT_THAT(opens, ElementsAre(Pair(L"A", kDeleteAccess), Pair(L"B", kDeleteAccess),
                                 Pair(L"NoKey", kDeleteAccess), Pair(L"NoKey", kDeleteAccess)));
  EXPECT_EQ(world.OpenHandles().printers, 0);
  EXPECT_THAT(fake::CallsAmong({"SetPrinterW", "DeletePrinter"}),
              ElementsAre("SetPrinterW", "DeletePrinter", "SetPrinterW", "DeletePrinter",
                          "SetPrinterW", "DeletePrinter"));
  // The saved nodes still point into the snapshot.
  ASSERT_NE(session.SavedPrinters.get(), nullptr);
  EXPECT_EQ(session.SavedPrinters.get()->printer, &session.Printers.buffer.get()[2]);
  EndSession(session);
  EXPECT_EQ(staleCloses, 0);
}

TEST_F(DeletePrintersTest, VanishedPrinterGivesCode16AndTheWalkGoesOn) {
  world.AddProductPrinter(L"Gone", "s0");
  world.AddProductPrinter(L"B", "s2");
  Snapshot();
  world.printers.erase(world.printers.begin());  // removed by someone else
  DeleteAllPrinters(session);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">DeleteAllPrinters", L"  >DeletePrinter(Gone)",
                          L"    Error(16): Can`t open printer 'Gone' - (" +
                              testutil::SystemText(ERROR_INVALID_PRINTER_NAME) + L")",
                          L"  >DeletePrinter(B)", L"    OK"));
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_THAT(Saved(), ElementsAre(Pair(L"B", "s2")));
  EXPECT_TRUE(world.printers.empty());
}

TEST_F(DeletePrintersTest, RefusedDeleteGivesCode17ClosesTheHandleAndKeepsTheSavedNode) {
  world.AddProductPrinter(L"Held", "s9");
  fake::FailFrom<&Platform::DeletePrinter>(1, ERROR_ACCESS_DENIED);
  Snapshot();
  DeleteAllPrinters(session);
  EXPECT_EQ(LogLines(session).back(), L"    Error(17): Can`t delete printer 'Held' - (" +
                                          testutil::SystemText(ERROR_ACCESS_DENIED) + L")");
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_THAT(Saved(), ElementsAre(Pair(L"Held", "s9")));
  EXPECT_THAT(Names(), ElementsAre(L"Held"));
  EXPECT_EQ(world.OpenHandles().printers, 0);
}

TEST_F(DeletePrintersTest, FailedPurgeDoesNotStopTheDelete) {
  world.AddProductPrinter(L"Busy", "");
  // What Wine answers to the purge.
  fake::FailWhen<&Platform::SetPrinterW>([](HANDLE, DWORD level, LPBYTE, DWORD) { return level == 0; },
                                         ERROR_INVALID_LEVEL);
  DeleteNamedPrinter(session, L"Busy");
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">DeletePrinter(Busy)", L"  OK"));
  EXPECT_TRUE(world.printers.empty());
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(DeletePrintersTest, PurgeAndDeleteReportsOnlyTheDelete) {
  world.AddProductPrinter(L"X", "");
  HANDLE h = nullptr;
  ASSERT_TRUE(Os().OpenPrinterW(const_cast<wchar_t*>(L"X"), &h, nullptr));
  fake::FailNth<&Platform::DeletePrinter>(1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(PurgeAndDeletePrinter(h));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(PurgeAndDeletePrinter(h));
  EXPECT_THAT(fake::CallsAmong({"SetPrinterW", "DeletePrinter"}),
              ElementsAre("SetPrinterW", "DeletePrinter", "SetPrinterW", "DeletePrinter"));
  Os().ClosePrinter(h);
}

TEST_F(DeletePrintersTest, NullNameNeverOpensThePrintServer) {
  DeleteNamedPrinter(session, nullptr);
  EXPECT_THAT(LogLines(session),
              ElementsAre(L"Loomscribe 2070", L">DeletePrinter(*)",
                          L"  Error(16): Can`t open printer '*' - (" +
                              testutil::SystemText(ERROR_INVALID_PRINTER_NAME) + L")"));
  EXPECT_EQ(fake::CountCalls("OpenPrinterW"), 0);
  EXPECT_EQ(session.ErrorCount, 1);
}

}  // namespace

// ListPrinters, QueryPrinterInfo and MarkDefaultPrinter
// against the machine model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printers/printers.h"
#include "session/session.h"
#include "support/fake_world.h"

using ::testing::ElementsAre;

namespace {

struct Row {
  std::wstring name;
  DWORD attributes;
};

class PrinterListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.InstallProduct();
    fake::Wrap<&Platform::GlobalAlloc>([this](auto& previous, UINT flags, SIZE_T bytes) {
      allocated.push_back(bytes);
      return previous(flags, bytes);
    });
    fake::Wrap<&Platform::GlobalFree>([this](auto& previous, HGLOBAL block) {
      freed.push_back(block);
      return previous(block);
    });
    // The block size each enumeration offers and the size it is told it needs.
    fake::Wrap<&Platform::EnumPrintersW>([this](auto& previous, DWORD flags, LPWSTR server,
                                                DWORD level, LPBYTE buffer, DWORD size,
                                                LPDWORD needed, LPDWORD returned) {
      EXPECT_EQ(flags, static_cast<DWORD>(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS));
      EXPECT_EQ(server, nullptr);
      EXPECT_EQ(level, 2u);
      sizes.push_back(size);
      BOOL ok = previous(flags, server, level, buffer, size, needed, returned);
      neededSizes.push_back(*needed);
      return ok;
    });
    fake::Wrap<&Platform::GetDefaultPrinterW>([this](auto& previous, LPWSTR buffer, LPDWORD size) {
      defaultSize = *size;
      return previous(buffer, size);
    });
    BeginSession(session);
  }
  void TearDown() override {
    list = PrinterList();
    EndSession(session);
    EXPECT_EQ(world.OpenHandles().all(), 0);
  }

  void SpoolerHas(const std::vector<Row>& rows) {
    world.printers.clear();
    for (const Row& row : rows) world.AddProductPrinter(row.name, "").attributes = row.attributes;
  }

  std::vector<DWORD> Attributes(const PrinterList& printers) {
    std::vector<DWORD> out;
    for (uint32_t i = 0; i < printers.count; ++i) out.push_back(printers.buffer.get()[i].Attributes);
    return out;
  }

  HANDLE Open(const wchar_t* name) {
    HANDLE printer = nullptr;
    EXPECT_TRUE(Os().OpenPrinterW(const_cast<wchar_t*>(name), &printer, nullptr));
    return printer;
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  PrinterList list;
  std::vector<DWORD> sizes, neededSizes;
  std::vector<SIZE_T> allocated;
  std::vector<HGLOBAL> freed;
  DWORD defaultSize = 0;
};

TEST_F(PrinterListTest, SecondCallGetsTheNeededSizeNotTheBlock) {
  SpoolerHas({{L"P1", 0}, {L"Loomscribe", 0x40}});
  ListPrinters(list);
  ASSERT_NE(list.buffer.get(), nullptr);
  EXPECT_EQ(list.count, 2u);
  ASSERT_EQ(neededSizes.size(), 2u);
  const DWORD needed = neededSizes[0];
  EXPECT_GT(needed, 2 * sizeof(PRINTER_INFO_2W));
  EXPECT_THAT(sizes, ElementsAre(0u, needed));
  EXPECT_THAT(allocated, ElementsAre(needed + 32));
  EXPECT_STREQ(list.buffer.get()[1].pPrinterName, L"Loomscribe");
  EXPECT_EQ(list.buffer.get()[1].Attributes, 0x40u);
}

TEST_F(PrinterListTest, NoPrintersIsOneCallAndNothingMarked) {
  world.defaultPrinter = L"P1";
  MarkDefaultPrinter(session);
  EXPECT_EQ(session.Printers.buffer.get(), nullptr);
  EXPECT_EQ(session.Printers.count, 0u);
  EXPECT_EQ(fake::CountCalls("EnumPrintersW"), 1);
  EXPECT_TRUE(allocated.empty());
}

TEST_F(PrinterListTest, RefillReleasesTheOldBlockAndAFailedFillLeavesNothing) {
  SpoolerHas({{L"P1", 0}});
  ListPrinters(list);
  PRINTER_INFO_2W* first = list.buffer.get();
  ASSERT_NE(first, nullptr);
  ListPrinters(list);
  EXPECT_THAT(freed, ElementsAre(first));
  EXPECT_EQ(list.count, 1u);

  // The printers change between the two calls: the second call fails.
  PRINTER_INFO_2W* second = list.buffer.get();
  fake::FailNth<&Platform::EnumPrintersW>(2, ERROR_INSUFFICIENT_BUFFER);
  ListPrinters(list);
  EXPECT_EQ(list.buffer.get(), nullptr);
  EXPECT_EQ(list.count, 0u);
  ASSERT_EQ(freed.size(), 3u);  // the old list and the new block
  EXPECT_EQ(freed[1], second);
  EXPECT_EQ(fake::CountCalls("EnumPrintersW"), 6);  // no further attempt

  // Any other error on the size query: nothing allocated.
  allocated.clear();
  fake::FailNth<&Platform::EnumPrintersW>(1, RPC_S_SERVER_UNAVAILABLE);
  ListPrinters(list);
  EXPECT_EQ(list.buffer.get(), nullptr);
  EXPECT_TRUE(allocated.empty());
}

TEST_F(PrinterListTest, NoMemoryLeavesOutOfMemory) {
  SpoolerHas({{L"P1", 0}});
  fake::FailNth<&Platform::GlobalAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  ListPrinters(list);
  EXPECT_EQ(::GetLastError(), 0x8007000Eu);
  EXPECT_EQ(list.buffer.get(), nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(fake::CountCalls("EnumPrintersW"), 1);
}

TEST_F(PrinterListTest, DefaultPrinterIsMarkedByExactName) {
  SpoolerHas({{L"P1", 0}, {L"P2", 0x40}, {L"p2", 0}, {L"P2", 0}, {L"P2 ", 0}});
  world.defaultPrinter = L"P2";
  MarkDefaultPrinter(session);
  // Every record of that name, no other; other bits kept.
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u, 0x44u, 0u, 0x4u, 0u));
  EXPECT_EQ(defaultSize, 255u);
}

TEST_F(PrinterListTest, OverlongDefaultNameMarksNothing) {
  std::wstring name(255, L'n');
  SpoolerHas({{name, 0}, {name.substr(0, 254), 0}});
  world.defaultPrinter = name;
  MarkDefaultPrinter(session);
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u, 0u));

  // 254 characters and the terminator fit.
  world.defaultPrinter = name.substr(0, 254);
  MarkDefaultPrinter(session);
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u, 0x4u));
}

TEST_F(PrinterListTest, NoDefaultPrinterMarksNothing) {
  SpoolerHas({{L"P1", 0}});
  MarkDefaultPrinter(session);
  EXPECT_EQ(session.Printers.count, 1u);
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u));
}

// The block size each GetPrinterW offers and the size it is told it needs.
void RecordPrinterSizes(std::vector<DWORD>* sizes, std::vector<DWORD>* needed) {
  fake::Wrap<&Platform::GetPrinterW>([=](auto& previous, HANDLE printer, DWORD level,
                                         LPBYTE buffer, DWORD size, LPDWORD reported) {
    EXPECT_EQ(level, 2u);
    sizes->push_back(size);
    BOOL ok = previous(printer, level, buffer, size, reported);
    needed->push_back(*reported);
    return ok;
  });
}

TEST_F(PrinterListTest, QueryPrinterInfoTwoCalls) {
  SpoolerHas({{L"P", 0x7}});
  HANDLE printer = Open(L"P");
  std::vector<DWORD> querySizes, needed;
  RecordPrinterSizes(&querySizes, &needed);
  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  ASSERT_NE(info.buffer.get(), nullptr);
  ASSERT_EQ(needed.size(), 2u);
  EXPECT_EQ(info.size, needed[0]);
  EXPECT_EQ(info.buffer.get()->Attributes, 0x7u);
  EXPECT_STREQ(info.buffer.get()->pPrinterName, L"P");
  EXPECT_THAT(querySizes, ElementsAre(0u, needed[0]));
  EXPECT_THAT(allocated, ElementsAre(needed[0]));
  Os().ClosePrinter(printer);
}

TEST_F(PrinterListTest, QueryPrinterInfoFailures) {
  SpoolerHas({{L"P", 0x7}});
  HANDLE printer = Open(L"P");
  std::vector<DWORD> querySizes, needed;
  RecordPrinterSizes(&querySizes, &needed);

  fake::FailNth<&Platform::GetPrinterW>(1, ERROR_INVALID_HANDLE);
  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer.get(), nullptr);
  EXPECT_TRUE(allocated.empty());

  fake::FailNth<&Platform::GetPrinterW>(2, ERROR_ACCESS_DENIED);
  info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer.get(), nullptr);
  EXPECT_EQ(freed.size(), 1u);

  fake::FailNth<&Platform::GlobalAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer.get(), nullptr);
  EXPECT_EQ(info.size, needed.back());
  EXPECT_EQ(::GetLastError(), 0x8007000Eu);

  // A stale ERROR_INSUFFICIENT_BUFFER from an earlier call does not lead on.
  // (A size query that succeeds and needs nothing breaks the protocol on purpose.)
  fake::Wrap<&Platform::GetPrinterW>([](auto&, HANDLE, DWORD, LPBYTE, DWORD, LPDWORD reported) -> BOOL {
    *reported = 0;
    return TRUE;
  });
  ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  allocated.clear();
  info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer.get(), nullptr);
  EXPECT_TRUE(allocated.empty());
  Os().ClosePrinter(printer);
}


}  // namespace

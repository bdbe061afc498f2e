// ListPrinters, QueryPrinterInfo, ClosePrinterHandle and MarkDefaultPrinter
// against a fake spooler.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "printers/printers.h"
#include "session/session.h"
#include "support/fake_platform.h"

using ::testing::ElementsAre;

namespace {

struct Row {
  std::wstring name;
  DWORD attributes;
};

// Level-2 records packed the spooler's way: records first, then the names.
DWORD PackPrinters(const std::vector<Row>& rows, BYTE* buffer, DWORD size) {
  DWORD needed = static_cast<DWORD>(rows.size() * sizeof(PRINTER_INFO_2W));
  for (const Row& row : rows) needed += static_cast<DWORD>((row.name.size() + 1) * 2);
  if (!buffer || size < needed) return needed;
  auto* records = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
  auto* strings = reinterpret_cast<wchar_t*>(buffer + rows.size() * sizeof(PRINTER_INFO_2W));
  for (size_t i = 0; i < rows.size(); ++i) {
    records[i] = {};
    records[i].pPrinterName = strings;
    std::memcpy(strings, rows[i].name.c_str(), (rows[i].name.size() + 1) * 2);
    strings += rows[i].name.size() + 1;
    records[i].Attributes = rows[i].attributes;
  }
  return needed;
}

class PrinterListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    fake::Set<&Platform::GlobalAlloc>([this](UINT flags, SIZE_T bytes) -> HGLOBAL {
      allocated.push_back(bytes);
      return ::GlobalAlloc(flags, bytes);
    });
    fake::Set<&Platform::GlobalFree>([this](HGLOBAL block) -> HGLOBAL {
      freed.push_back(block);
      return ::GlobalFree(block);
    });
  }
  void TearDown() override {
    FreePrinterList(list);
    EndSession(session);
  }

  void SpoolerHas(const std::vector<Row>& rows) {
    fake::Set<&Platform::EnumPrintersW>([this, rows](DWORD flags, LPWSTR server, DWORD level,
                                                     LPBYTE buffer, DWORD size, LPDWORD needed,
                                                     LPDWORD returned) -> BOOL {
      EXPECT_EQ(flags, static_cast<DWORD>(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS));
      EXPECT_EQ(server, nullptr);
      EXPECT_EQ(level, 2u);
      sizes.push_back(size);
      *returned = 0;
      if (rows.empty()) {
        *needed = 0;
        return TRUE;
      }
      *needed = PackPrinters(rows, buffer, size);
      if (!buffer || size < *needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      *returned = static_cast<DWORD>(rows.size());
      return TRUE;
    });
  }

  void DefaultIs(const std::wstring& name) {
    fake::Set<&Platform::GetDefaultPrinterW>([this, name](LPWSTR buffer, LPDWORD size) -> BOOL {
      defaultSize = *size;
      if (*size < name.size() + 1) {
        *size = static_cast<DWORD>(name.size() + 1);
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      std::memcpy(buffer, name.c_str(), (name.size() + 1) * 2);
      *size = static_cast<DWORD>(name.size() + 1);
      return TRUE;
    });
  }

  std::vector<DWORD> Attributes(const PrinterList& printers) {
    std::vector<DWORD> out;
    for (uint32_t i = 0; i < printers.count; ++i) out.push_back(printers.buffer[i].Attributes);
    return out;
  }

  fake::FakePlatform os;
  InstallSession session;
  PrinterList list;
  std::vector<DWORD> sizes;
  std::vector<SIZE_T> allocated;
  std::vector<HGLOBAL> freed;
  DWORD defaultSize = 0;
};

TEST_F(PrinterListTest, SecondCallGetsTheNeededSizeNotTheBlock) {
  std::vector<Row> rows = {{L"P1", 0}, {L"Loomscribe", 0x40}};
  SpoolerHas(rows);
  ListPrinters(list);
  ASSERT_NE(list.buffer, nullptr);
  EXPECT_EQ(list.count, 2u);
  const DWORD needed = PackPrinters(rows, nullptr, 0);
  EXPECT_THAT(sizes, ElementsAre(0u, needed));
  EXPECT_THAT(allocated, ElementsAre(needed + 32));
  EXPECT_STREQ(list.buffer[1].pPrinterName, L"Loomscribe");
  EXPECT_EQ(list.buffer[1].Attributes, 0x40u);
}

TEST_F(PrinterListTest, NoPrintersIsOneCallAndNothingMarked) {
  SpoolerHas({});
  DefaultIs(L"P1");
  MarkDefaultPrinter(session);
  EXPECT_EQ(session.Printers.buffer, nullptr);
  EXPECT_EQ(session.Printers.count, 0u);
  EXPECT_EQ(fake::CountCalls("EnumPrintersW"), 1);
  EXPECT_TRUE(allocated.empty());
}

TEST_F(PrinterListTest, RefillReleasesTheOldBlockAndAFailedFillLeavesNothing) {
  SpoolerHas({{L"P1", 0}});
  ListPrinters(list);
  PRINTER_INFO_2W* first = list.buffer;
  ASSERT_NE(first, nullptr);
  ListPrinters(list);
  EXPECT_THAT(freed, ElementsAre(first));
  EXPECT_EQ(list.count, 1u);

  // The printers change between the two calls: the second call fails.
  PRINTER_INFO_2W* second = list.buffer;
  fake::FailNth<&Platform::EnumPrintersW>(2, ERROR_INSUFFICIENT_BUFFER);
  ListPrinters(list);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  ASSERT_EQ(freed.size(), 3u);  // the old list and the new block
  EXPECT_EQ(freed[1], second);
  EXPECT_EQ(fake::CountCalls("EnumPrintersW"), 6);  // no further attempt

  // Any other error on the size query: nothing allocated.
  allocated.clear();
  fake::FailNth<&Platform::EnumPrintersW>(1, RPC_S_SERVER_UNAVAILABLE);
  ListPrinters(list);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_TRUE(allocated.empty());
}

TEST_F(PrinterListTest, NoMemoryLeavesOutOfMemory) {
  SpoolerHas({{L"P1", 0}});
  fake::FailNth<&Platform::GlobalAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  ListPrinters(list);
  EXPECT_EQ(::GetLastError(), 0x8007000Eu);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(fake::CountCalls("EnumPrintersW"), 1);
}

TEST_F(PrinterListTest, DefaultPrinterIsMarkedByExactName) {
  SpoolerHas({{L"P1", 0}, {L"P2", 0x40}, {L"p2", 0}, {L"P2", 0}, {L"P2 ", 0}});
  DefaultIs(L"P2");
  MarkDefaultPrinter(session);
  // Every record of that name, no other; other bits kept.
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u, 0x44u, 0u, 0x4u, 0u));
  EXPECT_EQ(defaultSize, 255u);
}

TEST_F(PrinterListTest, OverlongDefaultNameMarksNothing) {
  std::wstring name(255, L'n');
  SpoolerHas({{name, 0}, {name.substr(0, 254), 0}});
  DefaultIs(name);
  MarkDefaultPrinter(session);
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u, 0u));

  // 254 characters and the terminator fit.
  DefaultIs(name.substr(0, 254));
  MarkDefaultPrinter(session);
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u, 0x4u));
}

TEST_F(PrinterListTest, NoDefaultPrinterMarksNothing) {
  SpoolerHas({{L"P1", 0}});
  fake::Set<&Platform::GetDefaultPrinterW>([](LPWSTR, LPDWORD) -> BOOL {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  });
  MarkDefaultPrinter(session);
  EXPECT_EQ(session.Printers.count, 1u);
  EXPECT_THAT(Attributes(session.Printers), ElementsAre(0u));
}

// GetPrinterW for one printer whose record needs `needed` bytes.
void PrinterAnswers(HANDLE expected, DWORD needed, std::vector<DWORD>* sizes) {
  fake::Set<&Platform::GetPrinterW>([=](HANDLE printer, DWORD level, LPBYTE buffer, DWORD size,
                                        LPDWORD reported) -> BOOL {
    EXPECT_EQ(printer, expected);
    EXPECT_EQ(level, 2u);
    sizes->push_back(size);
    *reported = needed;
    if (!buffer || size < needed) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memset(buffer, 0, size);
    reinterpret_cast<PRINTER_INFO_2W*>(buffer)->Attributes = 0x7;
    return TRUE;
  });
}

TEST_F(PrinterListTest, QueryPrinterInfoTwoCalls) {
  HANDLE printer = reinterpret_cast<HANDLE>(0x77);
  std::vector<DWORD> querySizes;
  PrinterAnswers(printer, 400, &querySizes);
  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  ASSERT_NE(info.buffer, nullptr);
  EXPECT_EQ(info.size, 400u);
  EXPECT_EQ(info.buffer->Attributes, 0x7u);
  EXPECT_THAT(querySizes, ElementsAre(0u, 400u));
  EXPECT_THAT(allocated, ElementsAre(400u));
  ::GlobalFree(info.buffer);
}

TEST_F(PrinterListTest, QueryPrinterInfoFailures) {
  HANDLE printer = reinterpret_cast<HANDLE>(0x77);
  std::vector<DWORD> querySizes;
  PrinterAnswers(printer, 400, &querySizes);

  fake::FailNth<&Platform::GetPrinterW>(1, ERROR_INVALID_HANDLE);
  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer, nullptr);
  EXPECT_TRUE(allocated.empty());

  PrinterAnswers(printer, 400, &querySizes);
  fake::FailNth<&Platform::GetPrinterW>(2, ERROR_ACCESS_DENIED);
  info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer, nullptr);
  EXPECT_EQ(freed.size(), 1u);

  PrinterAnswers(printer, 400, &querySizes);
  fake::FailNth<&Platform::GlobalAlloc>(1, ERROR_NOT_ENOUGH_MEMORY);
  info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer, nullptr);
  EXPECT_EQ(info.size, 400u);
  EXPECT_EQ(::GetLastError(), 0x8007000Eu);

  // A stale ERROR_INSUFFICIENT_BUFFER from an earlier call does not lead on.
  fake::Set<&Platform::GetPrinterW>([](HANDLE, DWORD, LPBYTE, DWORD, LPDWORD reported) -> BOOL {
    *reported = 0;
    return TRUE;
  });
  ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  allocated.clear();
  info = QueryPrinterInfo(printer);
  EXPECT_EQ(info.buffer, nullptr);
  EXPECT_TRUE(allocated.empty());
}

TEST_F(PrinterListTest, ClosePrinterHandleReportsTheResult) {
  fake::Set<&Platform::ClosePrinter>([](HANDLE printer) -> BOOL {
    return printer == reinterpret_cast<HANDLE>(0x1);
  });
  EXPECT_TRUE(ClosePrinterHandle(reinterpret_cast<HANDLE>(0x1)));
  EXPECT_FALSE(ClosePrinterHandle(reinterpret_cast<HANDLE>(0x2)));
  EXPECT_EQ(fake::CountCalls("ClosePrinter"), 2);
}

}  // namespace

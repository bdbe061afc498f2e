// The product's component files inside Wine's spooler: the port monitor
// loaded by the spooler, the driver with its configuration DLL answering the
// device-mode queries of AddPrinterW, a job printed through the port, and the
// version resources the setup tool reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "support/test_util.h"
#include "support/wine_spooler.h"

namespace {

const wchar_t kPrinter[] = L"Loomscribe components test";

class ComponentsSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { winespool::RemoveAllProductState(); }
  void TearDown() override { winespool::RemoveAllProductState(); }
};

std::vector<std::wstring> PortNames(DWORD level) {
  DWORD needed = 0, count = 0;
  ::EnumPortsW(nullptr, level, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed);
  std::vector<std::wstring> names;
  if (!needed || !::EnumPortsW(nullptr, level, buffer.data(), needed, &needed, &count))
    return names;
  for (DWORD i = 0; i < count; ++i) {
    const wchar_t* name = level == 1 ? reinterpret_cast<PORT_INFO_1W*>(buffer.data())[i].pName
                                     : reinterpret_cast<PORT_INFO_2W*>(buffer.data())[i].pPortName;
    names.push_back(name ? name : L"");
  }
  return names;
}

// The fixed product version of a file as "a.b.c.d", or "" without one.
std::wstring ProductVersion(const std::wstring& path) {
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (!size) return L"";
  std::vector<BYTE> data(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return L"";
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info)
    return L"";
  return std::to_wstring(HIWORD(info->dwProductVersionMS)) + L"." +
         std::to_wstring(LOWORD(info->dwProductVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwProductVersionLS)) + L"." +
         std::to_wstring(LOWORD(info->dwProductVersionLS)) + L"/" +
         std::to_wstring(LOWORD(info->dwFileVersionLS));
}

TEST_F(ComponentsSystemTest, SpoolerLoadsMonitorAndDriverAndPrintsAJob) {
  ASSERT_TRUE(winespool::InstallProductMonitor()) << ::GetLastError();
  EXPECT_TRUE(winespool::Contains(winespool::MonitorNames(), winespool::kPort));
  // The spooler asks the monitor for its ports at both levels.
  EXPECT_TRUE(winespool::Contains(PortNames(1), winespool::kPort));
  EXPECT_TRUE(winespool::Contains(PortNames(2), winespool::kPort));

  ASSERT_TRUE(winespool::InstallProductDriver()) << ::GetLastError();
  EXPECT_TRUE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));

  ASSERT_TRUE(winespool::AddPrinterOn(kPrinter, winespool::kDriver, winespool::kPort))
      << ::GetLastError();
  bool listed = false;
  for (const auto& row : winespool::Printers())
    if (row.name == kPrinter) {
      listed = true;
      EXPECT_EQ(row.port, winespool::kPort);
      EXPECT_EQ(row.driver, winespool::kDriver);
    }
  EXPECT_TRUE(listed);

  HANDLE printer = nullptr;
  ASSERT_TRUE(::OpenPrinterW(const_cast<LPWSTR>(kPrinter), &printer, nullptr)) << ::GetLastError();

  // The default device mode stored with the printer came from lmxui64.dll.
  DWORD needed = 0;
  ::GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> info(needed);
  ASSERT_TRUE(::GetPrinterW(printer, 2, info.data(), needed, &needed));
  const DEVMODEW* stored = reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pDevMode;
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->dmPaperSize, DMPAPER_A4);
  EXPECT_EQ(stored->dmDriverVersion, 0x0100);
  EXPECT_EQ(std::wstring(stored->dmDeviceName), std::wstring(kPrinter).substr(0, CCHDEVICENAME - 1));

  // Document properties: the size, then a caller's settings merged over the defaults.
  LONG size = ::DocumentPropertiesW(nullptr, printer, const_cast<LPWSTR>(kPrinter), nullptr,
                                    nullptr, 0);
  EXPECT_EQ(size, static_cast<LONG>(sizeof(DEVMODEW)));
  DEVMODEW in = {};
  in.dmSize = sizeof(in);
  in.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
  in.dmOrientation = DMORIENT_LANDSCAPE;
  in.dmPaperSize = DMPAPER_LETTER;
  in.dmCopies = 1000;  // out of range: the default stays
  DEVMODEW out = {};
  out.dmSize = sizeof(out);
  EXPECT_GT(::DocumentPropertiesW(nullptr, printer, const_cast<LPWSTR>(kPrinter), &out, &in,
                                  DM_IN_BUFFER | DM_OUT_BUFFER),
            0);
  EXPECT_EQ(out.dmOrientation, DMORIENT_LANDSCAPE);
  EXPECT_EQ(out.dmPaperSize, DMPAPER_LETTER);
  EXPECT_EQ(std::wstring(out.dmFormName), L"Letter");
  EXPECT_EQ(out.dmCopies, 1);

  // A tiny job through the port.
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"components test"), nullptr,
                     const_cast<LPWSTR>(L"RAW")};
  DWORD job = ::StartDocPrinterW(printer, 1, reinterpret_cast<BYTE*>(&doc));
  EXPECT_NE(job, 0u) << ::GetLastError();
  const char data[] = "%!PS\n showpage\n";
  DWORD written = 0;
  EXPECT_TRUE(::WritePrinter(printer, const_cast<char*>(data), sizeof(data) - 1, &written))
      << ::GetLastError();
  EXPECT_EQ(written, sizeof(data) - 1);
  EXPECT_TRUE(::EndDocPrinter(printer)) << ::GetLastError();
  EXPECT_TRUE(::ClosePrinter(printer));

  winespool::RemoveAllProductState();
  for (const auto& row : winespool::Printers()) EXPECT_NE(row.name, kPrinter);
  EXPECT_FALSE(winespool::Contains(winespool::DriverNames(), winespool::kDriver));
  EXPECT_FALSE(winespool::Contains(winespool::MonitorNames(), winespool::kPort));
  EXPECT_FALSE(testutil::FileExists(winespool::SystemDirectoryPath() + L"lmxmon64.dll"));
  EXPECT_FALSE(testutil::FileExists(winespool::DriverDirectory() + L"3\\lmxui64.dll"));
}

TEST_F(ComponentsSystemTest, ComponentFilesCarryTheirBuildNumbers) {
  const std::wstring product = testutil::ProductX64Directory() + L"\\";
  EXPECT_EQ(ProductVersion(product + L"lmxmon64.dll"), L"1.0.0.2070/2070");
  EXPECT_EQ(ProductVersion(product + L"lmxdrv64.dll"), L"1.0.0.2070/2070");
  EXPECT_TRUE(testutil::FileExists(product + L"lmxui64.dll"));
  EXPECT_TRUE(testutil::FileExists(product + L"lmxhelp.chm"));

  const std::wstring variants = testutil::WindowsPath(LMX_BUILD_DIR_UNIX) + L"\\variants\\";
  for (int build : {1213, 1214, 2043, 2044, 2070, 2071}) {
    std::wstring expected = L"1.0.0." + std::to_wstring(build) + L"/" + std::to_wstring(build);
    std::wstring dir = variants + std::to_wstring(build) + L"\\";
    EXPECT_EQ(ProductVersion(dir + L"lmxmon64.dll"), expected) << build;
    EXPECT_EQ(ProductVersion(dir + L"lmxdrv64.dll"), expected) << build;
  }
  EXPECT_TRUE(testutil::FileExists(variants + L"noversion\\lmxmon64.dll"));
  EXPECT_EQ(ProductVersion(variants + L"noversion\\lmxmon64.dll"), L"");
  EXPECT_EQ(ProductVersion(variants + L"noversion\\lmxdrv64.dll"), L"");
}

}  // namespace

// lmxlist: prints what the spooler and the registry hold of the product:
// port monitors, drivers, printers with port and driver, the default
// printer, the tray program's Run value and whether the tray program runs.
// A test tool: it calls Windows directly; it links no test framework.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/product_state.h"
#include "support/wine_spooler.h"

namespace {

void Print(const std::wstring& line) {
  std::wstring text = line + L"\n";
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n,
                          nullptr, nullptr);
  std::fwrite(out.data(), 1, out.size(), stdout);
}

std::wstring Or(const wchar_t* text, const wchar_t* fallback = L"(none)") {
  return text && *text ? std::wstring(text) : std::wstring(fallback);
}

void ListMonitors() {
  DWORD count = 0;
  auto block = winespool::Enumerate(
      [](BYTE* b, DWORD n, DWORD* need, DWORD* c) {
        return ::EnumMonitorsW(nullptr, 2, b, n, need, c);
      },
      &count);
  Print(L"Port monitors (" + std::to_wstring(count) + L"):");
  auto* records = reinterpret_cast<MONITOR_INFO_2W*>(block.data());
  for (DWORD i = 0; i < count; ++i)
    Print(L"  " + Or(records[i].pName) + L"  [" + Or(records[i].pDLLName) + L"]");
}

void ListDrivers() {
  DWORD count = 0;
  auto block = winespool::Enumerate(
      [](BYTE* b, DWORD n, DWORD* need, DWORD* c) {
        wchar_t environment[] = L"Windows x64";
        return ::EnumPrinterDriversW(nullptr, environment, 3, b, n, need, c);
      },
      &count);
  Print(L"Printer drivers for Windows x64 (" + std::to_wstring(count) + L"):");
  auto* records = reinterpret_cast<DRIVER_INFO_3W*>(block.data());
  for (DWORD i = 0; i < count; ++i)
    Print(L"  " + Or(records[i].pName) + L"  version " + std::to_wstring(records[i].cVersion) +
          L", driver " + Or(records[i].pDriverPath) + L", help " + Or(records[i].pHelpFile));
}

void ListPrinters() {
  DWORD count = 0;
  auto block = winespool::Enumerate(
      [](BYTE* b, DWORD n, DWORD* need, DWORD* c) {
        return ::EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, n,
                               need, c);
      },
      &count);
  Print(L"Printers (" + std::to_wstring(count) + L"):");
  auto* records = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
  for (DWORD i = 0; i < count; ++i)
    Print(L"  " + Or(records[i].pPrinterName) + L"  port " + Or(records[i].pPortName) +
          L", driver " + Or(records[i].pDriverName));

  wchar_t name[512] = {};
  DWORD size = 512;
  Print(L"Default printer: " + (::GetDefaultPrinterW(name, &size) ? std::wstring(name)
                                                                  : std::wstring(L"(none)")));
}

void ShowTray() {
  std::wstring value = productrun::ReadRunValue();
  Print(L"Run value LoomscribeTray: " + (value.empty() ? std::wstring(L"(none)") : value));
  Print(std::wstring(L"Tray program: ") +
        (productrun::TrayMutexExists() ? L"running" : L"not running"));
}

}  // namespace

int main() {
  ListMonitors();
  ListDrivers();
  ListPrinters();
  ShowTray();
  std::fflush(stdout);
  return 0;
}

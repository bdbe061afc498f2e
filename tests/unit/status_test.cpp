// The status commands (onChkDrv, def.set, onInit) on the whole-machine fake.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sequences/sequences.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"

namespace {

const wchar_t kDriver[] = L"Loomscribe printer";
const std::wstring kStore = std::wstring(fake::World::kDriverDir) + L"\\3\\";
const std::wstring kDriverFile = kStore + L"lmxdrv64.dll";

struct Machine {
  fake::FakePlatform os;
  fake::World world;
  Machine() { world.InstallProduct(); }
  ~Machine() { EXPECT_EQ(world.OpenHandles().all(), 0) << "every handle is closed"; }
  void AddPrinter(const std::wstring& name, const std::wstring& driver) {
    world.AddProductPrinter(name, "").driver = driver;
  }
  void Queue(const std::vector<std::wstring>& strings) {
    std::wstring all;
    for (const auto& s : strings) all += s + L'\0';
    all += L'\0';
    world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))]
                  ["pendingfilerenameoperations"] = {
        REG_MULTI_SZ, std::string(reinterpret_cast<const char*>(all.data()), all.size() * 2)};
  }
};

struct Case {
  const char* what;
  std::function<void(Machine&)> set;
  bool answer;
};

// --- onChkDrv ---------------------------------------------------------------

TEST(StatusTest, TheFirstProductPrintersDriverBuildDecides) {
  auto build = [](int n) { return [n](Machine& m) { m.world.AddFile(kDriverFile, "x", n); }; };
  const std::vector<Case> cases = {
      {"2044", build(2044), true},
      {"2045", build(2045), true},
      {"65535", build(65535), true},
      {"2043", build(2043), false},
      {"0", build(0), false},
      {"no version resource", build(-1), false},
      {"the record names no driver file", [](Machine& m) { m.world.drivers[0].driverPath.clear(); },
       false},
      {"no product printer", [](Machine& m) { m.world.printers.pop_back(); }, false},
      {"the spooler does not answer",
       [](Machine&) { fake::FailFrom<&Platform::EnumPrintersW>(1, RPC_S_SERVER_UNAVAILABLE); },
       false},
      // Drivers whose names only resemble the product's are not taken,
      // however recent; neither is a later product printer when the first
      // cannot be opened.
      {"near misses first",
       [](Machine& m) {
         m.world.AddFile(kDriverFile, "x", 2043);
         for (const wchar_t* similar : {L"Loomscribe printer 2", L"loomscribe printer"}) {
           fake::WorldDriver driver = m.world.drivers[0];
           driver.name = similar;
           driver.driverPath = kStore + L"new.dll";
           m.world.drivers.push_back(driver);
           m.world.printers.insert(m.world.printers.begin(), m.world.printers.back());
           m.world.printers.front().name = std::wstring(L"Near ") + similar;
           m.world.printers.front().driver = similar;
         }
         m.world.AddFile(kStore + L"new.dll", "x", 2070);
       },
       false},
      {"the first cannot be opened",
       [](Machine& m) {
         m.world.FindPrinter(L"Loomscribe")->name = L"First";
         m.AddPrinter(L"Second", kDriver);
         fake::FailWhen<&Platform::OpenPrinterW>(
             [](LPWSTR name, LPHANDLE, LPPRINTER_DEFAULTSW) {
               return name && std::wstring(name) == L"First";
             },
             ERROR_ACCESS_DENIED);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    m.AddPrinter(L"Foreign", L"Generic / Text Only");
    m.AddPrinter(L"Loomscribe", kDriver);
    c.set(m);
    EXPECT_EQ(IsDriverUpToDate(), c.answer);
  }
}

// --- def.set ------------------------------------------------------------------

TEST(StatusTest, TheFirstProductPrinterBecomesTheDefault) {
  struct Default {
    const char* what;
    std::vector<std::pair<std::wstring, std::wstring>> printers;
    bool spoolerAnswers;
    std::wstring after;
  };
  const Default cases[] = {
      {"two of the product's",
       {{L"Foreign", L"Generic / Text Only"}, {L"Loomscribe (2)", kDriver}, {L"Loomscribe", kDriver}},
       true, L"Loomscribe (2)"},
      {"a driver name in another letter case",
       {{L"Foreign", L"Generic / Text Only"}, {L"Case", L"LOOMSCRIBE PRINTER"}}, true, L"Foreign"},
      {"the spooler does not answer", {{L"Foreign", L"Generic / Text Only"}, {L"Loomscribe", kDriver}},
       false, L"Foreign"},
  };
  for (const Default& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    for (const auto& p : c.printers) m.AddPrinter(p.first, p.second);
    m.world.defaultPrinter = L"Foreign";
    if (!c.spoolerAnswers) fake::FailFrom<&Platform::EnumPrintersW>(1, RPC_S_SERVER_UNAVAILABLE);
    SetOurPrinterAsDefault();
    EXPECT_EQ(m.world.defaultPrinter, c.after);
  }
}

// --- onInit: the default printer ------------------------------------------------

TEST(StatusTest, OnlyAReadableProductPrinterAsDefaultIsNotForeign) {
  const std::vector<Case> cases = {
      {"no default printer", [](Machine& m) { m.world.defaultPrinter.clear(); }, true},
      {"a foreign default", [](Machine& m) { m.world.defaultPrinter = L"Foreign"; }, true},
      {"the product's", [](Machine&) {}, false},
      {"its record cannot be read",
       [](Machine&) { fake::FailFrom<&Platform::GetPrinterW>(1, ERROR_ACCESS_DENIED); }, true},
      {"it cannot be opened",
       [](Machine&) { fake::FailFrom<&Platform::OpenPrinterW>(1, ERROR_ACCESS_DENIED); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    m.AddPrinter(L"Foreign", L"Generic / Text Only");
    m.AddPrinter(L"Loomscribe", kDriver);
    m.world.defaultPrinter = L"Loomscribe";
    c.set(m);
    EXPECT_EQ(IsDefaultPrinterForeign(), c.answer);
  }
}

// --- onInit: queued component files -------------------------------------------------

// A queued deletion that can be done now is done; only a component file that
// still waits for the restart of Windows answers true, and only then is the
// spooler restarted (twice) in the hope that it lets go of the file.
TEST(StatusTest, OnlyAComponentFileThatStillWaitsAnswersTrue) {
  const std::wstring ui = L"C:\\Windows\\System32\\lmxui64.dll";
  struct Pending {
    const char* what;
    std::vector<std::wstring> queued;
    std::vector<std::wstring> deletable, held, loaded;  // files on disk
    bool answer;
    int restarts;
    std::vector<std::wstring> gone;  // files deleted now
  };
  const Pending cases[] = {
      {"nothing queued", {}, {}, {}, {}, false, 0, {}},
      {"a deletion done now", {L"\\??\\" + ui, L""}, {ui}, {}, {}, false, 0, {ui}},
      {"a held file", {L"\\??\\" + kDriverFile, L""}, {}, {kDriverFile}, {}, true, 2, {}},
      {"a file the first restart lets go of", {L"\\??\\" + ui, L""}, {}, {}, {ui}, false, 1, {ui}},
      // A rename is never carried out early; it matches in any directory and
      // letter case.
      {"a rename",
       {L"\\??\\C:\\Windows\\other.dll", L"", L"\\??\\D:\\Some\\Where\\LMXMON64.DLL",
        L"\\??\\C:\\x\\renamed.dll"},
       {L"C:\\Windows\\other.dll"}, {L"D:\\Some\\Where\\LMXMON64.DLL"}, {}, true, 2,
       {L"C:\\Windows\\other.dll"}},
      {"a rename without prefix", {L"C:\\tmp\\LmxMon64.dll", L"\\??\\C:\\x\\r.dll"}, {},
       {L"C:\\tmp\\LmxMon64.dll"}, {}, true, 2, {}},
      {"a rename of the UI file", {L"\\??\\E:\\LMXUI64.DLL", L"\\??\\C:\\x\\r.dll"}, {},
       {L"E:\\LMXUI64.DLL"}, {}, true, 2, {}},
      // Only the whole file name of an existing file matches.
      {"near misses",
       {L"\\??\\C:\\dir\\lmxmon64.dll.bak", L"\\??\\C:\\dir\\a",     // longer name
        L"\\??\\C:\\lmxmon64.dll\\inner.dll", L"\\??\\C:\\dir\\b",   // only a directory
        L"\\??\\C:\\dir\\xlmxdrv64.dll", L"\\??\\C:\\dir\\c",        // longer in front
        L"\\??\\C:\\gone\\lmxdrv64.dll", L"\\??\\C:\\dir\\d",        // no such file
        L"\\??\\C:\\dir\\e", L"\\??\\C:\\dir\\lmxui64.dll",          // only the destination
        L"\\??\\C:\\dir\\lmxmon64.dll"},                             // odd string, dropped
       {},
       {L"C:\\dir\\lmxmon64.dll.bak", L"C:\\lmxmon64.dll\\inner.dll", L"C:\\dir\\xlmxdrv64.dll",
        L"C:\\dir\\e", L"C:\\dir\\lmxui64.dll", L"C:\\dir\\lmxmon64.dll"},
       {}, false, 0, {}},
  };
  for (const Pending& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    if (!c.queued.empty()) m.Queue(c.queued);
    for (const std::wstring& file : c.deletable) m.world.AddFile(file);
    for (const std::wstring& file : c.held) {
      m.world.AddFile(file);
      m.world.FindFile(file)->lockedForever = true;
    }
    for (const std::wstring& file : c.loaded) {
      m.world.AddFile(file);
      m.world.lingeringModules.push_back(file);
    }
    auto stops = std::make_shared<int>(0);
    fake::Wrap<&Platform::ControlService>(
        [stops](auto& previous, SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
          *stops += control == SERVICE_CONTROL_STOP;
          return previous(service, control, status);
        });
    EXPECT_EQ(HasPendingComponentFiles(), c.answer);
    EXPECT_EQ(*stops, c.restarts);
    EXPECT_TRUE(m.world.spoolerRunning);
    for (const auto* files : {&c.deletable, &c.held, &c.loaded})
      for (const std::wstring& file : *files)
        EXPECT_EQ(m.world.HasFile(file),
                  std::find(c.gone.begin(), c.gone.end(), file) == c.gone.end())
            << file;
  }
}

}  // namespace

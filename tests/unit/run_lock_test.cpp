// One run at a time, on the whole-machine fake: the lock file beside
// install.exe that install, uninstall and the commands that change the
// machine wait for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "dispatch.h"

#include <sddl.h>

#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::wstring kLockFile = L"C:\\Program Files\\Loomscribe\\x64\\install.lock";
const char kRunKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const DWORD kTenMinutes = 600000;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Everything on the machine but the log folder, as text: two equal texts
// mean the run changed nothing a later run or the user could see.
std::string Snapshot(const fake::World& w) {
  std::ostringstream out;
  for (const auto& f : w.files)
    if (f.first.rfind(L"c:\\programdata\\", 0) != 0 && f.first.find(L"install.lock") == f.first.npos)
      out << "file " << Narrow(f.first) << " " << f.second.bytes.size() << "\n";
  for (const auto& key : w.registry)
    for (const auto& value : key.second)
      out << "reg " << key.first << "\\" << value.first << "=" << value.second.bytes << "\n";
  for (const auto& p : w.printers)
    out << "printer " << Narrow(p.name) << " " << Narrow(p.port) << " "
        << Narrow(p.driver) << "\n";
  for (const auto& m : w.monitors) out << "monitor " << Narrow(m.name) << "\n";
  for (const auto& d : w.drivers) out << "driver " << Narrow(d.name) << "\n";
  out << "default " << Narrow(w.defaultPrinter) << " tray " << w.trayRunning
      << " spooler " << w.spoolerRunning << " boot " << w.bootDeletes.size();
  return out.str();
}

class RunLockTest : public ::testing::Test {
 protected:
  int Dispatch(const wchar_t* word) {
    return testutil::RunCommand({word});
  }
  // A machine with the product, one printer the default, a queued deletion
  // of an existing component file that nothing holds.
  void Furnish() {
    world.InstallProduct();
    world.AddProductPrinter(L"Loomscribe", "sub");
    world.defaultPrinter = L"Loomscribe";
    fake::WorldPrinter other;
    other.name = L"Other";
    other.port = L"LPT1:";
    other.driver = L"Generic / Text Only";
    world.printers.push_back(other);
    world.AddFile(L"C:\\windows\\system32\\lmxui64.dll", "stale");
    std::wstring list =
        std::wstring(L"\\??\\C:\\windows\\system32\\lmxui64.dll") + L'\0' + L'\0' + L'\0';
    world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))]
                  ["pendingfilerenameoperations"] = {
        REG_MULTI_SZ, std::string(reinterpret_cast<const char*>(list.data()), list.size() * 2)};
  }
  fake::FakePlatform os;
  fake::World world;
};

// Another run holds the lock file until `until` on the fake clock (0: for good).
void HeldByAnotherRunUntil(DWORD until) {
  fake::FailWhen<&Platform::CreateFileW>(
      [until](LPCWSTR path, auto...) {
        return std::wstring(path) == kLockFile && (until == 0 || fake::TheClock().now < until);
      },
      ERROR_SHARING_VIOLATION);
}

TEST_F(RunLockTest, AHeldLockEndsInstallAndUninstallWith18AfterTenMinutesChangingNothing) {
  Furnish();
  HeldByAnotherRunUntil(0);
  const std::string before = Snapshot(world);
  for (const wchar_t* word : {L"install", L"uninstall"}) {
    SCOPED_TRACE(Narrow(word));
    world.dialogs.clear();
    DWORD start = fake::TheClock().now;
    EXPECT_EQ(Dispatch(word), kExitErrors);
    EXPECT_EQ(Snapshot(world), before);
    EXPECT_GE(fake::TheClock().now - start, kTenMinutes);
    EXPECT_LT(fake::TheClock().now - start, kTenMinutes + 1000);
    ASSERT_EQ(world.dialogs.size(), 1u);
    EXPECT_THAT(testutil::SplitLines(world.dialogs[0].text),
                ElementsAre(L"Loomscribe 2070",
                            L"Error(18): Can`t wait for the other install.exe run to end - (" +
                                testutil::SystemText(ERROR_TIMEOUT) + L")"));
  }
  EXPECT_EQ(fake::CountCalls("OpenSCManagerW") + fake::CountCalls("EnumPrintersW"), 0);
}

TEST_F(RunLockTest, ASquatterOfTheOldNameCannotDelayARunAndOneThatWaitedSaysHowLong) {
  // Any user may create and hold the old machine-wide name: nobody waits on it.
  world.mutexes[L"Global\\Loomscribe.Install"].heldByOther = true;
  DWORD start = fake::TheClock().now;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  EXPECT_LT(fake::TheClock().now - start, 5000u);

  // Another run lets go after 9 minutes: this one waits, works, and says so.
  HeldByAnotherRunUntil(fake::TheClock().now + 9 * 60 * 1000);
  world.shiftDown = true;
  EXPECT_EQ(Dispatch(L"un"), kExitUninstalled);
  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_THAT(testutil::SplitLines(world.dialogs[0].text),
              ::testing::Contains(L"Waited 540.000 s for the other install.exe run to end"));
  EXPECT_TRUE(world.drivers.empty());
}

TEST_F(RunLockTest, TheLockFileIsOursAloneAndARunThatDidNotLetGoIsNamed) {
  world.RemoveFile(kLockFile);
  bool heldAtWindow = false;
  fake::Wrap<&Platform::DialogBoxParamW>(
      [&](auto& dialog, HINSTANCE i, LPCWSTR t, HWND o, DLGPROC p, LPARAM l) -> INT_PTR {
        heldAtWindow = world.HasFile(kLockFile) && !world.FindFile(kLockFile)->bytes.empty();
        return dialog(i, t, o, p, l);
      });
  world.shiftDown = true;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  ASSERT_TRUE(world.HasFile(kLockFile));
  EXPECT_EQ(world.FindFile(kLockFile)->sddl, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)");
  EXPECT_EQ(world.FindFile(kLockFile)->bytes, "");  // let go: emptied
  EXPECT_FALSE(heldAtWindow);
  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_THAT(testutil::SplitLines(world.dialogs[0].text),
              Not(Contains(HasSubstr(L"ended without letting go"))));

  // A run cut off while it held the lock left its mark.
  world.FindFile(kLockFile)->bytes = "process 77, started 2026-12-07 09:00:00 UTC\r\n";
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  ASSERT_EQ(world.dialogs.size(), 2u);
  EXPECT_THAT(testutil::SplitLines(world.dialogs[1].text),
              Contains(L"Took over from an install.exe run that ended without letting go "
                       L"(process 77, started 2026-12-07 09:00:00 UTC)"));
  // An uninstall takes the file away with it.
  EXPECT_EQ(Dispatch(L"uninstall"), kExitUninstalled);
  EXPECT_FALSE(world.HasFile(kLockFile));
}

TEST_F(RunLockTest, StatusCommandsWaitForTheLockAndChangeNothingWithoutIt) {
  Furnish();
  world.defaultPrinter = L"Other";
  HeldByAnotherRunUntil(fake::TheClock().now + 3 * kTenMinutes + 5000);
  const std::string before = Snapshot(world);
  EXPECT_EQ(Dispatch(L"def.set"), kExitDefaultSet);
  EXPECT_EQ(Dispatch(L"removetray"), kExitUnrecognised);
  // The queued deletion is not carried out, no spooler restart; the answer
  // comes from the table as it stands.
  EXPECT_EQ(Dispatch(L"onInit"), kExitComponentPending);
  EXPECT_EQ(Snapshot(world), before);
  EXPECT_EQ(fake::CountCalls("ControlService"), 0);
  EXPECT_TRUE(world.dialogs.empty());
  EXPECT_TRUE(world.FilesIn(fake::World::kLogDir).empty());

  // Free: each does its work and lets go.
  fake::TheClock().now += 10000;
  EXPECT_EQ(Dispatch(L"def.set"), kExitDefaultSet);
  EXPECT_EQ(world.defaultPrinter, L"Loomscribe");
  EXPECT_EQ(Dispatch(L"onInit"), kExitNo);
  EXPECT_FALSE(world.HasFile(L"C:\\windows\\system32\\lmxui64.dll"));
  EXPECT_EQ(Dispatch(L"removetray"), kExitUnrecognised);
  EXPECT_EQ(world.FindRegValue(kRunKey, "LoomscribeTray"), nullptr);
  EXPECT_EQ(world.FindFile(kLockFile)->bytes, "");
}

}  // namespace

// One run at a time, on the whole-machine fake: the machine-wide mutex that
// install, uninstall and the commands that change the machine wait for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "dispatch.h"

#include <sddl.h>

#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

const wchar_t kLockName[] = L"Global\\Loomscribe.Install";
const char kRunKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const DWORD kTenMinutes = 600000;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Everything on the machine but the log folder, as text: two equal texts
// mean the run changed nothing a later run or the user could see.
std::string Snapshot(const fake::World& w) {
  std::ostringstream out;
  for (const auto& f : w.files)
    if (f.first.rfind(L"c:\\programdata\\", 0) != 0)
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

TEST_F(RunLockTest, ARefusedMutexEndsInstallAndUninstallWith18AfterTenMinutesChangingNothing) {
  Furnish();
  fake::FailFrom<&Platform::CreateMutexExW>(1, ERROR_ACCESS_DENIED);
  const std::string before = Snapshot(world);
  for (const wchar_t* word : {L"install", L"uninstall"}) {
    SCOPED_TRACE(Narrow(word));
    world.dialogs.clear();
    DWORD start = fake::TheClock().now;
    EXPECT_EQ(Dispatch(word), kExitErrors);
    EXPECT_EQ(Snapshot(world), before);
    // Retried for the whole bound, and not much longer.
    EXPECT_GE(fake::TheClock().now - start, kTenMinutes);
    EXPECT_LT(fake::TheClock().now - start, kTenMinutes + 1000);
    ASSERT_EQ(world.dialogs.size(), 1u);
    EXPECT_THAT(testutil::SplitLines(world.dialogs[0].text),
                ElementsAre(L"Loomscribe 2070",
                            L"Error(18): Can`t wait for the other install.exe run to end - (" +
                                testutil::SystemText(ERROR_ACCESS_DENIED) + L")"));
  }
  EXPECT_EQ(fake::CountCalls("OpenSCManagerW") + fake::CountCalls("EnumPrintersW"), 0);
}

TEST_F(RunLockTest, ARunHeldPastTheBoundTimesOutInFakeTimeAndOneThatLetsGoInTimeIsWaitedFor) {
  Furnish();
  const std::string before = Snapshot(world);
  world.mutexes[kLockName].heldByOther = true;
  DWORD start = fake::TheClock().now;
  EXPECT_EQ(Dispatch(L"un"), kExitErrors);
  EXPECT_EQ(fake::TheClock().now - start, kTenMinutes);
  EXPECT_EQ(Snapshot(world), before);
  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_THAT(testutil::SplitLines(world.dialogs[0].text).back(),
              ::testing::StartsWith(L"Error(18): Can`t wait for the other install.exe run to end"));

  // The other run lets go after 9 minutes: this one then does its work.
  world.dialogs.clear();
  world.mutexes[kLockName].otherLetsGoAfterMs = 9 * 60 * 1000;
  EXPECT_EQ(Dispatch(L"un"), kExitUninstalled);
  ASSERT_EQ(world.printers.size(), 1u);
  EXPECT_EQ(world.printers[0].name, L"Other");
  EXPECT_TRUE(world.drivers.empty());
  EXPECT_EQ(world.mutexes.count(kLockName), 0u);
}

TEST_F(RunLockTest, AnAbandonedLockIsTakenOverAndReleasedAtTheEnd) {
  world.mutexes[kLockName].abandoned = true;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  EXPECT_NE(world.FindDriver(L"Loomscribe printer"), nullptr);
  EXPECT_EQ(world.printers.size(), 1u);
  // Let go and closed: no handle, no owner is left.
  EXPECT_EQ(world.mutexes.count(kLockName), 0u);
}

TEST_F(RunLockTest, TheLockHasItsAccessListAndIsLetGoAfterTheLogFileBeforeTheWindow) {
  std::wstring sddl, name;
  DWORD access = 0;
  fake::Wrap<&Platform::CreateMutexExW>(
      [&](auto& create, LPSECURITY_ATTRIBUTES sa, LPCWSTR n, DWORD flags, DWORD a) -> HANDLE {
        LPWSTR text = nullptr;
        if (sa && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                      sa->lpSecurityDescriptor, SDDL_REVISION_1,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
          sddl = text;
          ::LocalFree(text);
        }
        name = n;
        access = a;
        return create(sa, n, flags, a);
      });
  bool heldAtWindow = true;
  size_t logFilesAtWindow = 0;
  fake::Wrap<&Platform::DialogBoxParamW>(
      [&](auto& dialog, HINSTANCE i, LPCWSTR t, HWND o, DLGPROC p, LPARAM l) -> INT_PTR {
        heldAtWindow = world.mutexes.count(kLockName) != 0;
        logFilesAtWindow = world.FilesIn(fake::World::kLogDir).size();
        return dialog(i, t, o, p, l);
      });
  world.shiftDown = true;
  EXPECT_EQ(Dispatch(L"install"), kExitInstalled);
  EXPECT_EQ(name, kLockName);
  EXPECT_EQ(access, static_cast<DWORD>(SYNCHRONIZE | MUTEX_MODIFY_STATE));
  EXPECT_EQ(sddl, L"D:P(A;;0x100001;;;SY)(A;;0x100001;;;BA)(A;;0x100001;;;OW)");
  EXPECT_FALSE(heldAtWindow);
  EXPECT_EQ(logFilesAtWindow, 1u);
  // Taken before the session's first step.
  std::vector<std::string> calls = fake::CallsAmong({"CreateMutexExW", "OpenSCManagerW"});
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0], "CreateMutexExW");
}

TEST_F(RunLockTest, StatusCommandsWaitForTheLockAndChangeNothingWithoutIt) {
  Furnish();
  world.defaultPrinter = L"Other";
  world.mutexes[kLockName].heldByOther = true;
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
  world.mutexes.erase(kLockName);
  EXPECT_EQ(Dispatch(L"def.set"), kExitDefaultSet);
  EXPECT_EQ(world.defaultPrinter, L"Loomscribe");
  EXPECT_EQ(Dispatch(L"onInit"), kExitNo);
  EXPECT_FALSE(world.HasFile(L"C:\\windows\\system32\\lmxui64.dll"));
  EXPECT_EQ(Dispatch(L"removetray"), kExitUnrecognised);
  EXPECT_EQ(world.FindRegValue(kRunKey, "LoomscribeTray"), nullptr);
  EXPECT_EQ(world.mutexes.count(kLockName), 0u);
}

}  // namespace

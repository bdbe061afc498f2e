// The tray program stopped and unregistered, registered and started, on the
// whole-machine fake.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"
#include "tray/tray.h"

using ::testing::ElementsAre;

namespace {

const char kValue[] = "LoomscribeTray";
const std::wstring kTray = std::wstring(fake::World::kProductDir) + L"\\lsbtray.exe";

// An installed product whose tray program runs from kTray, named by the Run
// value; every handle is closed again by the end.
struct Machine {
  fake::FakePlatform os;
  fake::World world;
  Machine() {
    world.InstallProduct();
    // What lies beyond the value's data is whatever the buffer held: noise.
    fake::Wrap<&Platform::RegQueryValueExW>([](auto& previous, HKEY key, LPCWSTR name,
                                               LPDWORD reserved, LPDWORD type, LPBYTE data,
                                               LPDWORD size) {
      if (data && size) std::memset(data, 'X', *size);
      return previous(key, name, reserved, type, data, size);
    });
  }
  ~Machine() { EXPECT_EQ(world.OpenHandles().all(), 0) << "every handle is closed"; }

  bool HasRunValue() { return world.FindRegValue(fake::World::kRunKey, kValue) != nullptr; }
  void SetRunValue(const std::wstring& text, bool terminated = true, DWORD type = REG_SZ) {
    world.registry[fake::World::Lower(std::string(fake::World::kRunKey))]
                  [fake::World::Lower(std::string(kValue))] = {
        type, std::string(reinterpret_cast<const char*>(text.c_str()),
                          (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t))};
  }
  // The tray program runs, but not from the file the Run value names.
  void TrayElsewhere() { world.trayPath = L"C:\\elsewhere\\lsbtray.exe"; }
};

// The handshake: post the quit message, wait up to 5 s for the tray's mutex;
// at most 20 passes (250 ms apart while no window shows), then one last wait.
// The value goes in every case; the file too, unless the tray still holds it.
TEST(StopTrayTest, TheHandshakeWaitsOnlyAsLongAsTheTrayGivesCause) {
  struct Case {
    const char* what;
    std::function<void(Machine&)> set;
    DWORD slept;
    bool trayRunsAfter, fileStays;
  };
  const Case cases[] = {
      {"quits on the first message", [](Machine&) {}, 0, false, false},
      {"not running: no handshake", [](Machine& m) { m.world.trayRunning = false; }, 0, false,
       false},
      // Its file stays held: nine 100 ms pauses between ten delete attempts.
      {"never lets go", [](Machine& m) { m.world.trayQuitsOnRequest = false; },
       21 * 5000 + 9 * 100, true, true},
      {"no window ever",
       [](Machine& m) {
         m.TrayElsewhere();
         fake::FailFrom<&Platform::FindWindowW>(1, ERROR_INVALID_WINDOW_HANDLE);
       },
       20 * 250, true, false},
      {"window gone after a post",
       [](Machine& m) {
         m.TrayElsewhere();
         m.world.trayQuitsOnRequest = false;
         fake::FailFrom<&Platform::FindWindowW>(2, ERROR_INVALID_WINDOW_HANDLE);
       },
       2 * 5000, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    c.set(m);
    StopAndUnregisterTray();
    EXPECT_EQ(fake::TheClock().slept, c.slept);
    EXPECT_EQ(m.world.trayRunning, c.trayRunsAfter);
    EXPECT_EQ(m.world.HasFile(kTray), c.fileStays);
    EXPECT_FALSE(m.HasRunValue());
  }
}

// The tray died holding its mutex: the first wait inherits it, the window is
// gone at the next look, and the last wait obtains it once more. Each time
// it was obtained it is let go again, or the next tray program could not
// take it.
TEST(StopTrayTest, AnAbandonedMutexIsLetGoAsOftenAsItWasObtained) {
  Machine m;
  auto owned = std::make_shared<int>(0);
  auto waits = std::make_shared<int>(0);
  fake::Wrap<&Platform::WaitForSingleObject>([owned, waits](auto& previous, HANDLE h, DWORD ms) {
    DWORD result = ++*waits == 1 ? WAIT_ABANDONED : previous(h, ms);
    *owned += result == WAIT_ABANDONED || result == WAIT_OBJECT_0;
    return result;
  });
  fake::Wrap<&Platform::ReleaseMutex>([owned](auto& previous, HANDLE h) {
    BOOL ok = previous(h);
    *owned -= ok ? 1 : 0;
    return ok;
  });
  StopAndUnregisterTray();
  EXPECT_EQ(*waits, 2);
  EXPECT_EQ(*owned, 0);
}

// Without the tray's mutex nothing shows whether the tray still runs: its
// file stays, the value goes. Without the Run key both stay.
TEST(StopTrayTest, WhatCannotBeOpenedKeepsWhatItGuards) {
  {
    Machine m;
    fake::FailFrom<&Platform::CreateMutexA>(1, ERROR_ACCESS_DENIED);
    StopAndUnregisterTray();
    EXPECT_TRUE(m.world.HasFile(kTray));
    EXPECT_EQ(fake::TheClock().slept, 0u);  // no attempt at the running tray's file
    EXPECT_FALSE(m.HasRunValue());
  }
  {
    Machine m;
    m.world.trayRunning = false;
    fake::FailFrom<&Platform::RegOpenKeyExA>(1, ERROR_ACCESS_DENIED);
    StopAndUnregisterTray();
    EXPECT_TRUE(m.world.HasFile(kTray));
    EXPECT_TRUE(m.HasRunValue());
  }
}

// A re-install keeps the tray program it is about to start again; the name
// is compared as Windows compares paths, without letter case.
TEST(StopTrayTest, AFileToKeepStaysWhileAnotherIsDeleted) {
  for (const wchar_t* keep : {L"c:\\program files\\LOOMSCRIBE\\lsbtray.exe", L"D:\\Other\\lsbtray.exe"}) {
    SCOPED_TRACE(keep);
    Machine m;
    StopAndUnregisterTray(keep);
    EXPECT_EQ(m.world.HasFile(kTray), keep[0] == L'c');
    EXPECT_FALSE(m.HasRunValue());
    EXPECT_FALSE(m.world.trayRunning);
  }
}

// Ten delete attempts at most, 100 ms apart while access is denied, 10 ms
// for any other error; none for a file already gone.
TEST(StopTrayTest, DeleteAttemptsFollowTheError) {
  struct Case {
    const char* what;
    std::function<DWORD(int)> error;
    DWORD slept;
    bool fileStays;
  };
  const Case cases[] = {
      {"access denied throughout", [](int) { return DWORD{ERROR_ACCESS_DENIED}; }, 9 * 100, true},
      {"sharing violation throughout", [](int) { return DWORD{ERROR_SHARING_VIOLATION}; }, 9 * 10,
       true},
      {"file already gone", [](int) { return DWORD{ERROR_FILE_NOT_FOUND}; }, 0, true},
      {"denied, then other, then deleted",
       [](int n) {
         return n == 1 ? DWORD{ERROR_ACCESS_DENIED} : n == 2 ? DWORD{ERROR_LOCK_VIOLATION} : DWORD{0};
       },
       100 + 10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    m.world.trayRunning = false;
    auto attempt = std::make_shared<int>(0);
    fake::Wrap<&Platform::DeleteFileW>([attempt, &c](auto& previous, LPCWSTR path) -> BOOL {
      DWORD error = c.error(++*attempt);
      if (!error) return previous(path);
      ::SetLastError(error);
      return FALSE;
    });
    StopAndUnregisterTray();
    EXPECT_EQ(fake::TheClock().slept, c.slept);
    EXPECT_EQ(m.world.HasFile(kTray), c.fileStays);
    EXPECT_FALSE(m.HasRunValue());
  }
}

// The Run value is read within its data, and only an absolute path of a file
// named lsbtray.exe is deleted; a value that cannot be read (missing, or too
// long for the buffer) costs one second.
TEST(StopTrayTest, OnlyTheFileTheRunValueWhollyNamesIsDeleted) {
  const std::wstring other = L"C:\\T\\lsbtray.exe";
  struct Case {
    const char* what;
    std::function<void(Machine&)> set;
    bool otherDeleted;
    DWORD slept;
  };
  const Case cases[] = {
      {"unterminated, shorter than the buffer", [&](Machine& m) { m.SetRunValue(other, false); },
       true, 0},
      {"an odd byte count: the half character is dropped",
       [&](Machine& m) {
         m.SetRunValue(other + L"Z", false);
         m.world.FindRegValue(fake::World::kRunKey, kValue)->bytes.pop_back();
       },
       true, 0},
      // Only a cut path could be formed, and a cut path names another file.
      {"260 characters without a terminator",
       [](Machine& m) { m.SetRunValue(L"C:\\" + std::wstring(257, L'a'), false); }, false, 0},
      {"too long for the buffer",
       [](Machine& m) { m.SetRunValue(L"C:\\" + std::wstring(300, L'a')); }, false, 1000},
      {"missing",
       [](Machine& m) {
         m.world.registry[fake::World::Lower(std::string(fake::World::kRunKey))].clear();
       },
       false, 1000},
      {"binary", [](Machine& m) { m.SetRunValue(kTray, true, REG_BINARY); }, false, 0},
      {"multi-string", [](Machine& m) { m.SetRunValue(kTray, true, REG_MULTI_SZ); }, false, 0},
      {"number", [](Machine& m) { m.SetRunValue(kTray, true, REG_DWORD); }, false, 0},
      {"empty", [](Machine& m) { m.SetRunValue(L""); }, false, 0},
      {"a directory", [](Machine& m) { m.SetRunValue(fake::World::kModuleDir); }, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    m.world.trayRunning = false;
    m.world.AddFile(other);
    c.set(m);
    StopAndUnregisterTray();
    EXPECT_EQ(m.world.HasFile(other), !c.otherDeleted);
    EXPECT_TRUE(m.world.HasFile(kTray));
    EXPECT_EQ(fake::TheClock().slept, c.slept);
    EXPECT_FALSE(m.HasRunValue());
  }
}

// ---------------------------------------------------------------------------
class StartTrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    // A tray program never ends: a wait for it would hold the run for good.
    fake::Wrap<&Platform::WaitForSingleObject>([](auto& previous, HANDLE h, DWORD ms) {
      fake::TheClock().slept += ms;
      return previous(h, ms);
    });
  }
  void TearDown() override {
    EXPECT_EQ(world.OpenHandles().all(), 0) << "every handle is closed";
    EXPECT_EQ(fake::TheClock().slept, 0u);
    EXPECT_EQ(session.ErrorCount, 0);
    EXPECT_THAT(testutil::LogLines(session), ElementsAre(L"Loomscribe 2070"));  // silent
    EndSession(session);
  }

  // Runs from `moduleDirectory` with a tray program in `tray`; what the Run
  // value holds (its terminator included) and what was started.
  void RunFrom(const std::wstring& moduleDirectory, const std::wstring& tray = L"") {
    world.registry[fake::World::Lower(std::string(fake::World::kRunKey))].clear();
    world.trayRunning = false;
    world.trayPath.clear();
    if (!tray.empty()) world.AddFile(tray);
    Assign(session.ModuleDirectory, moduleDirectory.c_str());
    RegisterAndStartTray(session);
    fake::WorldRegValue* value = world.FindRegValue(fake::World::kRunKey, kValue);
    runValue = value ? std::wstring(reinterpret_cast<const wchar_t*>(value->bytes.data()),
                                    value->bytes.size() / 2)
                     : L"<none>";
    started = world.trayRunning ? world.trayPath : L"<none>";
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  std::wstring runValue, started;
};

// lsbtray.exe in the parent of the program's directory.
TEST_F(StartTrayTest, NamesTheTrayProgramInTheParentDirectory) {
  struct Case {
    const wchar_t* module;
    const wchar_t* tray;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\Loomscribe\\x64\\", L"C:\\Program Files\\Loomscribe\\lsbtray.exe"},
      {L"D:/prod/x64/", L"D:/prod\\lsbtray.exe"},
      {L"C:\\prod\\x64", L"C:\\prod\\lsbtray.exe"},
      {L"C:\\x64\\", L"C:\\lsbtray.exe"},
      {L"C:\\", L"lsbtray.exe"},  // the drive's root: the bare file name
      {L"", L"lsbtray.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testutil::Widen("module ") + c.module);
    RunFrom(c.module, c.tray);
    EXPECT_EQ(runValue, std::wstring(c.tray) + L'\0');
    EXPECT_EQ(started, c.tray);
  }
}

// A longer path keeps its full length in the Run value, but is not started:
// its first 259 characters would name another file.
TEST_F(StartTrayTest, TheTrayIsStartedOnlyFromAPathOfAtMost259Characters) {
  for (size_t length : {259u, 260u, 305u}) {
    SCOPED_TRACE(length);
    std::wstring product = L"C:\\" + std::wstring(length - 3 - 12, L'q');
    std::wstring tray = product + L"\\lsbtray.exe";
    RunFrom(product + L"\\x64\\", tray);
    EXPECT_EQ(runValue, tray + L'\0');
    EXPECT_EQ(started, length <= 259 ? tray : L"<none>");
  }
}

TEST_F(StartTrayTest, OlderWindowsGetsNothing) {
  const std::pair<DWORD, DWORD> versions[] = {
      {VER_PLATFORM_WIN32_NT, 5}, {VER_PLATFORM_WIN32_WINDOWS, 6}, {VER_PLATFORM_WIN32s, 10}};
  const std::pair<DWORD, DWORD>* version = versions;
  fake::Wrap<&Platform::GetVersionExA>([&version](auto& previous, LPOSVERSIONINFOA info) {
    BOOL ok = previous(info);
    info->dwPlatformId = version->first;
    info->dwMajorVersion = version->second;
    return ok;
  });
  for (; version != std::end(versions); ++version) {
    RunFrom(fake::WorldModuleDirectory(), kTray);
    EXPECT_EQ(runValue, L"<none>");
    EXPECT_EQ(started, L"<none>");
  }
  version = versions + 2;  // unread: the call fails
  fake::FailNth<&Platform::GetVersionExA>(1, ERROR_INVALID_PARAMETER);
  RunFrom(fake::WorldModuleDirectory(), kTray);
  EXPECT_EQ(runValue, L"<none>");
  EXPECT_EQ(started, L"<none>");
}

// The value and the start fail apart and silently.
TEST_F(StartTrayTest, FailuresAreSilentAndIndependent) {
  auto denied = std::make_shared<bool>(true);
  fake::FailWhen<&Platform::RegOpenKeyExA>([denied](auto...) { return *denied; },
                                           ERROR_ACCESS_DENIED);
  RunFrom(fake::WorldModuleDirectory(), kTray);
  EXPECT_EQ(runValue, L"<none>");
  EXPECT_EQ(started, kTray);  // started although the value could not be written

  *denied = false;
  world.RemoveFile(kTray);
  RunFrom(fake::WorldModuleDirectory());
  EXPECT_EQ(runValue, kTray + L'\0');
  EXPECT_EQ(started, L"<none>");
}

}  // namespace

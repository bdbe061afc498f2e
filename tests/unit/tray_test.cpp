#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/session.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"
#include "tray/tray.h"

using ::testing::Each;
using ::testing::ElementsAre;

namespace {

HANDLE const kMutex = reinterpret_cast<HANDLE>(0x4711);
HKEY const kRunKey = reinterpret_cast<HKEY>(0x5150);
HWND const kTrayWindow = reinterpret_cast<HWND>(0x2222);

// The Run key, the tray mutex and the file system as StopAndUnregisterTray
// meets them.
class StopTrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Set<&Platform::CreateMutexA>([this](LPSECURITY_ATTRIBUTES attributes, BOOL owner,
                                              LPCSTR name) -> HANDLE {
      EXPECT_EQ(attributes, nullptr);
      EXPECT_FALSE(owner);
      EXPECT_STREQ(name, "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}");
      if (!mutexHandle) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
      }
      ::SetLastError(trayRunning ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
      return mutexHandle;
    });
    fake::Set<&Platform::ReleaseMutex>([this](HANDLE h) {
      EXPECT_EQ(h, kMutex);
      ++released;
      return TRUE;
    });
    fake::Set<&Platform::CloseHandle>([](HANDLE h) {
      EXPECT_EQ(h, kMutex);
      return TRUE;
    });
    fake::Set<&Platform::FindWindowW>([this](LPCWSTR cls, LPCWSTR title) -> HWND {
      EXPECT_STREQ(cls, L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}");
      EXPECT_EQ(title, nullptr);
      ++finds;
      return windowFor(finds) ? kTrayWindow : nullptr;
    });
    fake::Set<&Platform::PostMessageW>([this](HWND w, UINT message, WPARAM wp, LPARAM lp) {
      EXPECT_EQ(w, kTrayWindow);
      EXPECT_EQ(message, 1026u);
      EXPECT_EQ(wp, 0u);
      EXPECT_EQ(lp, 0);
      ++posts;
      return TRUE;
    });
    fake::Set<&Platform::WaitForSingleObject>([this](HANDLE h, DWORD ms) -> DWORD {
      EXPECT_EQ(h, kMutex);
      waits.push_back(ms);
      fake::TheClock().now += ms;
      fake::TheClock().slept += ms;
      return waitResult(static_cast<int>(waits.size()));
    });
    fake::Set<&Platform::RegOpenKeyExA>([this](HKEY root, LPCSTR path, DWORD options, REGSAM sam,
                                               PHKEY key) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      EXPECT_STREQ(path, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
      EXPECT_EQ(options, 0u);
      EXPECT_EQ(sam, static_cast<REGSAM>(KEY_ALL_ACCESS));
      if (openError != ERROR_SUCCESS) return openError;
      *key = kRunKey;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegQueryValueExW>([this](HKEY key, LPCWSTR name, LPDWORD reserved,
                                                  LPDWORD type, LPBYTE data,
                                                  LPDWORD bytes) -> LSTATUS {
      EXPECT_EQ(key, kRunKey);
      EXPECT_STREQ(name, L"LoomscribeTray");
      EXPECT_EQ(reserved, nullptr);
      EXPECT_NE(data, nullptr);
      EXPECT_EQ(*bytes, 520u);
      queriedBufferBytes = *bytes;
      if (!valuePresent) return ERROR_FILE_NOT_FOUND;
      if (valueBytes.size() > *bytes) {
        *bytes = static_cast<DWORD>(valueBytes.size());
        return ERROR_MORE_DATA;
      }
      // What lies beyond the data is whatever the buffer held: make it noise.
      memset(data, 'X', *bytes);
      memcpy(data, valueBytes.data(), valueBytes.size());
      *bytes = static_cast<DWORD>(valueBytes.size());
      if (type) *type = valueType;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegDeleteValueA>([this](HKEY key, LPCSTR name) -> LSTATUS {
      EXPECT_EQ(key, kRunKey);
      deletedValue = name;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegCloseKey>([](HKEY key) -> LSTATUS {
      EXPECT_EQ(key, kRunKey);
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::GetFileAttributesW>([this](LPCWSTR path) -> DWORD {
      return std::wstring(path) == directoryPath ? FILE_ATTRIBUTE_DIRECTORY
                                                 : FILE_ATTRIBUTE_ARCHIVE;
    });
    fake::Set<&Platform::DeleteFileW>([this](LPCWSTR path) -> BOOL {
      deleted.push_back(path);
      DWORD error = deleteError(static_cast<int>(deleted.size()));
      if (error == ERROR_SUCCESS) return TRUE;
      ::SetLastError(error);
      return FALSE;
    });
    SetRunValue(L"C:\\Program Files\\Loomscribe\\lsbtray.exe");
  }

  void SetRunValue(const std::wstring& text, bool terminated = true) {
    valueBytes.assign(reinterpret_cast<const char*>(text.c_str()),
                      (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
  }
  std::vector<DWORD> SleepsOnly() const { return fake::TheClock().sleeps; }

  fake::FakePlatform os;
  HANDLE mutexHandle = kMutex;
  bool trayRunning = true;
  std::function<bool(int)> windowFor = [](int) { return true; };
  std::function<DWORD(int)> waitResult = [](int) { return WAIT_OBJECT_0; };
  std::function<DWORD(int)> deleteError = [](int) { return ERROR_SUCCESS; };
  LSTATUS openError = ERROR_SUCCESS;
  bool valuePresent = true;
  DWORD valueType = REG_SZ;
  std::string valueBytes;
  std::wstring directoryPath;
  DWORD queriedBufferBytes = 0;
  int finds = 0, posts = 0, released = 0;
  std::vector<DWORD> waits;
  std::vector<std::wstring> deleted;
  std::string deletedValue;
};

TEST_F(StopTrayTest, TrayThatQuitsOnFirstMessageEndsAfterOnePost) {
  StopAndUnregisterTray();
  EXPECT_EQ(posts, 1);
  EXPECT_THAT(waits, ElementsAre(5000u));
  EXPECT_EQ(released, 1);  // the wait obtained the mutex
  EXPECT_THAT(deleted, ElementsAre(L"C:\\Program Files\\Loomscribe\\lsbtray.exe"));
  EXPECT_EQ(deletedValue, "LoomscribeTray");
  EXPECT_THAT(fake::CallsAmong({"CreateMutexA", "FindWindowW", "PostMessageW",
                                "WaitForSingleObject", "ReleaseMutex", "CloseHandle",
                                "RegOpenKeyExA", "RegQueryValueExW", "DeleteFileW",
                                "RegDeleteValueA", "RegCloseKey"}),
              ElementsAre("CreateMutexA", "FindWindowW", "PostMessageW", "WaitForSingleObject",
                          "ReleaseMutex", "CloseHandle", "RegOpenKeyExA", "RegQueryValueExW",
                          "DeleteFileW", "RegDeleteValueA", "RegCloseKey"));
  EXPECT_TRUE(SleepsOnly().empty());
}

TEST_F(StopTrayTest, WindowThatNeverLetsGoCostsTwentyPassesAndOneLastWait) {
  waitResult = [](int) { return WAIT_TIMEOUT; };
  StopAndUnregisterTray();
  EXPECT_EQ(finds, 20);
  EXPECT_EQ(posts, 20);
  EXPECT_EQ(waits.size(), 21u);
  EXPECT_THAT(waits, Each(5000u));
  EXPECT_EQ(fake::TheClock().slept, 21u * 5000u);
  EXPECT_EQ(released, 0);
  EXPECT_EQ(deleted.size(), 1u);  // the file and the value go anyway
  EXPECT_EQ(deletedValue, "LoomscribeTray");
}

TEST_F(StopTrayTest, NoWindowEverCostsTwentyShortSleeps) {
  windowFor = [](int) { return false; };
  StopAndUnregisterTray();
  EXPECT_EQ(finds, 20);
  EXPECT_EQ(posts, 0);
  EXPECT_TRUE(waits.empty());
  EXPECT_EQ(SleepsOnly(), std::vector<DWORD>(20, 250));
  EXPECT_EQ(fake::TheClock().slept, 5000u);
}

TEST_F(StopTrayTest, WindowGoneAfterAPostEndsWithOneLastWait) {
  windowFor = [](int find) { return find == 1; };
  waitResult = [](int) { return WAIT_TIMEOUT; };
  StopAndUnregisterTray();
  EXPECT_EQ(finds, 2);
  EXPECT_EQ(posts, 1);
  EXPECT_THAT(waits, ElementsAre(5000u, 5000u));
  EXPECT_TRUE(SleepsOnly().empty());
}

TEST_F(StopTrayTest, AbandonedMutexIsReleasedAsOftenAsItWasObtained) {
  // The tray died holding the mutex: the first wait inherits it, the window
  // is gone at the next look, and the last wait obtains it once more.
  windowFor = [](int find) { return find == 1; };
  waitResult = [](int wait) { return wait == 1 ? WAIT_ABANDONED : WAIT_OBJECT_0; };
  StopAndUnregisterTray();
  EXPECT_EQ(waits.size(), 2u);
  EXPECT_EQ(released, 2);
}

TEST_F(StopTrayTest, NewMutexMeansNoHandshakeButFileAndValueGo) {
  trayRunning = false;
  StopAndUnregisterTray();
  EXPECT_EQ(finds, 0);
  EXPECT_EQ(posts, 0);
  EXPECT_TRUE(waits.empty());
  EXPECT_EQ(released, 0);
  EXPECT_EQ(fake::CountCalls("CloseHandle"), 1);
  EXPECT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deletedValue, "LoomscribeTray");
  EXPECT_EQ(fake::TheClock().slept, 0u);
}

TEST_F(StopTrayTest, AFileToKeepStaysWhileAnotherIsDeleted) {
  // A re-install keeps the tray program it is about to start again; the
  // name is compared as Windows compares paths, without letter case.
  StopAndUnregisterTray(L"c:\\program files\\LOOMSCRIBE\\lsbtray.exe");
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(deletedValue, "LoomscribeTray");
  EXPECT_EQ(posts, 1);

  deletedValue.clear();
  StopAndUnregisterTray(L"D:\\Other\\lsbtray.exe");
  EXPECT_THAT(deleted, ::testing::ElementsAre(L"C:\\Program Files\\Loomscribe\\lsbtray.exe"));
  EXPECT_EQ(deletedValue, "LoomscribeTray");
}

TEST_F(StopTrayTest, NoMutexHandleKeepsTheFileButDeletesTheValue) {
  mutexHandle = nullptr;
  StopAndUnregisterTray();
  EXPECT_EQ(fake::CountCalls("FindWindowW"), 0);
  EXPECT_EQ(fake::CountCalls("CloseHandle"), 0);
  EXPECT_EQ(fake::CountCalls("RegQueryValueExW"), 0);
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(deletedValue, "LoomscribeTray");
}

TEST_F(StopTrayTest, RunKeyThatCannotBeOpenedLeavesFileAndValue) {
  trayRunning = false;
  openError = ERROR_ACCESS_DENIED;
  StopAndUnregisterTray();
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(fake::CountCalls("RegDeleteValueA"), 0);
  EXPECT_EQ(fake::CountCalls("RegCloseKey"), 0);
}

TEST_F(StopTrayTest, MissingRunValueCostsOneSecond) {
  trayRunning = false;
  valuePresent = false;
  StopAndUnregisterTray();
  EXPECT_TRUE(deleted.empty());
  EXPECT_THAT(SleepsOnly(), ElementsAre(1000u));
  EXPECT_EQ(deletedValue, "LoomscribeTray");
}

TEST_F(StopTrayTest, DeleteAttemptsFollowTheError) {
  trayRunning = false;
  struct Case {
    const char* what;
    std::function<DWORD(int)> error;
    size_t attempts;
    std::vector<DWORD> sleeps;
  };
  const Case cases[] = {
      {"access denied throughout", [](int) { return DWORD{ERROR_ACCESS_DENIED}; }, 10,
       std::vector<DWORD>(9, 100)},
      {"sharing violation throughout", [](int) { return DWORD{ERROR_SHARING_VIOLATION}; }, 10,
       std::vector<DWORD>(9, 10)},
      {"file already gone", [](int) { return DWORD{ERROR_FILE_NOT_FOUND}; }, 1, {}},
      {"denied, then other, then deleted",
       [](int n) { return n == 1 ? DWORD{ERROR_ACCESS_DENIED} : n == 2 ? DWORD{ERROR_LOCK_VIOLATION} : DWORD{0}; },
       3, {100, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::TheClock() = fake::Clock{};
    deleted.clear();
    deletedValue.clear();
    deleteError = c.error;
    StopAndUnregisterTray();
    EXPECT_EQ(deleted.size(), c.attempts);
    EXPECT_EQ(SleepsOnly(), c.sleeps);
    EXPECT_EQ(deletedValue, "LoomscribeTray");
  }
}

TEST_F(StopTrayTest, RunValueIsNeverReadPastItsData) {
  trayRunning = false;
  // Unterminated, shorter than the buffer: the noise behind the data is not
  // part of the path.
  SetRunValue(L"C:\\T\\lsbtray.exe", false);
  StopAndUnregisterTray();
  EXPECT_THAT(deleted, ElementsAre(L"C:\\T\\lsbtray.exe"));

  // An odd byte count: the half character is dropped.
  deleted.clear();
  SetRunValue(L"C:\\T\\lsbtray.exeZ", false);
  valueBytes.pop_back();
  StopAndUnregisterTray();
  EXPECT_THAT(deleted, ElementsAre(L"C:\\T\\lsbtray.exe"));

  // 260 characters without a terminator: only a cut path could be formed,
  // and a cut path names another file.
  deleted.clear();
  deletedValue.clear();
  SetRunValue(L"C:\\" + std::wstring(257, L'a'), false);
  ASSERT_EQ(valueBytes.size(), 520u);
  StopAndUnregisterTray();
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(deletedValue, "LoomscribeTray");

  // Too long for the buffer: the read fails like a missing value.
  fake::TheClock() = fake::Clock{};
  SetRunValue(L"C:\\" + std::wstring(300, L'a'));
  StopAndUnregisterTray();
  EXPECT_TRUE(deleted.empty());
  EXPECT_THAT(SleepsOnly(), ElementsAre(1000u));
}

TEST_F(StopTrayTest, RunValueThatIsNoFilePathDeletesNothing) {
  trayRunning = false;
  for (DWORD type : {DWORD{REG_BINARY}, DWORD{REG_MULTI_SZ}, DWORD{REG_DWORD}}) {
    valueType = type;
    StopAndUnregisterTray();
  }
  valueType = REG_SZ;
  SetRunValue(L"");
  StopAndUnregisterTray();
  SetRunValue(L"C:\\Windows");
  directoryPath = L"C:\\Windows";
  StopAndUnregisterTray();
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(fake::CountCalls("RegDeleteValueA"), 5);
}

// ---------------------------------------------------------------------------
class StartTrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginSession(session);
    fake::Set<&Platform::GetVersionExA>([this](LPOSVERSIONINFOA info) {
      EXPECT_EQ(info->dwOSVersionInfoSize, sizeof(OSVERSIONINFOA));
      info->dwPlatformId = platformId;
      info->dwMajorVersion = major;
      info->dwMinorVersion = 1;
      return TRUE;
    });
    fake::Set<&Platform::RegOpenKeyExA>([this](HKEY root, LPCSTR path, DWORD, REGSAM sam,
                                               PHKEY key) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      EXPECT_STREQ(path, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
      EXPECT_EQ(sam, static_cast<REGSAM>(KEY_ALL_ACCESS));
      if (openError) return openError;
      *key = kRunKey;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegSetValueExW>([this](HKEY key, LPCWSTR name, DWORD, DWORD type,
                                                const BYTE* data, DWORD bytes) -> LSTATUS {
      EXPECT_EQ(key, kRunKey);
      EXPECT_STREQ(name, L"LoomscribeTray");
      EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(bytes % 2, 0u);
      runValue.assign(reinterpret_cast<const wchar_t*>(data), bytes / 2);
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegCloseKey>([](HKEY) -> LSTATUS { return ERROR_SUCCESS; });
    fake::Set<&Platform::CreateProcessW>(
        [this](LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
               LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
               LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
          EXPECT_EQ(application, nullptr);
          EXPECT_EQ(process, nullptr);
          EXPECT_EQ(thread, nullptr);
          EXPECT_FALSE(inherit);
          EXPECT_EQ(flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
          EXPECT_EQ(environment, nullptr);
          EXPECT_EQ(directory, nullptr);
          EXPECT_EQ(startup->cb, sizeof(STARTUPINFOW));
          EXPECT_EQ(startup->dwFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
          EXPECT_EQ(startup->wShowWindow, SW_SHOW);
          EXPECT_EQ(startup->lpDesktop, nullptr);
          commandLines.push_back(commandLine);
          if (!startWorks) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
          }
          info->hProcess = reinterpret_cast<HANDLE>(0x10);
          info->hThread = reinterpret_cast<HANDLE>(0x20);
          return TRUE;
        });
    // The process's token and window station come from the machine model
    // (not split, as Wine's); only the started program's handles count here.
    fake::Wrap<&Platform::CloseHandle>([this](auto& previous, HANDLE h) -> BOOL {
      if (h != reinterpret_cast<HANDLE>(0x10) && h != reinterpret_cast<HANDLE>(0x20))
        return previous(h);
      closed.push_back(h);
      return TRUE;
    });
  }
  void TearDown() override { EndSession(session); }

  void RunFrom(const wchar_t* moduleDirectory) {
    runValue.clear();
    commandLines.clear();
    Assign(session.ModuleDirectory, moduleDirectory);
    RegisterAndStartTray(session);
  }

  fake::FakePlatform os;
  fake::World world;
  InstallSession session;
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD major = 6;
  LSTATUS openError = ERROR_SUCCESS;
  bool startWorks = true;
  std::wstring runValue;
  std::vector<std::wstring> commandLines;
  std::vector<HANDLE> closed;
};

TEST_F(StartTrayTest, NamesTheTrayProgramInTheParentDirectory) {
  RunFrom(L"C:\\Program Files\\Loomscribe\\x64\\");
  // The value carries its terminator.
  EXPECT_EQ(runValue, std::wstring(L"C:\\Program Files\\Loomscribe\\lsbtray.exe") + L'\0');
  EXPECT_THAT(commandLines, ElementsAre(L"\"C:\\Program Files\\Loomscribe\\lsbtray.exe\""));
  EXPECT_THAT(closed, ElementsAre(reinterpret_cast<HANDLE>(0x20), reinterpret_cast<HANDLE>(0x10)));
  EXPECT_EQ(fake::CountCalls("WaitForSingleObject"), 0);  // never waits for the tray
  EXPECT_THAT(testutil::LogLines(session), ElementsAre(L"Loomscribe 2070"));  // silent
}

TEST_F(StartTrayTest, PathRules) {
  struct Case {
    const wchar_t* module;
    const wchar_t* tray;
  };
  const Case cases[] = {
      {L"D:/prod/x64/", L"D:/prod\\lsbtray.exe"},
      {L"C:\\prod\\x64", L"C:\\prod\\lsbtray.exe"},
      {L"C:\\x64\\", L"C:\\lsbtray.exe"},
      {L"C:\\", L"lsbtray.exe"},  // the drive's root: the bare file name
      {L"", L"lsbtray.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testutil::Widen("module ") + c.module);
    RunFrom(c.module);
    EXPECT_EQ(runValue, std::wstring(c.tray) + L'\0');
    EXPECT_THAT(commandLines, ElementsAre(L"\"" + std::wstring(c.tray) + L"\""));
  }
}

TEST_F(StartTrayTest, CommandLineCarriesAtMost259CharactersOfThePath) {
  // A longer path keeps its full length in the Run value, but is not started:
  // its first 259 characters would name another file.
  std::wstring product = L"C:\\" + std::wstring(290, L'p');
  RunFrom((product + L"\\x64\\").c_str());
  std::wstring tray = product + L"\\lsbtray.exe";
  EXPECT_EQ(runValue, tray + L'\0');
  EXPECT_TRUE(commandLines.empty());

  std::wstring oneTooMany = L"C:\\" + std::wstring(260 - 3 - 12, L'q');
  RunFrom((oneTooMany + L"\\x64\\").c_str());
  EXPECT_EQ(runValue.size(), 261u);
  EXPECT_TRUE(commandLines.empty());

  // Exactly 259 characters fit whole.
  std::wstring exact = L"C:\\" + std::wstring(259 - 3 - 12, L'q');
  RunFrom((exact + L"\\x64\\").c_str());
  ASSERT_EQ(commandLines.size(), 1u);
  EXPECT_EQ(commandLines[0], L"\"" + exact + L"\\lsbtray.exe\"");
  EXPECT_EQ(commandLines[0].size(), 261u);
}

TEST_F(StartTrayTest, OlderWindowsGetsNothing) {
  const std::pair<DWORD, DWORD> versions[] = {
      {VER_PLATFORM_WIN32_NT, 5}, {VER_PLATFORM_WIN32_WINDOWS, 6}, {VER_PLATFORM_WIN32s, 10}};
  for (auto [platform, majorVersion] : versions) {
    platformId = platform;
    major = majorVersion;
    RunFrom(L"C:\\prod\\x64\\");
  }
  fake::FailNth<&Platform::GetVersionExA>(1, ERROR_INVALID_PARAMETER);
  platformId = VER_PLATFORM_WIN32_NT;
  major = 10;
  RunFrom(L"C:\\prod\\x64\\");
  EXPECT_EQ(fake::CountCalls("GetVersionExA"), 4);
  EXPECT_EQ(fake::CountCalls("RegOpenKeyExA"), 0);
  EXPECT_EQ(fake::CountCalls("CreateProcessW"), 0);
}

TEST_F(StartTrayTest, FailuresAreSilentAndIndependent) {
  openError = ERROR_ACCESS_DENIED;
  startWorks = false;
  RunFrom(L"C:\\prod\\x64\\");
  EXPECT_TRUE(runValue.empty());
  EXPECT_EQ(commandLines.size(), 1u);  // started although the value could not be written
  EXPECT_TRUE(closed.empty());
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_THAT(testutil::LogLines(session), ElementsAre(L"Loomscribe 2070"));
}

}  // namespace

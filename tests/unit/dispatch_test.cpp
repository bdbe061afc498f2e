#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "dispatch.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"
#include "support/test_util.h"

namespace {

TEST(CommandWordsTest, WordsAreMatchedInTableOrderWithTheirComparisonRules) {
  EXPECT_EQ(MatchCommand(L"onChkDrv"), Command::CheckDriver);
  EXPECT_EQ(MatchCommand(L"ONCHKDRV"), Command::CheckDriver);
  EXPECT_EQ(MatchCommand(L"oninit"), Command::Init);
  EXPECT_EQ(MatchCommand(L"UnInstall"), Command::Uninstall);
  EXPECT_EQ(MatchCommand(L"UN"), Command::Uninstall);
  EXPECT_EQ(MatchCommand(L"RemoveTray"), Command::RemoveTray);
  for (const wchar_t* word : {L"in", L"install", L"Install", L"INSTALL", L"serverinstall"})
    EXPECT_EQ(MatchCommand(word), Command::Install) << std::wstring(word).size();
  EXPECT_EQ(MatchCommand(L"def.set"), Command::SetDefault);
}

TEST(CommandWordsTest, NearMissesAreUnrecognised) {
  for (const wchar_t* word :
       {L"", L"DEF.SET", L"Def.set", L"def.set ", L"def.setx", L"installx", L"un-install", L"i",
        L"uninstal", L"install\u0130", L"\u0130nstall", L"onchkdrv2", L" install"})
    EXPECT_EQ(MatchCommand(word), Command::None) << static_cast<int>(std::wstring(word).size());
  EXPECT_EQ(MatchCommand(nullptr), Command::None);
}

TEST(CommandWordsTest, OnlyAsciiLettersFoldCase) {
  // U+212A KELVIN SIGN folds to 'k' in Unicode, never here; neither does a
  // character that differs from a letter by 0x20 outside A to Z.
  EXPECT_EQ(MatchCommand(L"onchkdr\u0156"), Command::None);
  EXPECT_EQ(MatchCommand(L"remove\u0134ray"), Command::None);
  EXPECT_EQ(MatchCommand(L"onChkDrv\0x"), Command::CheckDriver);  // the word ends at its NUL
}

TEST(ParseInt32Test, SignWhiteSpaceDigitsAndClamping) {
  EXPECT_EQ(ParseInt32(L"123"), 123);
  EXPECT_EQ(ParseInt32(L"  \t-42"), -42);
  EXPECT_EQ(ParseInt32(L"+7x9"), 7);
  EXPECT_EQ(ParseInt32(L"abc"), 0);
  EXPECT_EQ(ParseInt32(L""), 0);
  EXPECT_EQ(ParseInt32(L"--5"), 0);
  EXPECT_EQ(ParseInt32(L"2147483647"), INT32_MAX);
  EXPECT_EQ(ParseInt32(L"2147483648"), INT32_MAX);
  EXPECT_EQ(ParseInt32(L"-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseInt32(L"-2147483649"), INT32_MIN);
  EXPECT_EQ(ParseInt32(L"99999999999999999999999999999"), INT32_MAX);
  EXPECT_EQ(ParseInt32(L"-99999999999999999999999999999"), INT32_MIN);
}

TEST(ParentWindowTest, LiveWindowOnlyAndNegativeNumbersWidenWithTheirSign) {
  fake::FakePlatform os;
  std::vector<intptr_t> asked;
  fake::Set<&Platform::IsWindow>([&](HWND w) -> BOOL {
    asked.push_back(reinterpret_cast<intptr_t>(w));
    return reinterpret_cast<intptr_t>(w) == 0x1234 || reinterpret_cast<intptr_t>(w) == -2;
  });
  EXPECT_EQ(ParseParentWindow(L"4660"), reinterpret_cast<HWND>(0x1234));
  EXPECT_EQ(ParseParentWindow(L"-2"), reinterpret_cast<HWND>(static_cast<intptr_t>(-2)));
  EXPECT_EQ(ParseParentWindow(L"77"), nullptr);
  EXPECT_EQ(ParseParentWindow(L"0"), nullptr);
  EXPECT_EQ(ParseParentWindow(L"window"), nullptr);
  // No question is asked for 0 (or text that reads as 0).
  EXPECT_THAT(asked, ::testing::ElementsAre(0x1234, -2, 77));
}

TEST(DispatchTest, MissingOrUnknownWordsEndWithSixAndRunNothing) {
  fake::FakePlatform os;
  wchar_t program[] = L"install.exe";
  wchar_t unknown[] = L"installx";
  wchar_t lower[] = L"DEF.SET";
  wchar_t* none[] = {program};
  EXPECT_EQ(DispatchArguments(1, none), 6);
  EXPECT_EQ(DispatchArguments(0, nullptr), 6);
  wchar_t* withUnknown[] = {program, unknown};
  EXPECT_EQ(DispatchArguments(2, withUnknown), 6);
  wchar_t* withLower[] = {program, lower};
  EXPECT_EQ(DispatchArguments(2, withLower), 6);
  EXPECT_THAT(fake::Calls(), ::testing::IsEmpty());
}

TEST(DispatchTest, AnUnsplittableCommandLineEndsWithSix) {
  fake::FakePlatform os;
  fake::Set<&Platform::GetCommandLineW>([]() -> LPWSTR { return nullptr; });
  fake::Set<&Platform::CommandLineToArgvW>([](LPCWSTR, int* argc) -> LPWSTR* {
    *argc = 0;
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  });
  EXPECT_EQ(Dispatch(), 6);
}

TEST(DispatchTest, SplitsTheProcessCommandLine) {
  fake::FakePlatform os;
  static wchar_t line[] = L"\"C:\\Program Files\\x64\\install.exe\" \"un-install\" 12";
  fake::Set<&Platform::GetCommandLineW>([]() -> LPWSTR { return line; });
  fake::Set<&Platform::IsWindow>([](HWND) -> BOOL { return FALSE; });
  EXPECT_EQ(Dispatch(), 6);
  // Three arguments: the third was read as a window and asked about.
  EXPECT_EQ(fake::CountCalls("IsWindow"), 1);
}

TEST(CloseHelpWindowsTest, AsksEachWindowToCloseUntilNoneIsLeft) {
  fake::FakePlatform os;
  int open = 2;
  std::vector<UINT> posted;
  fake::Set<&Platform::FindWindowW>([&](LPCWSTR cls, LPCWSTR title) -> HWND {
    EXPECT_STREQ(cls, L"HH Parent");
    EXPECT_STREQ(title, L"Loomscribe Help");
    return open > 0 ? reinterpret_cast<HWND>(static_cast<intptr_t>(0x100 + open)) : nullptr;
  });
  fake::Set<&Platform::PostMessageW>([&](HWND, UINT msg, WPARAM w, LPARAM l) -> BOOL {
    EXPECT_EQ(w, static_cast<WPARAM>(SC_CLOSE));
    EXPECT_EQ(l, 0);
    posted.push_back(msg);
    --open;
    return TRUE;
  });
  CloseHelpWindows();
  EXPECT_THAT(posted, ::testing::ElementsAre(WM_SYSCOMMAND, WM_SYSCOMMAND));
  EXPECT_EQ(fake::TheClock().slept, 100u);
}

TEST(CloseHelpWindowsTest, AWindowThatNeverClosesIsGivenUpAfterAboutTenSeconds) {
  fake::FakePlatform os;
  fake::Set<&Platform::FindWindowW>(
      [](LPCWSTR, LPCWSTR) -> HWND { return reinterpret_cast<HWND>(0x99); });
  fake::Set<&Platform::PostMessageW>([](HWND, UINT, WPARAM, LPARAM) -> BOOL { return TRUE; });
  CloseHelpWindows();
  EXPECT_EQ(fake::TheClock().slept, 10000u);
  EXPECT_EQ(fake::CountCalls("PostMessageW"), 200);
}

// Whole commands from the command line on the in-memory Windows.
class DispatchRunTest : public ::testing::Test {
 protected:
  // `count` windows of the product's help viewer are open; each closes when
  // it is sent SC_CLOSE. The world itself knows only the tray's window.
  void OpenHelpWindows(int count) {
    helpOpen = count;
    fake::Wrap<&Platform::FindWindowW>([this](auto& previous, LPCWSTR cls, LPCWSTR title) {
      if (cls && std::wstring(cls) == L"HH Parent" && title &&
          std::wstring(title) == L"Loomscribe Help") {
        ++helpLookups;
        return helpOpen > 0 ? HelpWindow() : HWND{};
      }
      return previous(cls, title);
    });
    fake::Wrap<&Platform::PostMessageW>(
        [this](auto& previous, HWND window, UINT message, WPARAM w, LPARAM l) {
          if (helpOpen == 0 || window != HelpWindow()) return previous(window, message, w, l);
          if (message == WM_SYSCOMMAND && w == SC_CLOSE && l == 0) --helpOpen;
          return TRUE;
        });
  }
  HWND HelpWindow() const { return reinterpret_cast<HWND>(static_cast<intptr_t>(0x4E00 + helpOpen)); }

  fake::FakePlatform os;
  fake::World world;
  int helpOpen = 0;
  int helpLookups = 0;
};

TEST_F(DispatchRunTest, InstallAndUninstallCloseEveryHelpWindowBeforeTheRunStarts) {
  for (const wchar_t* word : {L"install", L"Install", L"serverinstall", L"uninstall", L"UN"}) {
    SCOPED_TRACE(std::wstring(word).size());
    fake::Calls().clear();
    OpenHelpWindows(2);
    testutil::RunCommand({word});
    EXPECT_EQ(helpOpen, 0);
    // Both were asked to close, with a pause after each, before the first
    // step of the run.
    std::vector<std::string> order = fake::CallsAmong({"PostMessageW", "Sleep", "OpenSCManagerW"});
    ASSERT_GE(order.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 5),
              (std::vector<std::string>{"PostMessageW", "Sleep", "PostMessageW", "Sleep",
                                        "OpenSCManagerW"}));
  }
}

TEST_F(DispatchRunTest, OtherCommandsLeaveTheHelpWindowsOpen) {
  OpenHelpWindows(1);
  for (const wchar_t* word : {L"onChkDrv", L"onInit", L"removetray", L"def.set", L"other"})
    testutil::RunCommand({word});
  EXPECT_EQ(helpLookups, 0);
  EXPECT_EQ(helpOpen, 1);
}

TEST_F(DispatchRunTest, OnlyAThirdArgumentThatIsTheLastNamesTheLogWindowsOwner) {
  world.shiftDown = true;  // every run shows its log
  // 31233 is 0x7A01, a live window of the in-memory Windows.
  const HWND live = reinterpret_cast<HWND>(31233);
  EXPECT_EQ(testutil::RunCommand({L"install", L"31233"}), kExitInstalled);
  ASSERT_EQ(world.dialogs.size(), 1u);
  EXPECT_EQ(world.dialogs[0].owner, live);
  EXPECT_EQ(fake::CountCalls("IsWindow"), 1);

  // With four or more arguments every one after the command word is
  // ignored, a live window included: nothing is asked about it.
  fake::Calls().clear();
  EXPECT_EQ(testutil::RunCommand({L"install", L"31233", L"31233"}), kExitInstalled);
  EXPECT_EQ(testutil::RunCommand({L"uninstall", L"31233", L"31233", L"31233"}), kExitUninstalled);
  ASSERT_EQ(world.dialogs.size(), 3u);
  EXPECT_EQ(world.dialogs[1].owner, nullptr);
  EXPECT_EQ(world.dialogs[2].owner, nullptr);
  EXPECT_EQ(fake::CountCalls("IsWindow"), 0);
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "dispatch.h"
#include "support/fake_platform.h"

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

}  // namespace

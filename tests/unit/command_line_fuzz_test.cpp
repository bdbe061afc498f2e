// Thousands of random argument lists through the real dispatch code, with
// every call to Windows failing: no crash, and each ends with the exit code
// the word table gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dispatch.h"
#include "support/fake_platform.h"

namespace {

// The word table, written out independently of the program's own.
int ExpectedExitCode(const std::vector<std::wstring>& args) {
  if (args.size() < 2) return 6;
  std::wstring folded;
  for (wchar_t c : args[1]) folded += (c >= L'A' && c <= L'Z') ? wchar_t(c + 32) : c;
  // With every Windows call failing: no printer is found (3); no default
  // printer counts as a foreign one (102); install and uninstall cannot open
  // the service manager (an error: 100).
  if (folded == L"onchkdrv") return 3;
  if (folded == L"oninit") return 102;
  if (folded == L"un" || folded == L"uninstall") return 100;
  if (folded == L"removetray") return 6;
  if (folded == L"in" || folded == L"install" || folded == L"serverinstall") return 100;
  if (args[1] == L"def.set") return 4;
  return 6;
}

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  std::wstring Word() {
    static const std::vector<std::wstring> words = {
        L"onChkDrv", L"onInit", L"un", L"uninstall", L"removetray", L"in", L"install",
        L"serverinstall", L"def.set", L"DEF.SET", L"installx", L"un-install", L"def.set.",
        L"Install ", L"\u0130nstall", L"onchkdr\u212A", L""};
    switch (Pick(4)) {
      case 0: return words[Pick(words.size())];
      case 1: return RandomCase(words[Pick(9)]);
      case 2: return Text(Pick(4) == 0 ? 5000 : 16);
      default: return Mutate(words[Pick(9)]);
    }
  }

  std::wstring Number() {
    static const std::vector<std::wstring> numbers = {
        L"0", L"-1", L"2147483647", L"2147483648", L"-2147483649", L"99999999999999999999999",
        L"  +12", L"\t-0", L"12abc", L"--3", L"0x10", L""};
    return Pick(3) == 0 ? Text(40) : numbers[Pick(numbers.size())];
  }

  std::wstring Text(size_t maxLength) {
    std::wstring s;
    size_t n = Pick(maxLength + 1);
    for (size_t i = 0; i < n; ++i) {
      switch (Pick(5)) {
        case 0: s += wchar_t(L'a' + Pick(26)); break;
        case 1: s += wchar_t(L'A' + Pick(26)); break;
        case 2: s += wchar_t(0x80 + Pick(0xD700)); break;  // non-ASCII, no surrogates
        case 3: s += wchar_t(0xD800 + Pick(0x800)); break;  // lone surrogates
        default: s += L"0123456789 .-+\"\\\t"[Pick(17)]; break;
      }
    }
    return s;
  }

  size_t Pick(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random_) : 0; }

 private:
  std::wstring RandomCase(std::wstring s) {
    for (wchar_t& c : s)
      if (Pick(2) && c >= L'a' && c <= L'z') c = wchar_t(c - 32);
    return s;
  }
  std::wstring Mutate(std::wstring s) {
    if (s.empty()) return s;
    size_t at = Pick(s.size());
    switch (Pick(3)) {
      case 0: s.erase(at, 1); break;
      case 1: s.insert(at, 1, L"x\u00e9_"[Pick(3)]); break;
      default: s[at] = wchar_t(s[at] ^ 0x20); break;  // flips case, or makes a non-letter
    }
    return s;
  }
  std::mt19937 random_;
};

TEST(CommandLineFuzzTest, RandomArgumentListsEndWithTheWordTablesCode) {
  fake::FakePlatform os;
  Generator g(20261207);
  for (int run = 0; run < 3000; ++run) {
    std::vector<std::wstring> args;
    if (g.Pick(20) != 0) args.push_back(L"install.exe");
    size_t extra = g.Pick(3) == 0 ? g.Pick(40) : g.Pick(4);
    if (!args.empty()) {
      if (extra > 0) args.push_back(g.Word());
      if (extra > 1) args.push_back(g.Number());
      for (size_t i = 2; i < extra; ++i) args.push_back(g.Text(64));
    }
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int code = DispatchArguments(static_cast<int>(args.size()), argv.data());
    ASSERT_EQ(code, ExpectedExitCode(args)) << "run " << run << ", " << args.size() << " arguments";
    // Nothing may ever wait for a person: no dialog was asked for.
    ASSERT_EQ(fake::CountCalls("DialogBoxParamW"), 0) << "run " << run;
    fake::Calls().clear();
  }
}

TEST(CommandLineFuzzTest, RandomCommandLinesSplitLikeWindowsSplitsThem) {
  fake::FakePlatform os;
  static std::wstring line;
  fake::Set<&Platform::GetCommandLineW>([]() -> LPWSTR { return &line[0]; });
  Generator g(7);
  for (int run = 0; run < 1500; ++run) {
    line = L"\"C:\\Program Files\\Loomscribe\\x64\\install.exe\"";
    size_t pieces = g.Pick(6);
    for (size_t i = 0; i < pieces; ++i) {
      std::wstring piece = i == 0 ? g.Word() : g.Number();
      line += g.Pick(2) ? L" \"" + piece + L"\"" : L" " + piece;
    }
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    std::vector<std::wstring> args(argv, argv + argc);
    ::LocalFree(argv);
    ASSERT_EQ(Dispatch(), ExpectedExitCode(args)) << "run " << run;
  }
}

}  // namespace

// The names and texts other parties rely on, spelt out here letter by letter
// and compared with what the program uses. A test that took the program's own
// constant as its expectation could not catch a misspelt name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "product.h"
#include "resource.h"
#include "session/session.h"
#include "support/fake_platform.h"
#include "support/test_util.h"
#include "tray/tray_protocol.h"

namespace {

// The whole array, terminator included: a name cut short or carrying extra
// characters behind a NUL differs.
template <typename Char, size_t N>
std::basic_string<Char> Whole(const Char (&name)[N]) {
  return std::basic_string<Char>(name, N);
}

template <typename Char, size_t N>
std::basic_string<Char> Spelt(const Char (&literal)[N]) {
  return std::basic_string<Char>(literal, N);
}

TEST(ProductNamesTest, SpoolerNamesAndComponentFiles) {
  EXPECT_EQ(Whole(kProductPort), Spelt(L"Loomscribe:"));
  EXPECT_EQ(Whole(kProductDriver), Spelt(L"Loomscribe printer"));
  EXPECT_EQ(Whole(kFirstPrinterName), Spelt(L"Loomscribe"));
  EXPECT_EQ(Whole(kDriverMaker), Spelt(L"Tamarel Software Kft."));
  EXPECT_EQ(Whole(kMonitorFile64), Spelt(L"lmxmon64.dll"));
  EXPECT_EQ(Whole(kDriverFile64), Spelt(L"lmxdrv64.dll"));
  EXPECT_EQ(Whole(kUiFile64), Spelt(L"lmxui64.dll"));
  EXPECT_EQ(Whole(kHelpFile), Spelt(L"lmxhelp.chm"));
  EXPECT_EQ(Whole(kTrayFileName), Spelt("lsbtray.exe"));
}

TEST(ProductNamesTest, RegistryNamesWindowsAndLocks) {
  EXPECT_EQ(Whole(kTrayRunValueW), Spelt(L"LoomscribeTray"));
  EXPECT_EQ(Whole(kTrayRunValueA), Spelt("LoomscribeTray"));
  EXPECT_EQ(Whole(kProductUserKey), Spelt("Software\\Tamarel Software KFT\\Loomscribe"));
  EXPECT_EQ(Whole(kCarriedPrintersKey),
            Spelt(L"SOFTWARE\\Tamarel Software KFT\\Loomscribe\\CarriedPrinters"));
  EXPECT_EQ(Whole(kSubKeyValue), Spelt("SubKey"));
  EXPECT_EQ(Whole(kDsUserKey), Spelt("DsUser"));
  EXPECT_EQ(Whole(kHelpWindowClass), Spelt(L"HH Parent"));
  EXPECT_EQ(Whole(kHelpWindowTitle), Spelt(L"Loomscribe Help"));
  EXPECT_EQ(Whole(kRunLockName), Spelt(L"Global\\Loomscribe.Install"));
  EXPECT_EQ(Whole(kLogTitleFormat), Spelt(L"Loomscribe build %d- Install"));
  EXPECT_EQ(Whole(kProductFolderName), Spelt(L"Loomscribe"));
  EXPECT_EQ(IDD_LOG_WINDOW, 101);
  EXPECT_EQ(IDC_LOG_TEXT, 1001);
}

// Shared with the tray program, which is built from the same header: a
// misspelling here would still match the tray program built alongside, but
// not the one a machine already runs.
TEST(ProductNamesTest, TrayHandshake) {
  EXPECT_EQ(Whole(kTrayMutexName), Spelt("{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}"));
  EXPECT_EQ(Whole(kTrayWindowClass), Spelt(L"qvs::{05759F8E-103D-41B6-8A61-EFAA89516692}"));
  EXPECT_EQ(Whole(kTrayWindowTitle), Spelt(L"Loomscribe"));
  EXPECT_EQ(kTrayQuitMessage, 1026u);
}

// Every error function writes its own code with its own text, and the table
// that the other tests read agrees with them.
TEST(ProductNamesTest, EachErrorCodeComesWithItsText) {
  struct Row {
    int code;
    const wchar_t* line;
    std::function<void(InstallSession&)> log;
  };
  const std::vector<Row> rows = {
      {1, L"Can't open service manager.", LogServiceManagerOpenFailed},
      {2, L"Can't open the spooler", LogSpoolerOpenFailed},
      {3, L"Can't stop the spooler", LogSpoolerStopFailed},
      {4, L"Can't start the spooler", LogSpoolerStartFailed},
      {5, L"ControlService failed with code 1061 (0x425)",
       [](InstallSession& s) { LogControlServiceFailed(s, 1061); }},
      {6, L"Can`t retrieve printer driver directory.", LogDriverDirectoryUnknown},
      {7, L"Can`t retrieve system directory.", LogSystemDirectoryUnknown},
      {8, L"CopyFile(..,C:\\t)", [](InstallSession& s) { LogCopyFailed(s, L"C:\\t"); }},
      {9, L"Cant't open destination file: C:\\d",
       [](InstallSession& s) { LogCopyDestinationFailed(s, L"C:\\d"); }},
      {10, L"Cant't open source file: src.dll",
       [](InstallSession& s) { LogCopySourceFailed(s, L"src.dll"); }},
      {11, L"Can`t install a local port monitor'Loomscribe:'", LogMonitorInstallFailed},
      {12, L"Can`t remove the port monitor 'Loomscribe:'", LogMonitorRemoveFailed},
      {13, L"Can`t install a printer driver 'Loomscribe printer'", LogDriverInstallFailed},
      {14, L"Can`t remove the printer-driver 'Loomscribe printer'", LogDriverRemoveFailed},
      {15, L"Can`t add printer 'P'", [](InstallSession& s) { LogPrinterAddFailed(s, L"P"); }},
      {16, L"Can`t open printer 'P'", [](InstallSession& s) { LogPrinterOpenFailed(s, L"P"); }},
      {17, L"Can`t delete printer 'P'",
       [](InstallSession& s) { LogPrinterDeleteFailed(s, L"P"); }},
      {18, L"Can`t wait for the other install.exe run to end", LogOtherRunWaitFailed},
      {19, L"Can`t delete or schedule file: C:\\f",
       [](InstallSession& s) { LogFileDeleteFailed(s, L"C:\\f"); }},
      {20, L"Can`t write the printer journal", LogJournalWriteFailed},
      {21, L"Can`t carry printer 'P'", [](InstallSession& s) { LogCantCarryPrinter(s, L"P"); }},
      {22, L"Can`t keep a file of the previous installation: C:\\f",
       [](InstallSession& s) { LogCantKeepPreviousFile(s, L"C:\\f"); }},
      {23, L"Can`t put back the previous installation: C:\\f",
       [](InstallSession& s) { LogCantPutBackPrevious(s, L"C:\\f"); }},
  };
  const std::vector<std::wstring> formats = {
      L"Can't open service manager.",
      L"Can't open the spooler",
      L"Can't stop the spooler",
      L"Can't start the spooler",
      L"ControlService failed with code %d (0x%x)",
      L"Can`t retrieve printer driver directory.",
      L"Can`t retrieve system directory.",
      L"CopyFile(..,%s)",
      L"Cant't open destination file: %s",
      L"Cant't open source file: %s",
      L"Can`t install a local port monitor'Loomscribe:'",
      L"Can`t remove the port monitor 'Loomscribe:'",
      L"Can`t install a printer driver 'Loomscribe printer'",
      L"Can`t remove the printer-driver 'Loomscribe printer'",
      L"Can`t add printer '%s'",
      L"Can`t open printer '%s'",
      L"Can`t delete printer '%s'",
      L"Can`t wait for the other install.exe run to end",
      L"Can`t delete or schedule file: %s",
      L"Can`t write the printer journal",
      L"Can`t carry printer '%s'",
      L"Can`t keep a file of the previous installation: %s",
      L"Can`t put back the previous installation: %s",
  };

  fake::FakePlatform os;
  InstallSession session;
  BeginSession(session);
  std::vector<std::wstring> expected = {L"Loomscribe 2070"};
  for (const Row& row : rows) {
    ::SetLastError(0);
    row.log(session);
    expected.push_back(L"Error(" + std::to_wstring(row.code) + L"): " + row.line);
  }
  EXPECT_THAT(testutil::LogLines(session), ::testing::ElementsAreArray(expected));
  EXPECT_EQ(session.ErrorCount, 23);
  EndSession(session);

  for (int code = 1; code <= 23; ++code)
    EXPECT_EQ(ErrorMessageFormat(code), formats[code - 1]) << code;
  EXPECT_STREQ(ErrorMessageFormat(0), L"");
  EXPECT_STREQ(ErrorMessageFormat(24), L"");
}

// Names this program defines match in any ASCII letter case and nothing
// else, whatever the user's locale; paths follow the file system, which folds
// letter case beyond ASCII too.
TEST(ProductNamesTest, NamesCompareByAsciiLettersPathsByTheFileSystemRule) {
  fake::FakePlatform os;
  EXPECT_TRUE(SameAsciiName(L"LMXMON64.DLL", L"lmxmon64.dll"));
  EXPECT_TRUE(SameAsciiName(L"WinSta0", L"winsta0"));
  EXPECT_FALSE(SameAsciiName(L"lmxmon64.dll", L"lmxmon64.dl"));
  EXPECT_FALSE(SameAsciiName(L"lmxmon64.dll", L"lmxmon64.dll "));
  EXPECT_FALSE(SameAsciiName(L"\x00C9", L"\x00E9"));  // E acute in two cases
  EXPECT_FALSE(SameAsciiName(L"[", L"{"));             // one apart like A and a, not letters
  EXPECT_FALSE(SameAsciiName(nullptr, L""));

  EXPECT_TRUE(SamePathText(L"C:\\Windows\\System32\\LMXMON64.DLL",
                           L"c:\\windows\\system32\\lmxmon64.dll"));
  EXPECT_TRUE(SamePathText(L"C:\\\x00C9t\x00C9\\x.dll", L"C:\\\x00E9t\x00E9\\X.DLL"));
  EXPECT_FALSE(SamePathText(L"C:\\a\\x.dll", L"C:\\a\\x.dl"));
  EXPECT_FALSE(SamePathText(L"C:\\a", nullptr));

  EXPECT_TRUE(PathBeginsWith(L"C:\\DRIVERS\\x.dll", L"c:\\drivers\\", 11));
  EXPECT_TRUE(PathBeginsWith(L"Install-1.log", L"install-", 8));
  EXPECT_FALSE(PathBeginsWith(L"instal", L"install-", 8));
  EXPECT_FALSE(PathBeginsWith(L"C:\\other\\x.dll", L"C:\\drivers\\", 11));
}

}  // namespace

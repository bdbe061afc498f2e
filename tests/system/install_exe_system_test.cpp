// install.exe as built: its image, its resources, and the command words that
// run nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "support/product_run.h"
#include "support/test_util.h"

namespace {

std::wstring InstallExe() { return testutil::ProductX64Directory() + L"\\install.exe"; }

// Runs install.exe with a command line and returns its exit code.
DWORD RunInstallExe(const std::wstring& arguments, const std::wstring& exe = InstallExe()) {
  return productrun::RunProgram(exe, arguments);
}

// What a run that must change nothing could have changed.
struct MachineState {
  std::vector<std::wstring> printers, monitors, drivers;
  bool runValue = false;
  bool operator==(const MachineState& o) const {
    return printers == o.printers && monitors == o.monitors && drivers == o.drivers &&
           runValue == o.runValue;
  }
};

template <class Record>
std::vector<std::wstring> Names(BOOL(WINAPI* enumerate)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD,
                                                        LPDWORD)) {
  DWORD needed = 0, count = 0;
  enumerate(nullptr, 1, nullptr, 0, &needed, &count);
  std::vector<BYTE> block(needed + 1);
  std::vector<std::wstring> names;
  if (needed && enumerate(nullptr, 1, block.data(), needed, &needed, &count))
    for (DWORD i = 0; i < count; ++i) names.push_back(reinterpret_cast<Record*>(block.data())[i].pName);
  std::sort(names.begin(), names.end());
  return names;
}

BOOL WINAPI EnumLocalPrinters(LPWSTR, DWORD level, LPBYTE b, DWORD n, LPDWORD need, LPDWORD count) {
  return ::EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, b, n, need, count);
}
BOOL WINAPI EnumX64Drivers(LPWSTR, DWORD level, LPBYTE b, DWORD n, LPDWORD need, LPDWORD count) {
  wchar_t env[] = L"Windows x64";
  return ::EnumPrinterDriversW(nullptr, env, level, b, n, need, count);
}

MachineState Snapshot() {
  MachineState s;
  s.printers = Names<PRINTER_INFO_1W>(&EnumLocalPrinters);
  s.monitors = Names<MONITOR_INFO_1W>(&::EnumMonitorsW);
  s.drivers = Names<DRIVER_INFO_1W>(&EnumX64Drivers);
  HKEY run = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_READ, &run) == ERROR_SUCCESS) {
    s.runValue = ::RegQueryValueExW(run, L"LoomscribeTray", nullptr, nullptr, nullptr, nullptr) ==
                 ERROR_SUCCESS;
    ::RegCloseKey(run);
  }
  return s;
}

TEST(InstallExeTest, UnknownOrMissingWordsEndWithSixAndChangeNothing) {
  MachineState before = Snapshot();
  EXPECT_EQ(RunInstallExe(L""), 6u);
  for (const wchar_t* word : {L"bogus", L"DEF.SET", L"installx", L"un-install", L"\"\""})
    EXPECT_EQ(RunInstallExe(word), 6u) << std::wstring(word);
  EXPECT_EQ(RunInstallExe(L"def.setx 1 2"), 6u);
  EXPECT_TRUE(Snapshot() == before);
}

// The import table names only DLLs that Windows keeps as system-known DLLs;
// winspool.drv and version.dll are loaded from the system directory at run
// time instead.
TEST(InstallExeTest, ImportsOnlySystemKnownDlls) {
  std::string image = testutil::ReadFileBytes(InstallExe());
  ASSERT_GT(image.size(), 1024u);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(&image[0]);
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(&image[0] + dos->e_lfanew);
  ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  WORD wanted = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
  EXPECT_EQ(nt->OptionalHeader.DllCharacteristics & wanted, wanted);

  auto* sections = IMAGE_FIRST_SECTION(nt);
  auto toOffset = [&](DWORD rva) -> size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const auto& s = sections[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
        return rva - s.VirtualAddress + s.PointerToRawData;
    }
    return 0;
  };
  const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  size_t at = toOffset(dir.VirtualAddress);
  ASSERT_NE(at, 0u);
  std::set<std::string> dlls;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(&image[0] + at); d->Name; ++d) {
    std::string name = reinterpret_cast<const char*>(&image[0] + toOffset(d->Name));
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    dlls.insert(name);
  }
  const std::set<std::string> known = {
      "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "gdi32.dll",    "gdiplus.dll",
      "imagehlp.dll", "imm32.dll",   "kernel32.dll", "msctf.dll",   "msvcrt.dll",   "normaliz.dll",
      "nsi.dll",      "ole32.dll",   "oleaut32.dll", "psapi.dll",   "rpcrt4.dll",   "sechost.dll",
      "setupapi.dll", "shcore.dll",  "shell32.dll",  "shlwapi.dll", "user32.dll",   "wldap32.dll",
      "ws2_32.dll"};
  for (const std::string& dll : dlls) EXPECT_TRUE(known.count(dll)) << dll << " is imported";
  EXPECT_FALSE(dlls.count("winspool.drv"));
  EXPECT_FALSE(dlls.count("version.dll"));
  EXPECT_TRUE(dlls.count("kernel32.dll"));
}

// winspool.drv and version.dll planted beside install.exe are never loaded:
// the program takes them from the system directory only.
TEST(InstallExeTest, DllsPlantedBesideItAreNeverLoaded) {
  std::wstring dir = testutil::ScratchDirectory(L"planted");
  std::wstring exe = dir + L"\\install.exe";
  ASSERT_TRUE(::CopyFileW(InstallExe().c_str(), exe.c_str(), FALSE));
  std::wstring planted = testutil::WindowsPath(LMX_BUILD_DIR_UNIX) + L"\\fixtures\\planted.dll";
  for (const wchar_t* name : {L"winspool.drv", L"version.dll"})
    ASSERT_TRUE(::CopyFileW(planted.c_str(), (dir + L"\\" + name).c_str(), FALSE)) << name;
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  std::wstring marker = std::wstring(temp) + L"lmx-planted-loaded.txt";
  ::DeleteFileW(marker.c_str());
  // Wine prefers its own builtin DLLs; asking it for a native winspool.drv
  // first (for install.exe only) makes it take a planted file whenever the
  // search would reach it, as Windows does. version.dll stays builtin-first:
  // Wine's own user32 imports it at start-up, which Windows' user32 does not.
  const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\install.exe\\DllOverrides";
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, overrides, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
            ERROR_SUCCESS);
  for (const wchar_t* name : {L"winspool.drv", L"winspool"})
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native,builtin"),
                     sizeof(L"native,builtin"));
  ::RegCloseKey(key);
  // Both need winspool.drv: the driver check enumerates printers, the other
  // word splits the command line and runs nothing.
  EXPECT_EQ(RunInstallExe(L"onChkDrv", exe), 3u);
  EXPECT_EQ(RunInstallExe(L"nothing", exe), 6u);
  ::RegDeleteKeyW(HKEY_CURRENT_USER, overrides);
  EXPECT_FALSE(testutil::FileExists(marker));
}

class InstallExeResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module = ::LoadLibraryExW(InstallExe().c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override {
    if (module) ::FreeLibrary(module);
  }
  std::vector<unsigned char> Resource(LPCWSTR type, LPCWSTR name, WORD language) {
    HRSRC found = ::FindResourceExW(module, type, name, language);
    if (!found) return {};
    auto* data = static_cast<const unsigned char*>(::LockResource(::LoadResource(module, found)));
    return std::vector<unsigned char>(data, data + ::SizeofResource(module, found));
  }
  HMODULE module = nullptr;
};

// Reads a DLGTEMPLATEEX as laid out in the resource.
struct Reader {
  const unsigned char* p;
  const unsigned char* end;
  WORD Word() {
    WORD v = 0;
    if (p + 2 <= end) std::memcpy(&v, p, 2);
    p += 2;
    return v;
  }
  DWORD Dword() {
    DWORD v = 0;
    if (p + 4 <= end) std::memcpy(&v, p, 4);
    p += 4;
    return v;
  }
  short Short() { return static_cast<short>(Word()); }
  // A name: 0 (none), 0xFFFF with an ordinal, or a NUL-terminated text.
  std::wstring SzOrOrd() {
    WORD first = Word();
    if (first == 0) return L"";
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    std::wstring s(1, static_cast<wchar_t>(first));
    for (WORD c; (c = Word()) != 0 && p < end;) s += static_cast<wchar_t>(c);
    return s;
  }
  void AlignDword(const unsigned char* base) {
    while ((p - base) % 4) ++p;
  }
};

TEST_F(InstallExeResourcesTest, LogWindowTemplate) {
  std::vector<unsigned char> dialog =
      Resource(RT_DIALOG, MAKEINTRESOURCEW(101), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_FALSE(dialog.empty());
  Reader r{dialog.data(), dialog.data() + dialog.size()};
  EXPECT_EQ(r.Word(), 1);       // dlgVer
  EXPECT_EQ(r.Word(), 0xFFFF);  // signature: an extended template
  r.Dword();                    // helpID
  EXPECT_EQ(r.Dword(), 0u);     // exStyle
  EXPECT_EQ(r.Dword(), 0x80C808C8u);
  EXPECT_EQ(r.Word(), 2);  // controls
  EXPECT_EQ(r.Short(), 0);
  EXPECT_EQ(r.Short(), 0);
  EXPECT_EQ(r.Short(), 451);
  EXPECT_EQ(r.Short(), 228);
  EXPECT_EQ(r.SzOrOrd(), L"");  // menu
  EXPECT_EQ(r.SzOrOrd(), L"");  // class
  EXPECT_EQ(r.SzOrOrd(), L"");  // caption
  EXPECT_EQ(r.Word(), 8);       // points
  EXPECT_EQ(r.Word(), 400);     // weight
  EXPECT_EQ(r.p[0], 0);         // italic
  EXPECT_EQ(r.p[1], 1);         // character set
  r.p += 2;
  EXPECT_EQ(r.SzOrOrd(), L"MS Shell Dlg");

  struct Control {
    DWORD style;
    short x, y, cx, cy;
    DWORD id;
    std::wstring cls, text;
  };
  std::vector<Control> controls;
  for (int i = 0; i < 2; ++i) {
    r.AlignDword(dialog.data());
    Control c;
    r.Dword();  // helpID
    EXPECT_EQ(r.Dword(), 0u);
    c.style = r.Dword();
    c.x = r.Short();
    c.y = r.Short();
    c.cx = r.Short();
    c.cy = r.Short();
    c.id = r.Dword();
    c.cls = r.SzOrOrd();
    c.text = r.SzOrOrd();
    r.p += r.Word();  // creation data
    controls.push_back(c);
  }
  EXPECT_EQ(controls[0].style, 0x50010001u);
  EXPECT_EQ(controls[0].id, 1u);
  EXPECT_EQ(controls[0].cls, L"#128");  // button
  EXPECT_EQ(controls[0].text, L"Close");
  EXPECT_EQ(std::vector<short>({controls[0].x, controls[0].y, controls[0].cx, controls[0].cy}),
            std::vector<short>({394, 207, 50, 14}));
  EXPECT_EQ(controls[1].style, 0x50A108C4u);
  EXPECT_EQ(controls[1].id, 1001u);
  EXPECT_EQ(controls[1].cls, L"#129");  // edit
  EXPECT_EQ(controls[1].text, L"");
  EXPECT_EQ(std::vector<short>({controls[1].x, controls[1].y, controls[1].cx, controls[1].cy}),
            std::vector<short>({7, 7, 437, 194}));
}

TEST_F(InstallExeResourcesTest, ManifestAsksForAdministratorAndCommonControlsSix) {
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  auto* data = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
  std::string manifest(data, ::SizeofResource(module, found));
  for (const char* text :
       {"level=\"requireAdministrator\"", "uiAccess=\"false\"", "name=\"Loomscribe.Install\"",
        "version=\"1.0.0.0\"", "type=\"win32\"", "processorArchitecture=\"*\"",
        "<description>File viewer/translator</description>",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""})
    EXPECT_NE(manifest.find(text), std::string::npos) << text;
}

TEST(InstallExeVersionTest, ProductAndFileVersionAre1_0_0_2070) {
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeW(InstallExe().c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(InstallExe().c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 2070u);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 2070u);
}

}  // namespace

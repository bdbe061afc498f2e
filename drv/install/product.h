// The product's names, in one place: what this program registers, copies,
// looks for or writes under the product's name. The other parts of the
// product (the monitor, the driver, the tray program, the product installer)
// use the same names on their own side, and a name changed here alone breaks
// the machine's installation. The tray program's handshake lives in
// tray/tray_protocol.h, which the tray program shares.
//
// Log and error texts that contain these names stay literal where they are
// written: they are texts for people, not names for the system.
#pragma once

#include <cstddef>

// The port monitor, and the port the product's printers print to.
inline constexpr wchar_t kProductPort[] = L"Loomscribe:";
// The printer driver.
inline constexpr wchar_t kProductDriver[] = L"Loomscribe printer";
// The printer the install creates when it carries none across.
inline constexpr wchar_t kFirstPrinterName[] = L"Loomscribe";
// The driver's manufacturer, and its address in the driver's record.
inline constexpr wchar_t kDriverMaker[] = L"Tamarel Software Kft.";
inline constexpr wchar_t kMakerUrl[] = L"https://www.tamarel.example/";

// The 64-bit component files, copied from the program's own folder.
inline constexpr wchar_t kMonitorFile64[] = L"lmxmon64.dll";
inline constexpr wchar_t kDriverFile64[] = L"lmxdrv64.dll";
inline constexpr wchar_t kUiFile64[] = L"lmxui64.dll";
inline constexpr wchar_t kHelpFile[] = L"lmxhelp.chm";
// The tray program, in the parent of the program's folder (ANSI: it is
// joined to the folder with AssignAnsi).
inline constexpr char kTrayFileName[] = "lsbtray.exe";

// The tray program's auto-start value under the machine's Run key; written
// with the wide calls and deleted with the ANSI one.
inline constexpr wchar_t kTrayRunValueW[] = L"LoomscribeTray";
inline constexpr char kTrayRunValueA[] = "LoomscribeTray";

// The product's per-user key (HKEY_CURRENT_USER), below which the printers'
// "SubKey" data names their settings; and the machine key (HKEY_LOCAL_MACHINE)
// of the journal of carried printers.
inline constexpr char kProductUserKey[] = "Software\\Tamarel Software KFT\\Loomscribe";
inline constexpr wchar_t kCarriedPrintersKey[] =
    L"SOFTWARE\\Tamarel Software KFT\\Loomscribe\\CarriedPrinters";
// The printer data value that ties a printer to its settings, kept both at
// the printer's top level and under the key "DsUser".
inline constexpr char kSubKeyValue[] = "SubKey";
inline constexpr char kDsUserKey[] = "DsUser";
// Below the per-user key, the marker of a printer's settings: this prefix and
// the printer's "SubKey"; its value "deleted" says the printer is gone.
inline constexpr char kMarkerPrefix[] = "Loomscribes\\";
inline constexpr size_t kMarkerPrefixLength = sizeof kMarkerPrefix - 1;

// The help viewer windows that install and uninstall close first.
inline constexpr wchar_t kHelpWindowClass[] = L"HH Parent";
inline constexpr wchar_t kHelpWindowTitle[] = L"Loomscribe Help";

// The lock that keeps two runs of this program apart.
inline constexpr wchar_t kRunLockName[] = L"Global\\Loomscribe.Install";

// The log window's title and the first line of every log file (behind the
// byte-order mark); %d is the build number.
inline constexpr wchar_t kLogTitleFormat[] = L"Loomscribe build %d- Install";
// The folder below the common application data folder that holds Logs.
inline constexpr wchar_t kProductFolderName[] = L"Loomscribe";

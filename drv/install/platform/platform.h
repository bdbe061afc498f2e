// The one seam between the setup tool and Windows.
//
// Every call the program makes to the spooler, the service control manager,
// the registry, the file system, the kernel (memory, processes, mutexes,
// error texts, version, tick count, sleeps and waits), the window manager and
// the shell goes through the table below. The real table (platform.cpp) binds
// the entries to Windows; tests install a table of their own, so they can fake
// the clock, record calls and make any call fail.
//
// The entry list is kept as one X-macro so that the table, the real binding
// and the test fakes are all made from the same list and cannot drift apart.
// X(name, library, value returned by a failing stand-in)
//   library: K kernel32, U user32, A advapi32, S shell32 (linked directly,
//   all system-known DLLs); N ntdll.dll (always loaded, looked up there);
//   W winspool.drv, V version.dll and E userenv.dll (loaded at run time from
//   the system directory only).
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <userenv.h>
#include <winspool.h>
#include <winternl.h>
#include <winver.h>

#define LMX_PLATFORM_ENTRIES(X)                                   \
  /* kernel: errors, memory */                                    \
  X(GetLastError, K, 0)                                           \
  X(SetLastError, K, 0)                                           \
  X(GlobalAlloc, K, nullptr)                                      \
  X(GlobalFree, K, nullptr)                                       \
  X(LocalFree, K, nullptr)                                        \
  X(GetProcessHeap, K, nullptr)                                   \
  X(HeapAlloc, K, nullptr)                                        \
  X(HeapReAlloc, K, nullptr)                                      \
  X(HeapFree, K, FALSE)                                           \
  X(FormatMessageW, K, 0)                                         \
  X(MultiByteToWideChar, K, 0)                                    \
  X(CompareStringOrdinal, K, 0)                                   \
  /* kernel: time */                                              \
  X(GetTickCount, K, 0)                                           \
  X(Sleep, K, 0)                                                  \
  X(WaitForSingleObject, K, WAIT_FAILED)                          \
  /* kernel: files and directories */                             \
  X(CreateFileW, K, INVALID_HANDLE_VALUE)                         \
  X(ReadFile, K, FALSE)                                           \
  X(WriteFile, K, FALSE)                                          \
  X(CloseHandle, K, FALSE)                                        \
  X(DeleteFileW, K, FALSE)                                        \
  X(GetFileAttributesW, K, INVALID_FILE_ATTRIBUTES)               \
  X(MoveFileExW, K, FALSE)                                        \
  X(FlushFileBuffers, K, FALSE)                                   \
  X(GetFileInformationByHandle, K, FALSE)                         \
  X(GetModuleFileNameW, K, 0)                                     \
  X(GetSystemDirectoryW, K, 0)                                    \
  X(GetTempPathW, K, 0)                                           \
  X(SetFilePointerEx, K, FALSE)                                   \
  X(SetEndOfFile, K, FALSE)                                       \
  X(NtCreateFile, N, static_cast<NTSTATUS>(0xC0000002L))        \
  /* kernel: the run lock and the log folder */                   \
  X(CreateMutexExW, K, nullptr)                                   \
  X(CreateDirectoryW, K, FALSE)                                   \
  X(RemoveDirectoryW, K, FALSE)                                   \
  X(FindFirstFileW, K, INVALID_HANDLE_VALUE)                      \
  X(FindNextFileW, K, FALSE)                                      \
  X(FindClose, K, FALSE)                                          \
  X(GetLocalTime, K, 0)                                           \
  X(GetCurrentProcess, K, nullptr)                                \
  X(GetCurrentProcessId, K, 0)                                    \
  X(GetProcessTimes, K, FALSE)                                    \
  X(FileTimeToSystemTime, K, FALSE)                               \
  X(SHGetFolderPathW, S, E_FAIL)                                  \
  /* security: access lists of the run lock and the log folder */ \
  X(ConvertStringSecurityDescriptorToSecurityDescriptorW, A, FALSE) \
  X(OpenProcessToken, A, FALSE)                                   \
  X(GetTokenInformation, A, FALSE)                                \
  X(GetSecurityInfo, A, ERROR_CALL_NOT_IMPLEMENTED)               \
  X(GetAclInformation, A, FALSE)                                  \
  X(GetAce, A, FALSE)                                             \
  X(IsWellKnownSid, A, FALSE)                                     \
  X(EqualSid, A, FALSE)                                           \
  /* the tray program started with the signed-in user's token */  \
  X(GetShellWindow, U, nullptr)                                   \
  X(GetWindowThreadProcessId, U, 0)                               \
  X(OpenProcess, K, nullptr)                                      \
  X(DuplicateTokenEx, A, FALSE)                                   \
  X(CreateProcessWithTokenW, A, FALSE)                            \
  X(CreateEnvironmentBlock, E, FALSE)                             \
  X(DestroyEnvironmentBlock, E, FALSE)                            \
  /* kernel: processes, mutexes, version, command line */         \
  X(GetVersionExA, K, FALSE)                                      \
  X(CreateProcessW, K, FALSE)                                     \
  X(CreateMutexA, K, nullptr)                                     \
  X(ReleaseMutex, K, FALSE)                                       \
  X(GetCommandLineW, K, nullptr)                                  \
  /* shell */                                                     \
  X(CommandLineToArgvW, S, nullptr)                               \
  /* windows */                                                   \
  X(FindWindowW, U, nullptr)                                      \
  X(PostMessageW, U, FALSE)                                       \
  X(IsWindow, U, FALSE)                                           \
  X(GetAsyncKeyState, U, 0)                                       \
  X(DialogBoxParamW, U, -1)                                       \
  X(EndDialog, U, FALSE)                                          \
  X(SetDlgItemTextW, U, FALSE)                                    \
  X(SetWindowTextW, U, FALSE)                                     \
  X(GetProcessWindowStation, U, nullptr)                          \
  X(GetUserObjectInformationW, U, FALSE)                          \
  /* service control manager */                                   \
  X(OpenSCManagerW, A, nullptr)                                   \
  X(OpenServiceW, A, nullptr)                                     \
  X(CloseServiceHandle, A, FALSE)                                 \
  X(StartServiceW, A, FALSE)                                      \
  X(QueryServiceStatus, A, FALSE)                                 \
  X(ControlService, A, FALSE)                                     \
  /* registry (these return an error code, not a BOOL) */         \
  X(RegOpenKeyExA, A, ERROR_CALL_NOT_IMPLEMENTED)                 \
  X(RegOpenKeyExW, A, ERROR_CALL_NOT_IMPLEMENTED)                 \
  X(RegCreateKeyExW, A, ERROR_CALL_NOT_IMPLEMENTED)               \
  X(RegEnumKeyExW, A, ERROR_CALL_NOT_IMPLEMENTED)                 \
  X(RegQueryInfoKeyW, A, ERROR_CALL_NOT_IMPLEMENTED)              \
  X(RegDeleteTreeW, A, ERROR_CALL_NOT_IMPLEMENTED)                \
  X(RegFlushKey, A, ERROR_CALL_NOT_IMPLEMENTED)                   \
  X(RegQueryValueExW, A, ERROR_CALL_NOT_IMPLEMENTED)              \
  X(RegSetValueExW, A, ERROR_CALL_NOT_IMPLEMENTED)                \
  X(RegDeleteValueA, A, ERROR_CALL_NOT_IMPLEMENTED)               \
  X(RegEnumValueW, A, ERROR_CALL_NOT_IMPLEMENTED)                 \
  X(RegDeleteValueW, A, ERROR_CALL_NOT_IMPLEMENTED)               \
  X(RegSetKeySecurity, A, ERROR_CALL_NOT_IMPLEMENTED)             \
  X(RegCloseKey, A, ERROR_CALL_NOT_IMPLEMENTED)                   \
  /* version resources */                                         \
  X(GetFileVersionInfoSizeW, V, 0)                                \
  X(GetFileVersionInfoW, V, FALSE)                                \
  X(VerQueryValueW, V, FALSE)                                     \
  /* spooler */                                                   \
  X(EnumMonitorsW, W, FALSE)                                      \
  X(AddMonitorW, W, FALSE)                                        \
  X(DeleteMonitorW, W, FALSE)                                     \
  X(EnumPrinterDriversW, W, FALSE)                                \
  X(AddPrinterDriverExW, W, FALSE)                                \
  X(DeletePrinterDriverExW, W, FALSE)                             \
  X(GetPrinterDriverW, W, FALSE)                                  \
  X(GetPrinterDriverDirectoryW, W, FALSE)                         \
  X(EnumPrintersW, W, FALSE)                                      \
  X(OpenPrinterW, W, FALSE)                                       \
  X(ClosePrinter, W, FALSE)                                       \
  X(GetPrinterW, W, FALSE)                                        \
  X(SetPrinterW, W, FALSE)                                        \
  X(AddPrinterW, W, nullptr)                                      \
  X(DeletePrinter, W, FALSE)                                      \
  X(GetPrinterDataA, W, ERROR_CALL_NOT_IMPLEMENTED)               \
  X(GetPrinterDataExA, W, ERROR_CALL_NOT_IMPLEMENTED)             \
  X(SetPrinterDataA, W, ERROR_CALL_NOT_IMPLEMENTED)               \
  X(SetPrinterDataExA, W, ERROR_CALL_NOT_IMPLEMENTED)             \
  X(GetDefaultPrinterW, W, FALSE)                                 \
  X(SetDefaultPrinterW, W, FALSE)

// The table: one function pointer per entry, typed exactly as the Windows
// function (decltype does not reference the import, so winspool.drv and
// version.dll stay out of the import table).
struct Platform {
#define LMX_PLATFORM_MEMBER(name, lib, fail) decltype(&::name) name;
  LMX_PLATFORM_ENTRIES(LMX_PLATFORM_MEMBER)
#undef LMX_PLATFORM_MEMBER
};

// The table in use. Never null: it starts as the real table.
const Platform& Os();

// Installs another table (tests) and returns the one it replaces.
const Platform* SetPlatform(const Platform* table);

// The table bound to Windows (built on first use).
const Platform& RealPlatform();

// Restricts this process's DLL search to the system directory. The program
// calls it before anything else.
void RestrictDllSearchToSystemDirectory();

// Wine compatibility. Two spooler calls behave differently on Wine 8 in ways
// that would break a real install there; the real table mends exactly these,
// and only when Wine is detected (ntdll exports wine_get_version):
//  - AddPrinterW with a null pDatatype makes a printer that Wine cannot open
//    again (error 1801: Wine stores no "Datatype" value). On Wine the print
//    processor's default, "RAW", is passed instead.
//  - DeletePrinterDriverExW rejects every non-zero delete flag with error 87,
//    and with 0 it leaves the driver's files behind. On Wine the driver's
//    files are read first, the driver is deleted with 0 and then its files;
//    as on Windows, DPD_DELETE_ALL_FILES is refused (ERROR_PRINTER_DRIVER_IN_USE,
//    nothing deleted) while another driver names one of those files, and
//    DPD_DELETE_UNUSED_FILES keeps such files.
// On Windows the calls go straight to winspool.drv.
struct WineCompat {
  bool active;                         // Wine was detected
  decltype(&::AddPrinterW) addPrinter; // the spooler's own entries
  decltype(&::DeletePrinterDriverExW) deletePrinterDriverEx;
  decltype(&::EnumPrinterDriversW) enumPrinterDrivers;
  decltype(&::DeleteFileW) deleteFile;
};

bool RunningOnWine();
// The compatibility state the real table uses; tests may change it.
WineCompat& CurrentWineCompat();
HANDLE WINAPI CompatAddPrinterW(LPWSTR server, DWORD level, LPBYTE printer);
BOOL WINAPI CompatDeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driver,
                                         DWORD deleteFlags, DWORD versionFlags);

// The record of one install or uninstall run, its log and its two small
// containers: WideBuffer (growable UTF-16 text) and PendingDeleteList.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>

#include "product.h"

// This program's build number: the first log line and the log window title.
constexpr int kBuildNumber = 2070;

// The product's spooler names (product.h) are compared exactly, letter case
// and terminator included ("Loomscribe:" over 12 code units, "Loomscribe
// printer" over 19), so a longer name that begins with them never matches.
bool IsProductPortName(const wchar_t* name);
bool IsProductDriverName(const wchar_t* name);

// Names this program defines itself (command words, component file names,
// the window station's name): the letters A to Z match their lower-case
// forms, every other character must be the same, and so must the length.
// Unlike _wcsicmp this does not depend on the user's locale. False when
// either is null.
bool SameAsciiName(const wchar_t* a, const wchar_t* b);
// Paths and file names as the file system compares them: ordinal, ignoring
// case (CompareStringOrdinal). False when either is null.
bool SamePathText(const wchar_t* a, const wchar_t* b);
// Whether `path` begins with the first `count` characters of `prefix`,
// compared as SamePathText.
bool PathBeginsWith(const wchar_t* path, const wchar_t* prefix, size_t count);

// ---------------------------------------------------------------------------
// WideBuffer: one pointer. Null is the empty text and holds no memory.
// Otherwise it leads to one heap block: a 64-bit character count, that many
// UTF-16 characters and a NUL. The capacity is not stored: it is count + 1
// rounded up to the next multiple of 32 characters.
struct WideBuffer {
  void* block = nullptr;
};

// Bytes of the block that holds `count` characters (count field included).
size_t WideBlockBytes(uint64_t count);
uint64_t Length(const WideBuffer& buffer);
// The characters; "" for the empty buffer.
const wchar_t* Text(const WideBuffer& buffer);
// Writable characters (null for the empty buffer).
wchar_t* MutableText(WideBuffer& buffer);
// Sets the count, growing or shrinking the block when its size changes.
// Returns false, with the buffer unchanged, when memory cannot be had.
bool SetLength(WideBuffer& buffer, uint64_t count);
void Release(WideBuffer& buffer);
bool Assign(WideBuffer& buffer, const wchar_t* text);
bool Append(WideBuffer& buffer, const wchar_t* text);
bool AppendCount(WideBuffer& buffer, const wchar_t* text, size_t count);
// Text in the ANSI code page converted to UTF-16.
WideBuffer AssignAnsi(const char* text);
// The characters before the last backslash (or, when there is none, before
// the last slash); empty when there is neither, or when the separator is the
// first character.
WideBuffer ParentDirectory(const WideBuffer& buffer);
WideBuffer CopyBuffer(const WideBuffer& buffer);

// ---------------------------------------------------------------------------
// PendingDeleteList: full paths of files whose deletion is still outstanding,
// newest first. Nodes and paths live on the Windows global heap.
struct PendingDelete {
  wchar_t* path;  // null for an empty path
  PendingDelete* next;
};

// ---------------------------------------------------------------------------
// Records of the spooler's answers that the session holds.
struct PrinterList {
  PRINTER_INFO_2W* buffer = nullptr;  // one global-heap block: records and strings
  uint32_t count = 0;
};

struct SavedPrinter {
  char* subKey;              // the printer's "SubKey" value (ANSI), owned
  PRINTER_INFO_2W* printer;  // its record inside the session's Printers, borrowed
  SavedPrinter* next;
  // The printer opened with the delete step's access by the save, owned until
  // the delete step takes it; null when the save could only read.
  HANDLE opened;
};

// Where the removal wrote "file:" into a redirected printer's port text (see
// monitor/port_text.h).
struct PortRewrite;
// The run's journal of carried printers (journal/journal.h).
struct CarriedJournal;
// The previous installation an install keeps (previous/previous.h).
struct PreviousInstallation;

// What an install found out, once and before it changed anything, about the
// port monitor already registered and its library (monitor/monitor_plan.cpp),
// kept up to date as the run removes and registers the monitor.
struct MonitorPlan {
  uint8_t Made = 0;
  uint8_t Registered = 0;  // a "Loomscribe:" monitor is registered
  uint8_t Queued = 0;      // its library waits for deletion at the next boot
  uint8_t CopyFailed = 0;  // the install half could not copy the monitor library
  int32_t Build = -1;      // build number of the library, -1 when it has none
  WideBuffer Library;      // the library's full path (the registered one's, else
                           // MonitorFile's) in the system directory
};

// ---------------------------------------------------------------------------
// The record of one run. Beside each field: who writes it (w:) and who reads
// it (r:), by folder of drv/install and, where it matters, by function.
// Nothing outside these writes a field; a new writer belongs on this map.
struct InstallSession {
  // w: TakeSessionDirectories. r: files/ (copy sources), tray/ (TrayProgramPath).
  WideBuffer ModuleDirectory;  // the program's directory, separator included
  // w: TakeSessionDirectories. r: monitor/ (copy target, removal, plan),
  // sequences/ (component check and guard).
  WideBuffer SystemDirectory;  // always ends in a backslash, or is empty
  // w: LogLine, LogError. r: session/ (log window, log file).
  WideBuffer InstallLog;       // lines ending in CR LF
  // w: files/ (SetPlatformFiles). r: driver/ (staging, files left behind),
  // sequences/ (component check).
  WideBuffer DriverDirectory;  // the spooler's driver directory, ends in a backslash
  // w: files/ (SetPlatformFiles). r: monitor/, driver/, sequences/.
  const wchar_t* Environment = nullptr;  // "Windows x64"
  // w: files/ (SetPlatformFiles), all four. r: monitor/ (MonitorFile),
  // driver/ (the other three), sequences/ (component check and guard).
  const wchar_t* MonitorFile = nullptr;  // "lmxmon64.dll"
  const wchar_t* DriverFile = nullptr;   // "lmxdrv64.dll"
  const wchar_t* HelpFile = nullptr;     // "lmxhelp.chm"
  const wchar_t* UiFile = nullptr;       // "lmxui64.dll"
  // w: sequences/ (ReInstall). r: monitor/ (RemovePortMonitor's version
  // check), driver/ (the files a removal leaves), sequences/ (the tray
  // program's own file).
  uint8_t Reinstall = 0;       // the uninstall is the first half of an install
  // w: monitor/ (RemovePortMonitor keeps a compatible monitor). r: sequences/
  // (ReInstall), monitor/ (RecheckKeptMonitorLibrary).
  uint8_t InstallMonitor = 1;  // register the port monitor during the install
  // w: monitor/ (RemovePortMonitor clears it, RecheckKeptMonitorLibrary sets
  // it again). r: monitor/ (InstallPortMonitor).
  uint8_t CopyMonitor = 1;     // copy the monitor file during the install
  // w: LogError only. r: sequences/ (exit code, log window, scheduling),
  // session/ (log window title).
  int32_t ErrorCount = 0;
  // w: every operation with a title line, raised after it and lowered on
  // every way out. r: LogLine, LogError.
  int32_t IndentDepth = 0;
  // w: AddPendingDelete from monitor/ (RemovePortMonitor), driver/ (install
  // and removal), files/ (copy), tray/ (an uninstall's undeletable tray
  // program). r and released: DeleteFileTry, sequences/
  // (the passes with the spooler stopped, scheduling at the end of the run).
  PendingDelete* PendingDeletes = nullptr;
  // w: printers/ (SaveProductPrinter, called by DeleteAllPrinters).
  // r: printers/ (RecreateSavedPrinters). Freed by EndSession. Its nodes
  // point into Printers.
  SavedPrinter* SavedPrinters = nullptr;
  // The snapshot of the machine's printers, taken once per run by
  // printers/ (MarkDefaultPrinter) during the set-up, and held until
  // EndSession. r: printers/ (DeleteAllPrinters, journal), monitor/
  // (RedirectPrinters). SavedPrinters and RedirectedPorts point into its
  // buffer: it must not be listed again (ListPrinters frees the old buffer)
  // while either of them holds anything.
  PrinterList Printers;
  // w: monitor/ (RedirectPrinters; PutBackRedirectedPrinters empties them).
  // r: monitor/ (RestoreRedirectedPrinters, after a failed removal or from
  // InstallPortMonitor). Freed by EndSession.
  PRINTER_INFO_2W** RedirectedPorts = nullptr;  // null-terminated, points into Printers
  PortRewrite* RedirectedRewrites = nullptr;     // one per entry of RedirectedPorts
  // w and r: monitor/ (monitor_plan.cpp; InstallPortMonitor notes a failed
  // copy). r through monitor/'s functions: sequences/ (component check and
  // guard).
  MonitorPlan Monitor;
  // w: sequences/ (RunInstall and RunUninstall own the journal and lend it
  // for the run). r: printers/ (journal.cpp, printer_recreate.cpp), journal/
  // (the moves' entries), monitor/ (through JournalPortMoves). Not released by
  // EndSession: null again once the sequence has closed it.
  CarriedJournal* Journal = nullptr;
  // w: driver/ (InstallPrinterDriver): the product driver is registered
  // with every file it names in place. r: printers/ (journal replay).
  uint8_t DriverReady = 0;
  // w: sequences/ (RunInstall owns the kept previous installation and lends
  // it for the run). r: previous/ (put-back, clean-up), printers/ (the
  // journal writes its record), sequences/ (relied-on files).
  PreviousInstallation* Previous = nullptr;
};

void BeginSession(InstallSession& session);
void TakeSessionDirectories(InstallSession& session);
void EndSession(InstallSession& session);

// One indented line: two blanks per depth level (at most 10 levels), the
// formatted text (%s is a UTF-16 text), CR LF. Text longer than 1023
// characters is cut.
void LogLine(InstallSession& session, const wchar_t* format, ...);
// "Error(code): " with the message, then " - (system text of the last
// error)" when the last error is not 0; counts the error. The product logs
// through the functions below, one per code, never with a code of its own.
void LogError(InstallSession& session, int code, const wchar_t* format, ...);

// The run's errors, one function per code (session.cpp holds the texts).
void LogServiceManagerOpenFailed(InstallSession& session);          // 1
void LogSpoolerOpenFailed(InstallSession& session);                 // 2
void LogSpoolerStopFailed(InstallSession& session);                 // 3
void LogSpoolerStartFailed(InstallSession& session);                // 4
void LogControlServiceFailed(InstallSession& session, DWORD error); // 5
void LogDriverDirectoryUnknown(InstallSession& session);            // 6
void LogSystemDirectoryUnknown(InstallSession& session);            // 7
void LogCopyFailed(InstallSession& session, const wchar_t* target); // 8
void LogCopyDestinationFailed(InstallSession& session, const wchar_t* path);  // 9
void LogCopySourceFailed(InstallSession& session, const wchar_t* name);       // 10
void LogMonitorInstallFailed(InstallSession& session);              // 11
void LogMonitorRemoveFailed(InstallSession& session);               // 12
void LogDriverInstallFailed(InstallSession& session);               // 13
void LogDriverRemoveFailed(InstallSession& session);                // 14
void LogPrinterAddFailed(InstallSession& session, const wchar_t* printer);     // 15
void LogPrinterOpenFailed(InstallSession& session, const wchar_t* printer);    // 16
void LogPrinterDeleteFailed(InstallSession& session, const wchar_t* printer);  // 17
void LogOtherRunWaitFailed(InstallSession& session);                // 18
void LogFileDeleteFailed(InstallSession& session, const wchar_t* path);       // 19
void LogJournalWriteFailed(InstallSession& session);                // 20
void LogCantCarryPrinter(InstallSession& session, const wchar_t* printer);     // 21
void LogCantKeepPreviousFile(InstallSession& session, const wchar_t* path);    // 22
void LogCantPutBackPrevious(InstallSession& session, const wchar_t* what);     // 23

// The message format of an error code (1 to 23), as its function above
// writes it; "" for any other code.
const wchar_t* ErrorMessageFormat(int code);

void AddPendingDelete(PendingDelete** head, const wchar_t* path);
void DeleteFileTry(InstallSession& session);
void ReleasePendingDeletes(PendingDelete** head);

// The system's English text for an error code (FormatMessageW, language
// 1033), or null; release with Os().LocalFree.
wchar_t* SystemErrorText(DWORD code);

// The record of one install or uninstall run. Its parts live beside it:
// the name comparisons (names.h), its texts (wide_buffer.h), its log
// (log.h) and its pending deletes (pending_deletes.h).
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>

#include "product.h"
#include "session/log.h"
#include "session/names.h"
#include "session/pending_deletes.h"
#include "session/wide_buffer.h"

// This program's build number: the first log line and the log window title.
constexpr int kBuildNumber = 2070;

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
  PendingDeleteList PendingDeletes;
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

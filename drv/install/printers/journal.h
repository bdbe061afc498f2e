// The journal of carried printers: what a re-install is about to take away,
// kept in the registry so that a run cut off half-way (a crash, a power cut,
// TerminateProcess) costs the user no printer.
//
// Key: HKEY_LOCAL_MACHINE "SOFTWARE\Tamarel Software KFT\Loomscribe\CarriedPrinters",
// written only by this program. One sub-key per entry, named by a decimal
// number (printer names may hold characters and lengths a key name may not);
// the entry's printer name is its "Name" value and entries are told apart by
// it. Values of an entry:
//   "Name"      REG_SZ     the printer's name
//   "SubKey"    REG_BINARY the printer's "SubKey" data as the spooler held it
//                          (1 to 63 ANSI characters, no terminator)
//   "Comment"   REG_SZ     } present together with "SubKey": a product printer
//   "Location"  REG_SZ     } that the run deletes and means to create again
//   "Default"   REG_DWORD  } 1 when it was the default printer, else 0
//   "MovedPort" REG_SZ     the port text of another vendor's printer before the
//                          monitor removal moved it from "Loomscribe:" to "file:"
// An entry holds either the four values of a carried printer or "MovedPort",
// always with "Name"; anything else in it makes the entry unusable.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstddef>

struct InstallSession;

// The key below HKEY_LOCAL_MACHINE: kCarriedPrintersKey (product.h).

// Before the uninstall half of an install: one entry for every product
// printer of the snapshot that carries a usable "SubKey", written and flushed
// once. Entries an earlier run left are read first; one of the same name is
// replaced. On failure nothing written stays, error 20 is logged, and false
// is returned: the run must then change nothing.
bool JournalCarriedPrinters(InstallSession& session);

// Before the monitor removal moves printers to "file:": the port text of
// every printer of another driver among `records`, written and flushed. False
// (error 20 logged, nothing written stays) means no printer may be moved.
bool JournalPortMoves(InstallSession& session, PRINTER_INFO_2W* const* records, size_t count);
// The moves of this run have been given back (or could not be, after one
// try): their entries go.
void JournalPortMovesDone(InstallSession& session);

// A product printer of this run has been created again with its settings:
// its entry goes.
void JournalPrinterRecreated(InstallSession& session, const wchar_t* name);

// Carries out, once, the entries an earlier run left; returns how many
// printers it created. Logs nothing when no such entry exists.
int ReplayJournal(InstallSession& session);

// The end of a completed uninstall: every entry goes.
void ClearJournal(InstallSession& session);

// Closes the journal and frees what the session held of it.
void ReleaseJournal(InstallSession& session);

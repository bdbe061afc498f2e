// The run's journal of carried printers: owned by the install or uninstall
// sequence for the length of the run, lent to the steps through
// InstallSession::Journal. The store (journal_store.h) keeps the entries;
// printers/journal.h decides them.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstddef>
#include <cstdint>

#include "journal/journal_store.h"

struct InstallSession;

struct CarriedJournal {
  journal::Store store;
  BYTE account[journal::kMaxSidBytes] = {};  // the account this run belongs to
  DWORD accountBytes = 0;                    // 0 when it could not be read
  uint32_t firstOfRun = 0;  // entries from here on were written by this run
  // The snapshot's default was a product printer this run does not carry:
  // the first product printer it creates becomes the default.
  uint8_t defaultToFirst = 0;
};

// Before printers are moved to "file:": an entry for every printer of
// another driver among `records` that has none of this run yet, written and
// flushed. False (error 20 logged, nothing new stays) means none may be moved.
bool JournalPortMoves(InstallSession& session, PRINTER_INFO_2W* const* records, size_t count);

// The end of a completed uninstall: every entry goes.
void ClearJournal(InstallSession& session);

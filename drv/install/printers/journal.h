// What the run does with the journal of carried printers
// (journal/journal_store.h): this run's entries, written before anything is
// taken away, and the decision on every entry once the printers are back.
//
// An entry goes only when what it stands for is back: its printer whole
// (product driver, "SubKey" in both places, comment, location) or its port
// text. It is skipped, and goes, when its name is taken by another vendor's
// printer or a product printer with another "SubKey", when its moved printer
// is gone or reads neither way, or after three runs that had the driver, the
// monitor and an answering spooler failed to replay it. Otherwise it stays
// ("Journal entry kept: %s"), whichever run wrote it.
#pragma once

struct InstallSession;

// Before the uninstall half of an install: reads the journal and writes this
// run's entries (every product printer the save step found a "SubKey" on,
// the ports the monitor removal is foreseen to move, the default passing to
// a product printer) with one flush. With nothing to write the key is not
// opened for writing. False, with error 20 logged and nothing new left, when
// they cannot be written: the run must then change nothing.
bool PrepareJournal(InstallSession& session);

// Whether this run's entry for the printer asks for it to be the default
// printer (it was, or an earlier entry of this account said so).
bool JournalWantsDefault(InstallSession& session, const wchar_t* name);

// A product printer of this run has been created again whole: its entry is
// decided.
void JournalPrinterRecreated(InstallSession& session, const wchar_t* name);

// Replays and decides every entry still standing, this run's and earlier
// runs'; returns how many printers it created or completed.
int ReplayJournal(InstallSession& session);

// The last step: the default-printer entries are decided, and what was
// decided goes (after the machine's and the user's hives are flushed).
void FinishJournal(InstallSession& session);

// Moving a printer's port text off "Loomscribe:" to "file:" and back, in
// place, inside the block the spooler's enumeration gave.
//
// The spooler lays the strings of an enumeration out back to back, so a port
// text has exactly the storage of its original length and terminator: it may
// shrink in place, and grow again only up to that length. A port text can be
// a comma-separated list of ports and may hold "file:" of its own, so the way
// back must put "Loomscribe:" exactly where "file:" was written, not at the
// first "file:" of the text, and must never grow the text past the length the
// spooler gave. Each rewrite therefore remembers its place and the original
// length.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstddef>

struct InstallSession;

// Characters of `text` before its terminator, looking at no more than `limit`
// characters; `limit` when no terminator lies within them.
size_t BoundedLength(const wchar_t* text, size_t limit);

// One rewrite of a port text from "Loomscribe:" to "file:".
// The session keeps one beside each entry of its RedirectedPortList.
constexpr size_t kMaxPortRewrites = 8;
struct PortRewrite {
  size_t offset;        // where the first "file:" now stands
  size_t capacity;      // characters of storage: the original length and its terminator
  const wchar_t* text;  // the port text rewritten; null once it has been given back
  size_t count;         // occurrences rewritten (0 counts as 1)
  size_t later[kMaxPortRewrites - 1];  // where the others now stand
};

// Replaces every "Loomscribe:" of `text` (up to kMaxPortRewrites) by
// "file:": a pooled text that names the port twice would otherwise still
// hold it, and the spooler refuses to delete a monitor while a printer uses
// its port. The text around them stays as it was. Writes only within the text
// and its terminator. Returns false, and leaves the text alone, when it holds
// no "Loomscribe:". `rewrite` (may be null) receives where and in how much
// storage.
bool RedirectPortText(wchar_t* text, PortRewrite* rewrite);

// Puts "Loomscribe:" back where `rewrite` wrote "file:". Returns false, and
// leaves the text alone, when "file:" no longer stands at each of those
// places or the longer text would not fit `rewrite.capacity`.
bool RestorePortText(wchar_t* text, const PortRewrite& rewrite);

// Hands a printer's record, with its port text rewritten, to the spooler
// (SetPrinterW, level 2) and logs "SetPrinter(%s) - ok" or "- failed", or
// "Can't open printer %s".
void StorePrinterPort(InstallSession& session, PRINTER_INFO_2W* record);

// The moves of other printers off "Loomscribe:" and back have their one home
// in port_moves.cpp: the monitor removal, the monitor install and the
// journal's replay all go through the functions below.

// Moves every printer of the snapshot whose port text names "Loomscribe:" to
// "file:" and lists it in RedirectedPorts, after their journal entries are
// on disk (none is moved without).
void RedirectPrinters(InstallSession& session);
// The monitor stays: the printers moved off its port go back at once, and the
// list is used up.
void PutBackRedirectedPrinters(InstallSession& session);
// Puts the printers that the monitor removal moved to "file:" back on
// "Loomscribe:", each at the place it was moved from, and only once.
void RestoreRedirectedPrinters(InstallSession& session);

// A move an earlier run (or this one) journaled, looked at now.
enum class PortMove {
  kPutBack,     // it still read as the move left it and was given back
  kBack,        // the port text is the one before the move
  kGone,        // no printer of that name (ERROR_INVALID_PRINTER_NAME)
  kChanged,     // it reads neither way, or is a product printer now
  kNoAnswer,    // the spooler did not answer
  kFailed,      // it read as moved but could not be stored
};
PortMove ReplayPortMove(InstallSession& session, const wchar_t* name, const wchar_t* movedPort);

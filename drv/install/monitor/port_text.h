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
struct PortRewrite {
  size_t offset;        // where "file:" now stands
  size_t capacity;      // characters of storage: the original length and its terminator
  const wchar_t* text;  // the port text rewritten; null once it has been given back
};

// Replaces the first "Loomscribe:" of `text` by "file:"; the text after it
// follows "file:" unchanged. Writes only within the text and its terminator.
// Returns false, and leaves the text alone, when it holds no "Loomscribe:".
// `rewrite` (may be null) receives where and in how much storage.
bool RedirectPortText(wchar_t* text, PortRewrite* rewrite);

// Puts "Loomscribe:" back where `rewrite` wrote "file:". Returns false, and
// leaves the text alone, when "file:" no longer stands there or the longer
// text would not fit `rewrite.capacity`.
bool RestorePortText(wchar_t* text, const PortRewrite& rewrite);

// Hands a printer's record, with its port text rewritten, to the spooler
// (SetPrinterW, level 2) and logs "SetPrinter(%s) - ok" or "- failed", or
// "Can't open printer %s".
void StorePrinterPort(InstallSession& session, PRINTER_INFO_2W* record);

// Puts the printers that the monitor removal moved to "file:" back on
// "Loomscribe:", each at the place it was moved from, and only once; their
// journal entries go after that one try.
void RestoreRedirectedPrinters(InstallSession& session);

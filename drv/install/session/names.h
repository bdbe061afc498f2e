// How the program compares names: the product's spooler names exactly, its
// own names by ASCII letters, and paths as the file system does.
#pragma once

#include <cstddef>

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

// Folders that only SYSTEM and Administrators (and the account this
// program runs as) may write: made with a protected access list, or found
// and checked, always by name inside a folder already held open, never
// through a link.
#pragma once

#include <windows.h>
#include <winternl.h>

// This process's own account, when it can be read.
struct OwnAccount {
  union {
    TOKEN_USER user;
    BYTE bytes[256];
  } data;
  bool known = false;
};

void ReadOwnAccount(OwnAccount& own);

// STATUS_OBJECT_NAME_COLLISION: something stands at the name already.
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L);

// Creates or opens `name` inside the folder held by `parent` (NtCreateFile
// relative to it, a link at the name opened itself rather than followed).
NTSTATUS CreateInFolder(HANDLE parent, const wchar_t* name, ACCESS_MASK access, ULONG share,
                        ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR descriptor,
                        HANDLE& result, ULONG_PTR* outcome = nullptr);

// Why a folder must not be used (not a folder, a link, another owner, others
// may write to it), or null when it may.
const wchar_t* FolderFault(HANDLE folder, const OwnAccount& own);

// The folder `name` inside `parent`, made with `accessList` (SDDL) when it is
// not there and checked either way; held open without delete sharing. Null
// when it must not be used; `fault` then says why (null: it could not be
// opened at all).
HANDLE OpenSafeFolder(HANDLE parent, const wchar_t* name, const wchar_t* accessList,
                      const OwnAccount& own, const wchar_t** fault);

// Folders that only SYSTEM and Administrators may write, made or checked
// through a handle on their parent (see safe_folder.h).
#include "files/safe_folder.h"

#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace {

// Rights that change a folder or what is in it.
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// SYSTEM, Administrators, and the account this program runs as (elevated, an
// administrator; running as SYSTEM, SYSTEM): whoever else could write to the
// folder could prepare what the program writes through.
bool TrustedOwner(PSID sid, const OwnAccount& own) {
  if (!sid) return false;
  if (Os().IsWellKnownSid(sid, WinLocalSystemSid) ||
      Os().IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
    return true;
  return own.known && Os().EqualSid(sid, own.data.user.User.Sid);
}

// In an access list, CREATOR OWNER and OWNER RIGHTS stand for the owner,
// who has been checked already.
bool TrustedGrantee(PSID sid, const OwnAccount& own) {
  return TrustedOwner(sid, own) || Os().IsWellKnownSid(sid, WinCreatorOwnerSid) ||
         Os().IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

bool OnlyTrustedMayWrite(PACL dacl, const OwnAccount& own) {
  // No access list at all grants everyone everything.
  if (!dacl) return false;
  ACL_SIZE_INFORMATION size = {};
  if (!Os().GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) return false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!Os().GetAce(dacl, i, &entry) || !entry) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    // Object and callback entries are not expected on a folder: whatever
    // they grant is not taken on trust.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    // Inherit-only entries count too: they are what the log files get.
    if ((allowed->Mask & kWriteRights) &&
        !TrustedGrantee(const_cast<DWORD*>(&allowed->SidStart), own))
      return false;
  }
  return true;
}

}  // namespace

void ReadOwnAccount(OwnAccount& own) {
  own.known = false;
  UniqueKernelObject token;
  if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_QUERY, token.put())) return;
  DWORD needed = 0;
  own.known =
      Os().GetTokenInformation(token.get(), TokenUser, &own.data, sizeof(own.data), &needed) &&
      own.data.user.User.Sid;
}

// Why a folder must not be used, or null when it may.
const wchar_t* FolderFault(HANDLE folder, const OwnAccount& own) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!Os().GetFileInformationByHandle(folder, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return L"it is not a folder";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"it is a link";
  PSID owner = nullptr;
  PACL dacl = nullptr;
  UniqueLocalBlock descriptor;
  if (Os().GetSecurityInfo(folder, SE_FILE_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                           &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS)
    return L"its owner and access list cannot be read";
  if (!TrustedOwner(owner, own)) return L"it belongs to another account";
  if (!OnlyTrustedMayWrite(dacl, own)) return L"others may write to it";
  return nullptr;
}

// Creates or opens `name` inside the folder held by `parent`, never by a
// path: whatever is renamed or linked around the folders meanwhile, the name
// is looked up in the very folder that was checked.
NTSTATUS CreateInFolder(HANDLE parent, const wchar_t* name, ACCESS_MASK access, ULONG share,
                        ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR descriptor,
                        HANDLE& result, ULONG_PTR* outcome) {
  result = nullptr;
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name);
  text.Length = static_cast<USHORT>(std::wcslen(name) * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, descriptor);
  IO_STATUS_BLOCK status = {};
  // FILE_OPEN_REPARSE_POINT: a link found at the name is opened itself, and
  // then fails the check, rather than followed.
  NTSTATUS code = Os().NtCreateFile(&result, access | SYNCHRONIZE, &attributes, &status, nullptr,
                                    FILE_ATTRIBUTE_NORMAL, share, disposition,
                                    options | FILE_SYNCHRONOUS_IO_NONALERT |
                                        FILE_OPEN_REPARSE_POINT,
                                    nullptr, 0);
  if (code < 0) result = nullptr;
  if (outcome) *outcome = status.Information;
  return code;
}

// The folder `name` inside `parent`, made with the protected list when it is
// not there, and checked either way. Held open without delete sharing while
// the run uses it, so it can neither be renamed nor replaced meanwhile. Null
// when it must not be used; `fault` then says why (null: it could not be
// opened at all).
HANDLE OpenSafeFolder(HANDLE parent, const wchar_t* name, const wchar_t* accessList,
                      const OwnAccount& own, const wchar_t** fault) {
  *fault = nullptr;
  UniqueLocalBlock descriptor;
  if (!Os().ConvertStringSecurityDescriptorToSecurityDescriptorW(accessList,
                                                                 SDDL_REVISION_1, descriptor.put(),
                                                                 nullptr))
    return nullptr;
  HANDLE opened = nullptr;
  CreateInFolder(parent, name,
                 READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                 FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, descriptor.get(), opened);
  UniqueKernelObject folder(opened);
  if (!folder) return nullptr;
  // A folder found there is used only when it is as safe as one made now;
  // otherwise it stays exactly as it is: nothing is taken over, changed or
  // deleted, whoever made it.
  if ((*fault = FolderFault(folder.get(), own)) != nullptr) return nullptr;
  return folder.release();
}


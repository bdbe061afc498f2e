// Which rights the tray program gets. It runs for the whole logon, so it must
// never carry this run's administrator or SYSTEM rights: an elevated tray
// cannot see the user's mapped drives, takes no files dropped from Explorer,
// and opens every file dialog as an administrator; a tray started as SYSTEM
// runs invisible in session 0 and keeps lsbtray.exe open until the restart.
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/log_window.h"
#include "tray/tray.h"

namespace {

// SECURITY_MANDATORY_HIGH_RID: an administrator's elevated token.
constexpr DWORD kHighIntegrity = 0x3000;

struct TokenUserBlock {
  union {
    TOKEN_USER user;
    BYTE bytes[256];
  } data;
};

bool ReadUser(HANDLE token, TokenUserBlock& block) {
  DWORD needed = 0;
  return Os().GetTokenInformation(token, TokenUser, &block.data, sizeof(block.data), &needed) &&
         block.data.user.User.Sid;
}

bool ReadDword(HANDLE token, TOKEN_INFORMATION_CLASS kind, DWORD& value) {
  DWORD needed = 0;
  return Os().GetTokenInformation(token, kind, &value, sizeof(value), &needed) != FALSE;
}

// The last sub-authority of a mandatory label is the integrity level.
bool ReadIntegrity(HANDLE token, DWORD& level) {
  union {
    TOKEN_MANDATORY_LABEL label;
    BYTE bytes[128];
  } data;
  DWORD needed = 0;
  if (!Os().GetTokenInformation(token, TokenIntegrityLevel, &data, sizeof(data), &needed))
    return false;
  const SID* sid = static_cast<const SID*>(data.label.Label.Sid);
  if (!sid || sid->SubAuthorityCount == 0) return false;
  level = sid->SubAuthority[sid->SubAuthorityCount - 1];
  return true;
}

// SYSTEM, LOCAL SERVICE, NETWORK SERVICE, and every account that runs as a
// service (its token carries the SERVICE group).
bool IsServiceAccount(HANDLE token, const TokenUserBlock& user) {
  PSID sid = user.data.user.User.Sid;
  if (Os().IsWellKnownSid(sid, WinLocalSystemSid) || Os().IsWellKnownSid(sid, WinLocalServiceSid) ||
      Os().IsWellKnownSid(sid, WinNetworkServiceSid))
    return true;
  union {
    TOKEN_GROUPS groups;
    BYTE bytes[4096];
  } data;
  DWORD needed = 0;
  // Unreadable groups: not taken for an ordinary account.
  if (!Os().GetTokenInformation(token, TokenGroups, &data, sizeof(data), &needed)) return true;
  for (DWORD i = 0; i < data.groups.GroupCount; ++i)
    if (Os().IsWellKnownSid(data.groups.Groups[i].Sid, WinServiceSid)) return true;
  return false;
}

// A split token: elevated (type Full) with a linked token below high
// integrity, the user's ordinary rights. UAC off, the built-in Administrator
// and a linked token at high integrity are not split.
bool IsSplitToken(HANDLE token) {
  DWORD type = 0;
  if (!ReadDword(token, TokenElevationType, type) || type != TokenElevationTypeFull) return false;
  TOKEN_LINKED_TOKEN linked = {};
  DWORD needed = 0;
  if (!Os().GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &needed))
    return false;
  UniqueKernelObject hold(linked.LinkedToken);
  DWORD level = 0;
  return hold && ReadIntegrity(hold.get(), level) && level < kHighIntegrity;
}

}  // namespace

TrayStart ChooseTrayStart(const wchar_t** why) {
  *why = L"";
  if (!InteractiveWindowStation()) {
    *why = L"no interactive window station";
    return TrayStart::NotStarted;
  }
  UniqueKernelObject token;
  TokenUserBlock user;
  DWORD session = 0;
  if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
      !ReadUser(token.get(), user)) {
    *why = L"this run's account cannot be read";
    return TrayStart::NotStarted;
  }
  if (IsServiceAccount(token.get(), user)) {
    *why = L"this run is a service account";
    return TrayStart::NotStarted;
  }
  // Session 0 holds services only.
  if (!ReadDword(token.get(), TokenSessionId, session) || session == 0) {
    *why = L"this run is not in a user's session";
    return TrayStart::NotStarted;
  }
  return IsSplitToken(token.get()) ? TrayStart::AsSignedInUser : TrayStart::AsThisRun;
}

bool StartTrayAsSignedInUser(wchar_t* commandLine, const wchar_t* directory,
                             const wchar_t** why) {
  UniqueKernelObject own;
  TokenUserBlock ownUser, shellUser;
  DWORD ownSession = 0, shellSession = 0;
  if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_QUERY, own.put()) ||
      !ReadUser(own.get(), ownUser) || !ReadDword(own.get(), TokenSessionId, ownSession)) {
    *why = L"this run's account cannot be read";
    return false;
  }
  // The desktop's shell (Explorer) runs with the ordinary rights of the user
  // signed in to this session.
  DWORD shellId = 0;
  HWND shell = Os().GetShellWindow();
  if (!shell || !Os().GetWindowThreadProcessId(shell, &shellId) || shellId == 0) {
    *why = L"no shell runs in this session";
    return false;
  }
  UniqueKernelObject process(Os().OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellId));
  UniqueKernelObject shellToken;
  if (!process || !Os().OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE,
                                         shellToken.put())) {
    *why = L"the shell's token cannot be had";
    return false;
  }
  DWORD elevated = 1;
  if (!ReadUser(shellToken.get(), shellUser) ||
      !Os().EqualSid(shellUser.data.user.User.Sid, ownUser.data.user.User.Sid)) {
    *why = L"the shell runs as another account";
    return false;
  }
  if (!ReadDword(shellToken.get(), TokenElevation, elevated) || elevated != 0) {
    *why = L"the shell runs elevated";
    return false;
  }
  if (!ReadDword(shellToken.get(), TokenSessionId, shellSession) || shellSession != ownSession) {
    *why = L"the shell runs in another session";
    return false;
  }
  UniqueKernelObject primary;
  if (!Os().DuplicateTokenEx(shellToken.get(),
                             TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                                 TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                             nullptr, SecurityImpersonation, TokenPrimary, primary.put())) {
    *why = L"the shell's token cannot be had";
    return false;
  }
  UniqueEnvironment environment;
  if (!Os().CreateEnvironmentBlock(environment.put(), primary.get(), FALSE)) {
    *why = L"the user's environment cannot be had";
    return false;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION started = {};
  if (!Os().CreateProcessWithTokenW(primary.get(), 0, nullptr, commandLine,
                                    NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT,
                                    environment.get(), directory, &startup, &started)) {
    *why = L"the start with the user's token failed";
    return false;
  }
  // Nothing waits for the program: the thread's handle goes first, then the
  // process's.
  UniqueKernelObject trayProcess(started.hProcess);
  UniqueKernelObject trayThread(started.hThread);
  return true;
}

#include "dispatch.h"

#include <climits>
#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "sequences/sequences.h"
#include "session/run_lock.h"
#include "tray/tray.h"

namespace {

// About 10 s of 50 ms pauses: a help window that never closes must not hold
// an install forever.
constexpr int kHelpWindowRounds = 200;

}  // namespace

Command MatchCommand(const wchar_t* word) {
  if (!word) return Command::None;
  if (SameAsciiName(word, L"onchkdrv")) return Command::CheckDriver;
  if (SameAsciiName(word, L"oninit")) return Command::Init;
  if (SameAsciiName(word, L"un") || SameAsciiName(word, L"uninstall"))
    return Command::Uninstall;
  if (SameAsciiName(word, L"removetray")) return Command::RemoveTray;
  if (SameAsciiName(word, L"in") || SameAsciiName(word, L"install") ||
      SameAsciiName(word, L"serverinstall"))
    return Command::Install;
  if (std::wcscmp(word, L"def.set") == 0) return Command::SetDefault;
  return Command::None;
}

int32_t ParseInt32(const wchar_t* text) {
  if (!text) return 0;
  while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
  long long value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    value = value * 10 + (*text - L'0');
    if (value > 2147483648LL) value = 2147483648LL;  // enough to clamp either way
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

HWND ParseParentWindow(const wchar_t* text) {
  // The number widens with its sign, as a handle written by a 32-bit caller.
  auto handle = reinterpret_cast<HWND>(static_cast<intptr_t>(ParseInt32(text)));
  return handle && Os().IsWindow(handle) ? handle : nullptr;
}

void CloseHelpWindows() {
  for (int round = 0; round < kHelpWindowRounds; ++round) {
    HWND help = Os().FindWindowW(kHelpWindowClass, kHelpWindowTitle);
    if (!help) return;
    Os().PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0);
    Os().Sleep(50);
  }
}

namespace {

int ExitCodeOf(const RunResult& result, int success) {
  if (result.errorsCounted) return kExitErrors;
  if (result.scheduledForRestart > 0) return kExitRestartNeeded;
  return success;
}

// "onInit" carries out queued deletions and restarts the spooler; without
// the run lock it does neither and answers from what it can read.
int AnswerInit() {
  RunLock lock = TakeRunLock();
  bool pending = lock.held ? HasPendingComponentFiles() : ComponentFileQueued();
  int code = pending ? kExitComponentPending
                     : (IsDefaultPrinterForeign() ? kExitDefaultForeign : kExitNo);
  ReleaseRunLock(lock);
  return code;
}

// "def.set" and "removetray" change nothing when another run keeps the lock.
void UnderRunLock(void (*command)()) {
  RunLock lock = TakeRunLock();
  if (lock.held) command();
  ReleaseRunLock(lock);
}

void StopTray() { StopAndUnregisterTray(); }

}  // namespace

int DispatchArguments(int argc, wchar_t** argv) {
  if (argc < 2 || !argv) return kExitUnrecognised;
  HWND parent = argc == 3 ? ParseParentWindow(argv[2]) : nullptr;
  switch (MatchCommand(argv[1])) {
    case Command::CheckDriver:
      return IsDriverUpToDate() ? kExitDriverUpToDate : kExitNo;
    case Command::Init:
      return AnswerInit();
    case Command::Uninstall:
      CloseHelpWindows();
      return ExitCodeOf(RunUninstall(parent), kExitUninstalled);
    case Command::RemoveTray:
      UnderRunLock(&StopTray);
      return kExitUnrecognised;
    case Command::Install:
      CloseHelpWindows();
      return ExitCodeOf(RunInstall(parent), kExitInstalled);
    case Command::SetDefault:
      UnderRunLock(&SetOurPrinterAsDefault);
      return kExitDefaultSet;
    case Command::None:
      break;
  }
  return kExitUnrecognised;
}

int Dispatch() {
  int argc = 0;
  UniqueLocal<wchar_t*> argv(Os().CommandLineToArgvW(Os().GetCommandLineW(), &argc));
  // A command line that cannot be split is treated like a missing word.
  if (!argv) return kExitUnrecognised;
  return DispatchArguments(argc, argv.get());
}

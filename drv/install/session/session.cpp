#include "session/session.h"

#include "platform/platform.h"
#include "platform/unique_handle.h"

void BeginSession(InstallSession& session) {
  session.ModuleDirectory = {};
  session.SystemDirectory = {};
  session.InstallLog = {};
  session.DriverDirectory = {};
  session.Environment = nullptr;
  session.DriverFile = nullptr;
  session.HelpFile = nullptr;
  session.UiFile = nullptr;
  session.PendingDeletes = {};
  session.SavedPrinters.reset();
  session.Printers = PrinterList();
  session.ErrorCount = 0;
  session.IndentDepth = 0;
  LogLine(session, L"Loomscribe %d", kBuildNumber);
  session.Reinstall = 0;
  session.InstallMonitor = 1;
  session.CopyMonitor = 1;
  session.MonitorFile = nullptr;
  session.RedirectedPorts.reset();
  session.RedirectedRewrites.reset();
  session.Monitor = MonitorPlan{};
  session.Journal = nullptr;
  session.DriverReady = 0;
}

void TakeSessionDirectories(InstallSession& session) {
  wchar_t path[MAX_PATH] = {};
  Os().GetModuleFileNameW(nullptr, path, MAX_PATH);
  path[MAX_PATH - 1] = L'\0';  // a truncated path may come back unterminated
  wchar_t* cut = nullptr;
  for (wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') cut = p;
  if (cut) {
    cut[1] = L'\0';
    Assign(session.ModuleDirectory, path);
  } else {
    Release(session.ModuleDirectory);
  }

  wchar_t system[MAX_PATH + 1] = {};
  UINT n = Os().GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    LogSystemDirectoryUnknown(session);
    Release(session.SystemDirectory);
    return;
  }
  if (system[n - 1] != L'\\') {
    system[n] = L'\\';
    system[n + 1] = L'\0';
  }
  Assign(session.SystemDirectory, system);
}

void SavedPrinterList::reset() {
  for (SavedPrinter* node = head_; node;) {
    UniqueGlobal<SavedPrinter> block(node);
    UniqueGlobal<char> subKey(node->subKey);
    UniquePrinter opened(node->opened);
    node = node->next;
  }
  head_ = nullptr;
}

void EndSession(InstallSession& session) {
  // What the run still holds goes now, not with the record: the saved
  // printers' handles are closed before anything looks at the machine again.
  // The lists that point into the snapshot of the printers go before it.
  session.RedirectedPorts.reset();
  session.RedirectedRewrites.reset();
  session.Printers = PrinterList();
  session.SavedPrinters.reset();
  // The rest the record owns (its texts, the pending deletes) goes with it.
  session = InstallSession();
}

#include "session/session.h"

#include "platform/platform.h"

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
  session.SavedPrinters = nullptr;
  session.Printers = {};
  session.ErrorCount = 0;
  session.IndentDepth = 0;
  LogLine(session, L"Loomscribe %d", kBuildNumber);
  session.Reinstall = 0;
  session.InstallMonitor = 1;
  session.CopyMonitor = 1;
  session.MonitorFile = nullptr;
  session.RedirectedPorts = nullptr;
  session.RedirectedRewrites = nullptr;
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

void EndSession(InstallSession& session) {
  if (session.RedirectedPorts) Os().GlobalFree(session.RedirectedPorts);
  session.RedirectedPorts = nullptr;
  if (session.RedirectedRewrites) Os().GlobalFree(session.RedirectedRewrites);
  session.RedirectedRewrites = nullptr;
  if (session.Printers.buffer) Os().GlobalFree(session.Printers.buffer);
  session.Printers = {};
  for (SavedPrinter* node = session.SavedPrinters; node;) {
    SavedPrinter* next = node->next;
    if (node->subKey) Os().GlobalFree(node->subKey);
    if (node->opened) Os().ClosePrinter(node->opened);
    Os().GlobalFree(node);
    node = next;
  }
  session.SavedPrinters = nullptr;
  ReleasePendingDeletes(session.PendingDeletes);
  Release(session.Monitor.Library);
  session.Monitor = MonitorPlan{};
  Release(session.DriverDirectory);
  Release(session.InstallLog);
  Release(session.SystemDirectory);
  Release(session.ModuleDirectory);
}

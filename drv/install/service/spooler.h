// The spooler service: make sure it runs, or hold it stopped for a moment.
#pragma once

#include <windows.h>

#include <utility>

#include "platform/unique_handle.h"

struct InstallSession;

// One stop of the spooler service, from BeginSpoolerRestart to
// EndSpoolerRestart. EndSpoolerRestart must run exactly once for each
// BeginSpoolerRestart, on every path.
struct SpoolerRestart {
  InstallSession* installSession = nullptr;  // where lines and errors go; null logs nothing
  UniqueServiceHandle scm;
  UniqueServiceHandle service;
  bool stopRequested = false;
};

bool CheckSpooler(InstallSession& session);
bool StartSpoolerAndWait(SC_HANDLE service);
SpoolerRestart BeginSpoolerRestart(InstallSession* session);
void EndSpoolerRestart(SpoolerRestart& restart);

// Holds the spooler stopped for its scope: the restart begins when the holder
// is made (or is taken over already begun) and ends when it goes out of
// scope, on every path. End() ends it earlier, where the start must come
// before the caller's next step; the holder then does nothing more.
class SpoolerStop {
 public:
  explicit SpoolerStop(InstallSession* session) : restart_(BeginSpoolerRestart(session)) {}
  explicit SpoolerStop(SpoolerRestart&& begun) : restart_(std::move(begun)) {}
  ~SpoolerStop() { End(); }
  void End() {
    if (ended_) return;
    ended_ = true;
    EndSpoolerRestart(restart_);
  }

  SpoolerStop(const SpoolerStop&) = delete;
  SpoolerStop& operator=(const SpoolerStop&) = delete;

 private:
  SpoolerRestart restart_;
  bool ended_ = false;
};

// Stops the spooler and starts it again at once, with nothing done between.
void RestartSpooler(InstallSession* session);

// The spooler service: make sure it runs, or hold it stopped for a moment.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

struct InstallSession;

bool CheckSpooler(InstallSession& session);
bool StartSpoolerAndWait(SC_HANDLE service);

// Holds the spooler stopped for its scope: the stop is made (logged as
// ">Restart Spooler" in a run; without a run nothing is logged) when the
// holder is made, and the start when it goes out of scope, on every path.
// End() starts it earlier, where the start must come before the caller's
// next step; the holder then does nothing more.
class SpoolerStop {
 public:
  explicit SpoolerStop(InstallSession* session);
  ~SpoolerStop() { End(); }
  void End();

  SpoolerStop(const SpoolerStop&) = delete;
  SpoolerStop& operator=(const SpoolerStop&) = delete;

 private:
  InstallSession* session_ = nullptr;  // where lines and errors go; null logs nothing
  UniqueServiceHandle scm_;
  UniqueServiceHandle service_;
  bool stopRequested_ = false;
  bool ended_ = false;
};

// Stops the spooler and starts it again at once, with nothing done between.
void RestartSpooler(InstallSession* session);

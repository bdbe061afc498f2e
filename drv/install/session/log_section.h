// A titled part of the log: the title line at the present depth, the lines
// written while the section is in scope one level deeper (or more), and the
// depth given back on every way out of the operation.
#pragma once

#include "session/session.h"

class LogSection {
 public:
  // Writes the title (a LogLine format and its arguments) and raises the
  // depth by one.
  template <class... Args>
  LogSection(InstallSession& session, const wchar_t* title, Args... args)
      : LogSection(session, 1, title, args...) {}
  // The same, raising the depth by `levels`.
  template <class... Args>
  LogSection(InstallSession& session, int levels, const wchar_t* title, Args... args)
      : session_(session), levels_(levels) {
    LogLine(session, title, args...);
    session_.IndentDepth += levels_;
  }
  ~LogSection() { session_.IndentDepth -= levels_; }

  LogSection(const LogSection&) = delete;
  LogSection& operator=(const LogSection&) = delete;

 private:
  InstallSession& session_;
  int levels_;
};

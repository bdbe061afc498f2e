#!/usr/bin/env bash
# ctest's launcher for the Windows test programs: runs one under Wine and
# passes its output on once it has ended. The output goes through a file, not
# ctest's pipe: a process a test leaves running (a tray program started by
# install.exe, say) inherits the program's output descriptors, and a pipe it
# kept open would hold ctest until the test's time-out.
out="$(mktemp)"
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit "$rc"

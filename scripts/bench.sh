#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine in a fresh prefix; they print
# their figures. Not a test: nothing here passes or fails on a number.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
LMX_TARGETS="${LMX_TARGETS:-log_bench spooler_bench}" lmx_build >/dev/null
lmx_wine_start "${WINEPREFIX:-$LMX_ROOT/out/wine-bench}"
trap lmx_wine_stop EXIT
wine "$LMX_BUILD_DIR/tests/log_bench.exe" </dev/null 2>/dev/null

out="$(mktemp)"
trap 'rm -f "$out"; lmx_wine_stop' EXIT
# The same log growth, with the time spent in HeapReAlloc measured apart.
# Wine output goes through a file: its background processes must not hold a
# pipe open.
wine "$LMX_BUILD_DIR/tests/spooler_bench.exe" log 100000 </dev/null >"$out" 2>&1 || true
tr -d '\r' <"$out"

# The wineserver of this prefix: the spooler benchmark shows its CPU time.
wineserver_pid() {
  local p
  for p in $(pgrep wineserver); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "$p"
      return
    fi
  done
}

# install.exe, a minimal program and the counted sequences against Wine's
# spooler: one scene per product printer count, each in a fresh prefix so
# that no scene inherits another's printers. The load average is shown
# first: wall times on a busy machine are mostly time spent waiting for a CPU.
echo
echo "machine: $(nproc) cores,$(uptime | sed 's/.*load average/ load average/')"
for n in 0 50 200; do
  if [ "$n" != 0 ]; then
    lmx_wine_stop
    lmx_wine_start "$WINEPREFIX"
  fi
  echo
  LMX_WINESERVER_PID="$(wineserver_pid)" \
    wine "$LMX_BUILD_DIR/tests/spooler_bench.exe" "$n" 500 </dev/null >"$out" 2>&1 || true
  tr -d '\r' <"$out"
done

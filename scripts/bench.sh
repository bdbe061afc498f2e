#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine in a fresh prefix; they print
# their figures. Not a test: nothing here passes or fails on a number.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
lmx_build >/dev/null
lmx_wine_start "${WINEPREFIX:-$LMX_ROOT/out/wine-bench}"
trap lmx_wine_stop EXIT
wine "$LMX_BUILD_DIR/tests/log_bench.exe" </dev/null 2>/dev/null

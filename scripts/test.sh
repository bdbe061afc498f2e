#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine in a fresh
# prefix. Extra arguments go to ctest (for example -R unit_tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
lmx_build
lmx_wine_start "${WINEPREFIX:-$LMX_ROOT/out/wine-test}"
trap lmx_wine_stop EXIT
ctest --test-dir "$LMX_BUILD_DIR" --output-on-failure "$@"

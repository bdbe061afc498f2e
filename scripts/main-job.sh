#!/usr/bin/env bash
# Builds install.exe and runs it under Wine in a fresh prefix, showing what
# it did.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
lmx_build >/dev/null
lmx_wine_start "${WINEPREFIX:-$LMX_ROOT/out/wine-main}"
trap lmx_wine_stop EXIT
exe="$LMX_PRODUCT_DIR/x64/install.exe"
run() {
  set +e
  wine "$exe" "$@" </dev/null >/dev/null 2>&1
  local code=$?
  set -e
  echo "install.exe $* -> exit code $code"
}
run

#!/usr/bin/env bash
# Builds install.exe and runs it under Wine in a fresh prefix, showing what
# it did: install, what the spooler then holds, the status commands,
# uninstall, and what is left. Builds only what it runs: install.exe, the
# product's components and the listing tool (the tests are not built). Each
# step's exit code is printed beside the one the README gives; the job ends
# with 1 when one differs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
source scripts/verdict.sh
echo "main-job: building install.exe, the components and lmxlist in $LMX_BUILD_DIR"
LMX_TARGETS="install_exe lmx_components lmxlist" lmx_build
echo "main-job: starting Wine"
lmx_wine_start "${WINEPREFIX:-$LMX_ROOT/out/wine-main}"
trap lmx_wine_stop EXIT

# The product folder is copied into the prefix, as the product's installer
# would lay it out: uninstall deletes the tray program it registered, and the
# build's own product folder must stay whole.
target="$WINEPREFIX/drive_c/Program Files/Loomscribe"
rm -rf "$target"
mkdir -p "$target"
cp -a "$LMX_PRODUCT_DIR/." "$target/"
exe="$target/x64/install.exe"
list="$LMX_BUILD_DIR/tests/lmxlist.exe"
out="$(mktemp)"
trap 'rm -f "$out"; lmx_wine_stop' EXIT

# run WANT WORD: install.exe WORD, whose exit code the README gives as WANT.
run() {
  lmx_step "install.exe $2 -> exit code" "$1" wine "$exe" "$2"
}

listing() {
  echo "---- $1"
  # Through a file: Wine's background processes must not hold a pipe open.
  wine "$list" </dev/null >"$out" 2>/dev/null || true
  tr -d '\r' <"$out" | sed 's/^/   /'
  echo "----"
}

echo "Product folder: C:\\Program Files\\Loomscribe (copied from $LMX_PRODUCT_DIR)"
listing "before install"
run 1 install
listing "after install"
run 103 onChkDrv
run 102 onInit
run 4 def.set
listing "after def.set"
run 2 uninstall
listing "after uninstall"
tray="removed"
[ ! -e "$target/lsbtray.exe" ] || tray="still there"
lmx_expect "lsbtray.exe in the product folder after uninstall ->" "$tray" "removed"
lmx_verdict

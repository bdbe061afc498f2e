#!/usr/bin/env bash
# Installs everything the build, the tests and the scripts need on a bare
# Debian machine (a minbase root has bash, coreutils, findutils, sed and grep,
# nothing more). Idempotent: a second run only checks.
# --list prints the packages and does nothing else; --packages installs them
# and makes no Wine prefix.
set -euo pipefail

# procps: pgrep and uptime (bench.sh); x11-utils: xdpyinfo (wine-env.sh).
pkgs=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
      wine64 wine xvfb xdotool imagemagick googletest x11-utils procps)
if [ "${1:-}" = --list ]; then
  echo "${pkgs[@]}"
  exit 0
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

[ "${1:-}" != --packages ] || exit 0

# The Wine prefix the tests start from: made once, copied fresh for each run.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
template="${LMX_WINE_TEMPLATE:-$here/out/wine-template}"
if [ ! -f "$template/system.reg" ] || [ ! -f "$template/.lmx-ready" ]; then
  rm -rf "$template"
  mkdir -p "$(dirname "$template")"
  echo "setup: creating the Wine prefix $template"
  WINEPREFIX="$template" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    wineboot -i </dev/null >/dev/null 2>&1 || true
  WINEPREFIX="$template" wineserver -w || true
  [ -f "$template/system.reg" ] || { echo "setup: wineboot made no prefix" >&2; exit 1; }
  touch "$template/.lmx-ready"
fi

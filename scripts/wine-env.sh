# Sourced by the scripts: a fresh Wine prefix with one persistent wineserver,
# and an Xvfb display for window tests.
#   LMX_BUILD_DIR   build folder        (default out/build)
#   LMX_PRODUCT_DIR product folder      (default out/product)
#   WINEPREFIX      prefix of this run  (default out/wine-test)
#   LMX_DISPLAY     Xvfb display number (default 77)
LMX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LMX_BUILD_DIR="${LMX_BUILD_DIR:-$LMX_ROOT/out/build}"
LMX_PRODUCT_DIR="${LMX_PRODUCT_DIR:-$LMX_ROOT/out/product}"
LMX_WINE_TEMPLATE="${LMX_WINE_TEMPLATE:-$LMX_ROOT/out/wine-template}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

lmx_build() {
  cmake -S "$LMX_ROOT" -B "$LMX_BUILD_DIR" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$LMX_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLMX_PRODUCT_DIR="$LMX_PRODUCT_DIR" >/dev/null
  # LMX_TARGETS: build only these targets (space-separated); default all.
  if [ -n "${LMX_TARGETS:-}" ]; then
    # shellcheck disable=SC2086
    cmake --build "$LMX_BUILD_DIR" -j "$(nproc)" --target $LMX_TARGETS
  else
    cmake --build "$LMX_BUILD_DIR" -j "$(nproc)"
  fi
}

# lmx_wine_start PREFIX: a fresh copy of the template prefix, its wineserver
# kept alive, and (when Xvfb is there) a display.
lmx_wine_start() {
  export WINEPREFIX="$1"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  cp -a "$LMX_WINE_TEMPLATE" "$WINEPREFIX"
  # Started with their output detached: Wine's background processes would
  # otherwise hold the caller's pipes open.
  wineserver -p </dev/null >/dev/null 2>&1 &
  if command -v Xvfb >/dev/null 2>&1; then
    local n="${LMX_DISPLAY:-77}"
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    LMX_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  # Starts Wine's services now, detached, so no test pays for it.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

lmx_wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "${LMX_XVFB_PID:-}" ] && kill "$LMX_XVFB_PID" >/dev/null 2>&1 || true
}

# Sourced by the scripts: a fresh Wine prefix with one persistent wineserver,
# and an Xvfb display of this run's own for window tests.
#   LMX_BUILD_DIR   build folder        (default out/build)
#   LMX_PRODUCT_DIR product folder      (default out/product)
#   WINEPREFIX      prefix of this run  (default out/wine-test)
#   LMX_DISPLAY     Xvfb display number (default: the first free one from 100;
#                   a number that is taken is an error, never shared)
#   LMX_TARGETS     build only these targets (space-separated; default all)
#   LMX_WERROR      ON: compiler warnings are errors; OFF: they are not
#                   (default ON when CI=true, else OFF)
LMX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LMX_BUILD_DIR="${LMX_BUILD_DIR:-$LMX_ROOT/out/build}"
LMX_PRODUCT_DIR="${LMX_PRODUCT_DIR:-$LMX_ROOT/out/product}"
LMX_WINE_TEMPLATE="${LMX_WINE_TEMPLATE:-$LMX_ROOT/out/wine-template}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

lmx_build() {
  local werror="${LMX_WERROR:-}"
  [ -n "$werror" ] || { [ "${CI:-}" = true ] && werror=ON || werror=OFF; }
  cmake -S "$LMX_ROOT" -B "$LMX_BUILD_DIR" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$LMX_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLMX_PRODUCT_DIR="$LMX_PRODUCT_DIR" \
    -DLMX_WERROR="$werror" >/dev/null
  # LMX_TARGETS: build only these targets (space-separated); default all.
  if [ -n "${LMX_TARGETS:-}" ]; then
    # shellcheck disable=SC2086
    cmake --build "$LMX_BUILD_DIR" -j "$(nproc)" --target $LMX_TARGETS
  else
    cmake --build "$LMX_BUILD_DIR" -j "$(nproc)"
  fi
}

# lmx_display_free N: no X server holds display N, nor has one left its
# socket or lock file behind.
lmx_display_free() {
  [ ! -e "/tmp/.X11-unix/X$1" ] && [ ! -e "/tmp/.X$1-lock" ]
}

# lmx_start_display: an Xvfb started here, on LMX_DISPLAY or on the first
# free number from 100; exports DISPLAY. Fails with a message rather than use
# a display this script did not start: Wine would quietly talk to whatever
# answers there.
lmx_start_display() {
  if ! command -v Xvfb >/dev/null 2>&1; then
    echo "wine-env: Xvfb is not installed (bash scripts/setup.sh installs it)" >&2
    return 1
  fi
  local candidates n
  if [ -n "${LMX_DISPLAY:-}" ]; then
    case "$LMX_DISPLAY" in
      *[!0-9]*) echo "wine-env: LMX_DISPLAY must be a display number, not '$LMX_DISPLAY'" >&2
                return 1 ;;
    esac
    if ! lmx_display_free "$LMX_DISPLAY"; then
      echo "wine-env: display :$LMX_DISPLAY (LMX_DISPLAY) is taken: /tmp/.X11-unix/X$LMX_DISPLAY" \
           "or /tmp/.X$LMX_DISPLAY-lock exists. Choose another number, or unset LMX_DISPLAY" \
           "to take a free one." >&2
      return 1
    fi
    candidates="$LMX_DISPLAY"
  else
    candidates="$(seq 100 199)"
  fi
  local tries=0
  for n in $candidates; do
    lmx_display_free "$n" || continue
    # A few numbers at most: an Xvfb that cannot start at all fails on each.
    [ "$tries" -lt 3 ] || break
    tries=$((tries + 1))
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    LMX_XVFB_PID=$!
    # Ours once the lock file names its process (Xvfb makes it atomically, and
    # gives up when another server holds the number); ready once it answers.
    for _ in $(seq 100); do
      kill -0 "$LMX_XVFB_PID" 2>/dev/null || break
      if [ "$(tr -dc 0-9 2>/dev/null <"/tmp/.X$n-lock")" = "$LMX_XVFB_PID" ] &&
         [ -S "/tmp/.X11-unix/X$n" ] && xdpyinfo -display ":$n" >/dev/null 2>&1; then
        export DISPLAY=":$n"
        return 0
      fi
      sleep 0.1
    done
    kill "$LMX_XVFB_PID" >/dev/null 2>&1 || true
    wait "$LMX_XVFB_PID" 2>/dev/null || true
    LMX_XVFB_PID=""
  done
  if [ -n "${LMX_DISPLAY:-}" ]; then
    echo "wine-env: Xvfb did not start on display :$LMX_DISPLAY (LMX_DISPLAY)" >&2
  else
    echo "wine-env: Xvfb did not start on a free display from :100 to :199 ($tries tried)" >&2
  fi
  return 1
}

# lmx_wine_start PREFIX: a fresh copy of the template prefix, its wineserver
# kept alive, and a display of its own.
lmx_wine_start() {
  export WINEPREFIX="$1"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  cp -a "$LMX_WINE_TEMPLATE" "$WINEPREFIX"
  lmx_start_display || return 1
  # Started with their output detached: Wine's background processes would
  # otherwise hold the caller's pipes open.
  wineserver -p </dev/null >/dev/null 2>&1 &
  # Starts Wine's services now, detached, so no test pays for it.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

lmx_wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${LMX_XVFB_PID:-}" ]; then
    # Waited for: its lock and socket go with it, so the number is free for
    # the next start.
    kill "$LMX_XVFB_PID" >/dev/null 2>&1 || true
    wait "$LMX_XVFB_PID" 2>/dev/null || true
    LMX_XVFB_PID=""
  fi
}

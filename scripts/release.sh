#!/usr/bin/env bash
# The shipping build: install.exe alone, optimised, stripped, with its
# version resource; its debug information beside it in install.exe.debug
# (linked by name and checksum), for support. Prints the size and SHA-256.
# Two builds of one commit give the same bytes, from any folder.
#   LMX_RELEASE_DIR  where it goes (default out/release; the build in its build/)
#   LMX_WERROR       OFF: warnings are not errors (default ON here)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --packages
root="$(pwd)"
dir="${LMX_RELEASE_DIR:-$root/out/release}"
build="$dir/build"
objcopy=x86_64-w64-mingw32-objcopy
# objcopy writes the current time into the PE header unless told a time; the
# link leaves 0 there, and so does objcopy.
export SOURCE_DATE_EPOCH=0

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLMX_BUILD_TESTS=OFF \
  -DLMX_WERROR="${LMX_WERROR:-ON}" -DLMX_PRODUCT_DIR="$build/product" >/dev/null
cmake --build "$build" -j "$(nproc)" --target install_exe

built="$build/product/x64/install.exe"
exe="$dir/install.exe"
debug="$dir/install.exe.debug"
rm -f "$exe" "$debug"
$objcopy --only-keep-debug "$built" "$debug"
$objcopy --strip-all "$built" "$exe.tmp"
# The link names the file only, so it is found beside install.exe.
(cd "$dir" && $objcopy --add-gnu-debuglink=install.exe.debug "$exe.tmp" install.exe)
rm -f "$exe.tmp"

echo "release: $exe"
echo "  size    $(stat -c %s "$exe") bytes"
echo "  sha256  $(sha256sum "$exe" | cut -d' ' -f1)"
echo "  debug   $debug ($(stat -c %s "$debug") bytes, sha256 $(sha256sum "$debug" | cut -d' ' -f1))"

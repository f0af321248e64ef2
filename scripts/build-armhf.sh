#!/usr/bin/env bash
# Builds the router's programs and packages for 32-bit ARM (armhf) and runs
# the unit tests under qemu-user. End-to-end tests need the sandbox on the
# build machine's own architecture and are not built here.
#
#   scripts/build-armhf.sh [BUILD_DIR]      (default: build-armhf in the checkout)
#
# Installs the cross compiler, qemu-user and the armhf libraries first (only
# what is missing).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-armhf}

"$top/scripts/install-deps.sh" --armhf

cmake -S "$top" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-armhf.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DKIV_BUILD_TOOLS=OFF >/dev/null

# A library found for the build machine instead of the router shows up in the
# cache; the link would fail later with a far less clear message.
if grep -E '^[A-Za-z0-9_.-]+(LIBRARY|LIBRARIES|_DIR)[A-Za-z0-9_]*:[A-Z]+=.*x86_64-linux-gnu' "$build/CMakeCache.txt"; then
  echo "build-armhf: x86-64 libraries were found for the ARM build (see above)" >&2
  exit 1
fi

cmake --build "$build" -j2

for p in kivclient kivwatcher kivstatus; do
  program=$(find "$build" -type f -name "$p" -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1)
  [ -n "$program" ] || continue
  file -b "$program" | sed "s|^|$p: |"
done
archive=$(ls "$build"/packaging/kivclient-[0-9]*-armhf.tar.gz)
echo "Package: $archive"
echo "Self-update package: $(ls "$build"/packaging/kivclient-update-*-armhf.tar.gz)"
echo "Stripped sizes (bytes):"
tar -tvzf "$archive" | awk '$6 ~ /^opt\/kivclient\/kiv[a-z]*$/ { sub("opt/kivclient/", "", $6); printf "  %-11s %s\n", $6, $3 }'
echo

cd "$build"
ctest --output-on-failure -j2

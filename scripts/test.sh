#!/usr/bin/env bash
# Builds everything and runs every test (unit tests, and the end-to-end tests
# inside the router sandbox). Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "scripts/test.sh: run as root (installs packages; the end-to-end tests need the router sandbox)" >&2
  exit 1
fi
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j2 "$@"

#!/usr/bin/env bash
# Builds everything and runs every test (unit tests, and the end-to-end tests
# inside the router sandbox). Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j2 "$@"

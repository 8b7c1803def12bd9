#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test under wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
stop_server() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_server EXIT
# Boot the prefix and keep one server running for all tests.
"$root/cmake/wine-run" "$WINEPREFIX" cmd /c exit </dev/null >/dev/null 2>&1 || true
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"

#!/usr/bin/env bash
# Configures and builds the native (clang, sanitizers) build of lib/core, its tests and its fuzz
# targets into build/native (or $NATIVE_BUILD_DIR). scripts/native.sh and scripts/fuzz.sh call it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${NATIVE_BUILD_DIR:-$root/build/native}"
"$root/scripts/setup.sh"
CC=clang CXX=clang++ cmake -S "$root/native" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

#!/usr/bin/env bash
# Configures and builds both legs (or those named with --leg) into build/LEG (below $BUILD_DIR
# when set): i686, the 32-bit programs, and x86_64, the same sources as 64-bit programs.
set -euo pipefail
source "$(dirname "$0")/legs.sh"
parse_leg_arguments "$@"
[ ${#requested_legs[@]} -gt 0 ] || requested_legs=("${all_legs[@]}")
for leg in "${requested_legs[@]}"; do
  cmake -S "$root" -B "$(leg_dir "$leg")" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$leg.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$(leg_dir "$leg")" -j"$(nproc)" "${other_args[@]}"
done

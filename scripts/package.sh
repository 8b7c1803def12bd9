#!/usr/bin/env bash
# The release packages: builds both legs for release (the shipped programs only, no tests; no wine
# is needed) into build/release/LEG, installs each into a folder of its own and writes
# dist/tervan-VERSION-win32.zip (i686), dist/tervan-VERSION-win64.zip (x86_64) and
# dist/SHA256SUMS. The bytes depend only on the sources: the programs carry no time stamp and no
# folder name, and the archives hold their entries in sorted order with one time stamp,
# SOURCE_DATE_EPOCH, by default the time of the last commit.
# Environment: BUILD_DIR (instead of build/), DIST_DIR (instead of dist/), SOURCE_DATE_EPOCH.
set -euo pipefail
source "$(dirname "$0")/legs.sh"
[ $# -eq 0 ] || { echo "usage: scripts/package.sh (no arguments)" >&2; exit 2; }

version=$(sed -nE 's/^project\(tervan VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) || {
    echo "package: not a git checkout: set SOURCE_DATE_EPOCH" >&2
    exit 2
  }
fi
export SOURCE_DATE_EPOCH
dist="${DIST_DIR:-$root/dist}"
mkdir -p "$dist"

declare -A suffix=([i686]=win32 [x86_64]=win64)
archives=()
for leg in "${all_legs[@]}"; do
  build="$build_root/release/$leg"
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$leg.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DKORVID_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target shipped >/dev/null
  stage="$build/stage"
  rm -rf "$stage"
  cmake --install "$build" --prefix "$stage" >/dev/null
  archive="tervan-$version-${suffix[$leg]}.zip"
  rm -f "$dist/$archive"
  perl "$root/scripts/zipfolder.pl" "$dist/$archive" "$stage" "$SOURCE_DATE_EPOCH"
  archives+=("$archive")
done
(cd "$dist" && sha256sum "${archives[@]}" > SHA256SUMS)
for archive in "${archives[@]}"; do
  echo "package: $dist/$archive ($(stat -c %s "$dist/$archive") bytes)"
done
echo "package: $dist/SHA256SUMS"

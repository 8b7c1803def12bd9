#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, when it is missing: both mingw
# cross compilers, wine for 64-bit programs, GoogleTest, CMake, Perl and clang (native build).
# The 32-bit wine is installed only where the kernel can execute 32-bit programs; when it cannot be
# installed there, the i686 leg's tests are skipped later with the reason, and nothing fails here.
set -euo pipefail
source "$(dirname "$0")/legs.sh"

packages=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
          wine wine64 googletest cmake make perl clang libclang-rt-dev)
packages32=(wine32:i386)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing32=()
if kernel_runs_32bit; then
  for p in "${packages32[@]}"; do installed "$p" || missing32+=("$p"); done
fi
[ ${#missing[@]} -eq 0 ] && [ ${#missing32[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing32[@]} -gt 0 ]; then $sudo dpkg --add-architecture i386; fi
# A mirror in the middle of a sync fails some index files; what did arrive is still used.
$sudo apt-get update -q || echo "setup: apt-get update reported errors; going on with the lists it has" >&2
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if [ ${#missing32[@]} -gt 0 ]; then
  echo "setup: installing ${missing32[*]}"
  $sudo apt-get install -y -q --no-install-recommends "${missing32[@]}" ||
    echo "setup: ${missing32[*]} could not be installed; the i686 leg's programs cannot run here" >&2
fi

# The two legs of the build, sourced by the other scripts: i686 (the 32-bit console programs the
# system ships) and x86_64 (the same sources as 64-bit programs). Each leg has its own build folder
# $build_root/LEG with its own wine prefix $build_root/LEG/wineprefix.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root="${BUILD_DIR:-$root/build}"
all_legs=(i686 x86_64)

leg_dir() { echo "$build_root/$1"; }
leg_prefix() { echo "$build_root/$1/wineprefix"; }
leg_run() { local leg=$1; shift; "$root/cmake/wine-run" "$leg" "$(leg_prefix "$leg")" "$@"; }

is_leg() { [ "$1" = i686 ] || [ "$1" = x86_64 ]; }

# True when the kernel executes 32-bit x86 programs: runs a 93-byte static 32-bit program that only
# exits with code 0. Kernels without 32-bit support answer "Exec format error".
kernel_runs_32bit() {
  local probe
  probe=$(mktemp "${TMPDIR:-/tmp}/elf32.XXXXXX") || return 1
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" >/dev/null 2>&1
  local status=$?
  rm -f "$probe"
  return $status
}

# Tries whether this machine runs the leg's programs under wine: starts the prefix's own cmd.exe,
# which must hand back its exit code. Sets leg_reason when it cannot.
leg_runnable() {
  local leg=$1
  leg_reason=""
  if [ "$leg" = i686 ]; then
    if ! kernel_runs_32bit; then
      leg_reason="the kernel cannot execute 32-bit programs"
      return 1
    fi
    if [ ! -x /usr/lib/wine/wine ]; then
      leg_reason="the 32-bit wine (package wine32:i386) is not installed"
      return 1
    fi
  elif [ ! -x /usr/lib/wine/wine64 ]; then
    leg_reason="the 64-bit wine (package wine64) is not installed"
    return 1
  fi
  mkdir -p "$(leg_dir "$leg")"
  local status=0
  leg_run "$leg" cmd /c exit 42 </dev/null >/dev/null 2>&1 || status=$?
  if [ "$status" -ne 42 ]; then
    leg_reason="a $leg Windows program does not start under wine (exit status $status)"
    return 1
  fi
}

# Parses "--leg LEG" (repeatable) out of the arguments into requested_legs; the rest stays in
# other_args.
parse_leg_arguments() {
  requested_legs=()
  other_args=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --leg) [ $# -ge 2 ] || { echo "--leg needs one of: ${all_legs[*]}" >&2; exit 2; }
             is_leg "$2" || { echo "unknown leg '$2' (legs: ${all_legs[*]})" >&2; exit 2; }
             requested_legs+=("$2"); shift 2 ;;
      --leg=*) local value=${1#--leg=}
               is_leg "$value" || { echo "unknown leg '$value' (legs: ${all_legs[*]})" >&2; exit 2; }
               requested_legs+=("$value"); shift ;;
      *) other_args+=("$1"); shift ;;
    esac
  done
}

# Keeps the exit status of the script that calls it from its EXIT trap.
stop_wineservers() {
  local status=$? leg
  for leg in "${all_legs[@]}"; do
    if [ -d "$(leg_prefix "$leg")" ]; then
      WINEPREFIX=$(leg_prefix "$leg") wineserver -k >/dev/null 2>&1 || true
    fi
  done
  exit "$status"
}

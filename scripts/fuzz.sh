#!/usr/bin/env bash
# Fuzzes every target of native/fuzz, or the named ones, for SECONDS each (default 60), under
# AddressSanitizer and UndefinedBehaviorSanitizer. New inputs gather in build/native/work/TARGET;
# a finding (crash, failed property, timeout, memory blow-up) is copied into native/corpus/TARGET
# as a regression input and the command exits non-zero.
#   scripts/fuzz.sh [SECONDS] [TARGET...]      targets: fndb_lookup fndb_roundtrip fndb_update ini path
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${NATIVE_BUILD_DIR:-$root/build/native}"
seconds=60
if [[ $# -gt 0 && $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/native/fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
"$root/scripts/native-build.sh" >/dev/null

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for target in "${targets[@]}"; do
  fuzzer="$build/fuzz_$target"
  corpus="$root/native/corpus/$target"
  work="$build/work/$target"
  findings="$build/findings/$target"
  if [ ! -x "$fuzzer" ]; then
    echo "no fuzz target '$target'" >&2
    status=2
    continue
  fi
  mkdir -p "$corpus" "$work" "$findings"
  rm -f "$findings"/*
  echo "== $target: ${seconds}s"
  if ! "$fuzzer" "$work" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" >"$build/$target.log" 2>&1; then
    tail -40 "$build/$target.log"
    for finding in "$findings"/*; do
      [ -f "$finding" ] || continue
      cp "$finding" "$corpus/regression-$(basename "$finding")"
      echo "kept $corpus/regression-$(basename "$finding")"
    done
    status=1
    continue
  fi
  grep -E "^stat::number_of_executed_units|DONE" "$build/$target.log" | tail -2
done
exit $status

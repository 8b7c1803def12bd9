#!/usr/bin/env bash
# The native check of lib/core: builds it with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs its tests, replays every fuzz corpus and fuzzes each target for
# a short fixed time ($NATIVE_FUZZ_SECONDS, default 20). Non-zero on any failure, finding or
# sanitizer report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${NATIVE_BUILD_DIR:-$root/build/native}"
seconds="${NATIVE_FUZZ_SECONDS:-20}"
"$root/scripts/native-build.sh" >/dev/null

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
"$build/core_tests"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for corpus in "$root"/native/corpus/*/; do
  target=$(basename "$corpus")
  fuzzer="$build/fuzz_$target"
  echo "== $target: replay $(ls "$corpus" | wc -l) inputs, then fuzz ${seconds}s"
  if ! "$fuzzer" -runs=0 "$corpus" >"$scratch/$target.replay" 2>&1; then
    tail -40 "$scratch/$target.replay"
    status=1
    continue
  fi
  mkdir -p "$scratch/$target"
  if ! "$fuzzer" "$scratch/$target" "$corpus" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$scratch/$target-" \
      >"$scratch/$target.fuzz" 2>&1; then
    tail -40 "$scratch/$target.fuzz"
    mkdir -p "$build/findings"
    cp "$scratch/$target"-* "$build/findings/" 2>/dev/null || true
    echo "finding kept in $build/findings (scripts/fuzz.sh $target reproduces and keeps it)"
    status=1
    continue
  fi
  grep -E "^stat::number_of_executed_units|DONE" "$scratch/$target.fuzz" | tail -2
done
exit $status

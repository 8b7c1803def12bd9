#!/usr/bin/env bash
# The test command: installs what is missing, builds both legs, and runs every test of each leg
# this machine can run under wine (the 32-bit leg needs a kernel that executes 32-bit programs);
# then the native tests of the platform-free core under the sanitizers, the replay of every fuzz
# corpus and a short fuzz of each target (scripts/native.sh); then the release packages
# (scripts/package.sh), built a second time from a copy of the sources in another folder, which
# must give the same bytes, and the smoke test of each runnable leg's package (scripts/smoke.sh).
#   --leg LEG   run only that leg (i686 or x86_64), and no native tests or packages; a leg the
#               machine cannot run is an error.
# Other arguments go to ctest (for example -R Cfg); the native tests and packages then do not run.
set -euo pipefail
source "$(dirname "$0")/legs.sh"
parse_leg_arguments "$@"
"$root/scripts/setup.sh"

trap stop_wineservers EXIT
run_legs=()
if [ ${#requested_legs[@]} -gt 0 ]; then
  for leg in "${requested_legs[@]}"; do
    if ! leg_runnable "$leg"; then
      echo "test: cannot run the $leg leg on this machine: $leg_reason" >&2
      exit 2
    fi
    run_legs+=("$leg")
  done
  build_legs=("${requested_legs[@]}")
else
  for leg in "${all_legs[@]}"; do
    if leg_runnable "$leg"; then
      run_legs+=("$leg")
    else
      echo "test: the $leg leg is built but its tests are skipped: $leg_reason"
    fi
  done
  [ ${#run_legs[@]} -gt 0 ] || { echo "test: this machine can run no leg" >&2; exit 2; }
  build_legs=("${all_legs[@]}")
fi

"$root/scripts/build.sh" "${build_legs[@]/#/--leg=}"

passed=0
failed=0
summary=()
for leg in "${run_legs[@]}"; do
  echo "== the $leg leg"
  log="$(leg_dir "$leg")/ctest.log"
  status=0
  ctest --test-dir "$(leg_dir "$leg")" --output-on-failure -j"$(nproc)" "${other_args[@]}" 2>&1 |
    tee "$log" || status=$?
  WINEPREFIX=$(leg_prefix "$leg") wineserver -k >/dev/null 2>&1 || true
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -1 || true)
  total=$(sed -nE 's/.* out of ([0-9]+).*/\1/p' <<<"$line")
  bad=$(sed -nE 's/.*passed, ([0-9]+) tests? failed.*/\1/p' <<<"$line")
  if [ -z "$total" ]; then total=0; bad=0; fi
  # A failure that ctest did not count (a build or discovery error) counts as one failed test.
  if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then total=$((total + 1)); bad=1; fi
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  summary+=("$leg: $((total - bad)) of $total passed")
done

if [ ${#requested_legs[@]} -eq 0 ] && [ ${#other_args[@]} -eq 0 ]; then
  echo "== the native core: tests under the sanitizers, fuzz corpora"
  log="$build_root/native.log"
  status=0
  NATIVE_BUILD_DIR="$build_root/native" "$root/scripts/native.sh" 2>&1 | tee "$log" || status=$?
  total=$(sed -nE 's/^\[==========\] ([0-9]+) tests? from .* ran.*/\1/p' "$log" | tail -1)
  bad=$(sed -nE 's/^\[  FAILED  \] ([0-9]+) tests?, listed below.*/\1/p' "$log" | tail -1)
  total=${total:-0}
  bad=${bad:-0}
  # A replay or fuzzing finding, or a build failure, counts as one failed test.
  if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then total=$((total + 1)); bad=1; fi
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  summary+=("native: $((total - bad)) of $total passed")
fi

if [ ${#requested_legs[@]} -eq 0 ] && [ ${#other_args[@]} -eq 0 ]; then
  echo "== the packages: both legs for release, twice in two folders; their smoke test"
  started=$SECONDS
  # One result per check: name, then the status of the command that made it.
  count_package_check() {
    if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    package_checks+=("$1: $([ "$2" -eq 0 ] && echo passed || echo FAILED)")
  }
  package_checks=()
  version=$(sed -nE 's/^project\(tervan VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
  if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
  fi
  export SOURCE_DATE_EPOCH
  status=0
  "$root/scripts/package.sh" || status=$?
  count_package_check "build" "$status"

  # The same sources (what git knows and the new files it does not ignore) in another folder.
  copy="$build_root/package-copy"
  status=0
  rm -rf "$copy/src" "$copy/dist"
  mkdir -p "$copy/src"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
     tar --null -T - -cf -) | tar -C "$copy/src" -xf - || status=$?
  if [ "$status" -eq 0 ]; then
    BUILD_DIR="$copy/build" DIST_DIR="$copy/dist" "$copy/src/scripts/package.sh" >/dev/null ||
      status=$?
  fi
  for file in "tervan-$version-win32.zip" "tervan-$version-win64.zip" SHA256SUMS; do
    if [ "$status" -eq 0 ] && ! cmp "$root/dist/$file" "$copy/dist/$file"; then status=1; fi
  done
  count_package_check "reproducible" "$status"

  declare -A package_suffix=([i686]=win32 [x86_64]=win64)
  for leg in "${run_legs[@]}"; do
    status=0
    "$root/scripts/smoke.sh" "$leg" "$root/dist/tervan-$version-${package_suffix[$leg]}.zip" ||
      status=$?
    WINEPREFIX=$(leg_prefix "$leg") wineserver -k >/dev/null 2>&1 || true
    count_package_check "smoke $leg" "$status"
  done
  echo "== the packages: ${package_checks[*]/%/;} $((SECONDS - started)) s"
  summary+=("packages: ${package_checks[*]}")
fi

echo "== ran: ${summary[*]/%/;}"
for leg in "${all_legs[@]}"; do
  [[ " ${run_legs[*]} " == *" $leg "* ]] || echo "== leg not run: $leg"
done
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

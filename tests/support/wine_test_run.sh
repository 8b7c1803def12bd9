#!/bin/sh
# Runs a test program of one leg under wine (cmake/wine-run), its standard output and error going
# through files of their own that are copied to ours when the program ends.
# Usage: wine_test_run.sh LEG PREFIX PROGRAM [ARGS...]
# A Windows program inherits its creator's Linux standard streams whatever its Windows handles
# are, and ctest waits until every holder of a test's pipes has ended. Wine starts services.exe
# and its helpers with the first program after its server starts, and explorer.exe with the first
# console a test allocates; these live on, up to the server's end. Holding ctest's pipe, they made
# the test that happened to start them (or the listing of a program's tests) time out although it
# passed. They now hold the files, which are gone from the folder at once.
# On a busy machine wine now and then fails to start a program at all: it ends at once with a
# failure status, before the program has written its first line (a test program writes one as
# soon as its main runs). Such a start is made once more, and said so; a program that wrote
# anything, or that fails again, fails as it is.
errors=$(mktemp "${TMPDIR:-/tmp}/korvid-test-stderr.XXXXXX") || exit 2
output=$(mktemp "${TMPDIR:-/tmp}/korvid-test-stdout.XXXXXX") || { rm -f "$errors"; exit 2; }
run() {
  "$(dirname "$0")/../../cmake/wine-run" "$@" >"$output" 2>"$errors"
}
run "$@"
status=$?
if [ $status -ne 0 ] && [ ! -s "$output" ] && [ ! -s "$errors" ]; then
  echo "wine_test_run: the program ended with status $status before writing anything; started it again" >&2
  run "$@"
  status=$?
fi
cat "$output"
cat "$errors" >&2
rm -f "$errors" "$output"
exit $status

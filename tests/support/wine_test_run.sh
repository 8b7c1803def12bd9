#!/bin/sh
# Runs a test program of one leg under wine (cmake/wine-run), its standard error going through a
# file of its own that is copied to ours when the program ends.
# Usage: wine_test_run.sh LEG PREFIX PROGRAM [ARGS...]
# A Windows program inherits its creator's Linux standard error whatever its Windows handles are,
# and ctest waits until every holder of a test's pipes has ended. Wine starts services.exe and its
# helpers with the first program after its server starts, and explorer.exe with the first console
# a test allocates; these live on, up to the server's end. Holding ctest's pipe, they made the test
# that happened to start them (or the listing of a program's tests) time out although it passed.
# They now hold the file, which is gone from the folder at once.
errors=$(mktemp "${TMPDIR:-/tmp}/korvid-test-stderr.XXXXXX") || exit 2
"$(dirname "$0")/../../cmake/wine-run" "$@" 2>"$errors"
status=$?
cat "$errors" >&2
rm -f "$errors"
exit $status

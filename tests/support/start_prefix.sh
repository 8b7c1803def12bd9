#!/bin/sh
# Starts the wine programs that outlive a test before any test runs, on no stream of ctest's.
# Usage: start_prefix.sh LOG WINE-RUN LEG PREFIX
# A Windows program inherits its creator's Linux standard error whatever its Windows handles are,
# and ctest waits for every holder of a test's pipes to end. Wine starts services.exe and its
# helpers with the first program after the server starts, and explorer.exe /desktop with the first
# console a test allocates; both can live on to the end of the server, so the test that happened to
# start them would hold ctest's pipe open and time out although it passed. Started here first,
# they write to LOG instead, and later tests find them running.
log="$1"
shift
if ! "$@" cmd /c exit 0 </dev/null >/dev/null 2>"$log"; then
  cat "$log"
  exit 1
fi
# The desktop stays for the server's life; a second start finds the first one and ends.
("$@" explorer.exe /desktop </dev/null >/dev/null 2>>"$log" &)

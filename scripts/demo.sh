#!/usr/bin/env bash
# The demo: installs what is missing, builds, lays out a small TEXMF tree with a Perl utility
# "hello" in it and its file name database, installs tervan.exe as hello.exe, and runs it under
# wine with arguments. Extra arguments go to hello.pl. It uses the 32-bit leg where this machine
# can run it, else the 64-bit one; "--leg LEG" asks for one.
set -euo pipefail
source "$(dirname "$0")/legs.sh"
parse_leg_arguments "$@"
set -- ${other_args[@]+"${other_args[@]}"}
"$root/scripts/setup.sh"

leg=""
if [ ${#requested_legs[@]} -gt 0 ]; then
  leg=${requested_legs[0]}
  leg_runnable "$leg" || { echo "demo: cannot run the $leg leg on this machine: $leg_reason" >&2; exit 2; }
else
  for candidate in "${all_legs[@]}"; do
    if leg_runnable "$candidate"; then leg=$candidate; break; fi
    echo "demo: not the $candidate leg: $leg_reason"
  done
  [ -n "$leg" ] || { echo "demo: this machine can run no leg" >&2; exit 2; }
fi
echo "== the $leg leg"
"$root/scripts/build.sh" --leg "$leg" >/dev/null
build=$(leg_dir "$leg")

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
run() { leg_run "$leg" "$@"; }
trap stop_wineservers EXIT

demo="$build/demo"
rm -rf "$demo"
texmf="$demo/texmf"
mkdir -p "$texmf/korvid/bin" "$texmf/korvid/config" "$texmf/korvid/scripts/hello" "$texmf/tex/latex"

# The utility: a Perl script in one of the subtrees the launcher searches.
cat > "$texmf/korvid/scripts/hello/hello.pl" <<'PERL'
use strict;
print "hello.pl: run by tervan\n";
print "  arguments: ", join(' | ', map { "[$_]" } @ARGV), "\n";
print "  TEXSYSTEM=$ENV{TEXSYSTEM}\n  TEXMFMAIN=$ENV{TEXMFMAIN}\n  TEXMFLOCAL=$ENV{TEXMFLOCAL}\n";
exit 7;
PERL
echo '% a file so that the tree has more than one directory' > "$texmf/tex/latex/demo.sty"

# The launcher under the utility's name; Perl: the host's perl, through a small Windows perl.exe
# placed beside the launcher (the first place Windows looks for it).
cp "$build/tervan.exe" "$texmf/korvid/bin/hello.exe"
cp "$build/hostperl.exe" "$texmf/korvid/bin/perl.exe"

wtexmf="Z:$(echo "$texmf" | tr / '\\')"
printf '[Paths]\nTeXMF Root Directories=%s\nInstall Root=%s\nLocal Root=%s\n' \
  "$wtexmf" "$wtexmf" "$wtexmf" > "$texmf/korvid/config/paths.ini"

echo "== the file name database of $wtexmf"
run "$build/mkfndb.exe" "$wtexmf"
run "$build/mkfndb.exe" --list "$wtexmf\\korvid\\config\\texmf.fndb" | sed 's/^/   /'

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(first "two words" 'a "quoted" one')
echo "== wine hello.exe ${args[*]}"
set +e
run "$texmf/korvid/bin/hello.exe" "${args[@]}"
code=$?
set -e
echo "== hello.exe exited with $code (the script's own exit code)"

#!/usr/bin/env bash
# The smoke test of a release package, in one leg this machine runs: unpacks the leg's zip into a
# fresh TEXMF tree (its korvid folder, so that the programs land in korvid\bin and the tree is
# their default root), adds two Perl utilities, runs mkfndb and mklaunchers, runs the utilities
# through their launchers (Perl: the test perl.exe of the leg's build, which runs the host's
# perl), lists the roots; then upgrades tervan.exe (a copy whose version resource says the next
# patch level) and runs mklaunchers again, and removes a script and prunes its launcher.
# Usage: scripts/smoke.sh LEG ZIP      The leg must be built (its hostperl.exe is used).
set -euo pipefail
source "$(dirname "$0")/legs.sh"
[ $# -eq 2 ] && is_leg "$1" && [ -f "$2" ] || { echo "usage: scripts/smoke.sh LEG ZIP" >&2; exit 2; }
leg=$1
zip=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")

work="$build_root/smoke/$leg"
tree="$work/texmf"
bin="$tree/korvid/bin"
rm -rf "$work"
mkdir -p "$tree/korvid" "$work/perl"
(cd "$tree/korvid" && cmake -E tar xf "$zip")

mkdir -p "$tree/korvid/scripts/greet" "$tree/tex/latex/count"
cat > "$tree/korvid/scripts/greet/greet.pl" <<'PERL'
print "greet: hello, ", join(" | ", @ARGV), " from $ENV{TEXSYSTEM}\n";
exit 3;
PERL
cat > "$tree/tex/latex/count/count.pl" <<'PERL'
print "count: ", scalar(@ARGV), " arguments\n";
PERL
cp "$(leg_dir "$leg")/hostperl.exe" "$work/perl/perl.exe"

windows() { echo "Z:$(echo "$1" | tr / '\\')"; }
export WINEPATH; WINEPATH=$(windows "$work/perl")
step=""
fail() { echo "smoke $leg: FAILED at '$step': $*" >&2; exit 1; }
# Runs a program of the tree; its standard output (line ends as on Unix) lands in $out.
run() {
  step="$*"
  local status=0
  out=$(leg_run "$leg" "$@" 2>"$work/stderr" </dev/null | tr -d '\r') || status=$?
  return "$status"
}
expect() { [ "$out" = "$1" ] || fail "printed '$out', expected '$1'"; }
same_file() { [ "$(stat -c %i "$1")" = "$(stat -c %i "$2")" ] || fail "$1 is not a link to $2"; }

run "$bin/mkfndb.exe" "$(windows "$tree")" >/dev/null || fail "exit status $?"
run "$bin/mklaunchers.exe" "$(windows "$bin")" || fail "exit status $?: $(cat "$work/stderr")"
expect "made count.exe (hard link)
made greet.exe (hard link)
mklaunchers: 2 made, 0 replaced, 0 removed, 0 up to date, 0 passed over, 0 failed"
same_file "$bin/greet.exe" "$bin/tervan.exe"

status=0
run "$bin/greet.exe" one "two words" || status=$?
[ "$status" -eq 3 ] || fail "exit status $status, expected the script's 3: $(cat "$work/stderr")"
expect "greet: hello, one | two words from korvid"
run "$bin/count.exe" a b c || fail "exit status $?"
expect "count: 3 arguments"
run "$bin/kwhere.exe" --roots || fail "exit status $?: $(cat "$work/stderr")"
# With nothing configured the one root is two levels above the programs: the tree.
[[ "$out" == "0 $(windows "$bin")\\..\\.. [install] [local]"*"texmf.fndb: present, "* ]] ||
  fail "printed '$out'"

# The upgrade: a new tervan.exe in place of the old one; the launchers still hold the old bytes.
perl -0777 -pe '
  # VS_FIXEDFILEINFO: the signature, then the structure version, then the file and product
  # versions (most significant word first); the low words get the next patch level.
  s/(\xBD\x04\xEF\xFE.{4}.{4})(.{4})(.{4})(.{4})/
    $1 . pack("V", unpack("V", $2) + 0x10000) . $3 . pack("V", unpack("V", $4) + 0x10000)/se
    or die "no version resource\n";
' "$bin/tervan.exe" > "$work/tervan-next.exe"
cmp -s "$work/tervan-next.exe" "$bin/tervan.exe" && fail "the upgrade has the old bytes"
rm "$bin/tervan.exe"
cp "$work/tervan-next.exe" "$bin/tervan.exe"
run "$bin/mklaunchers.exe" "$(windows "$bin")" || fail "exit status $?: $(cat "$work/stderr")"
expect "replaced count.exe (hard link)
replaced greet.exe (hard link)
mklaunchers: 0 made, 2 replaced, 0 removed, 0 up to date, 0 passed over, 0 failed"
for launcher in count greet; do
  same_file "$bin/$launcher.exe" "$bin/tervan.exe"
  cmp -s "$bin/$launcher.exe" "$work/tervan-next.exe" || fail "$launcher.exe is not the new build"
done
run "$bin/count.exe" x || fail "exit status $?"
expect "count: 1 arguments"

rm "$tree/tex/latex/count/count.pl"
run "$bin/mklaunchers.exe" --prune "$(windows "$bin")" || fail "exit status $?: $(cat "$work/stderr")"
expect "removed count.exe
mklaunchers: 0 made, 0 replaced, 1 removed, 1 up to date, 0 passed over, 0 failed"
[ ! -e "$bin/count.exe" ] && [ -e "$bin/greet.exe" ] || fail "count.exe should be gone, greet.exe kept"
echo "smoke $leg: passed ($(basename "$zip"))"

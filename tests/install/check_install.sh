#!/bin/sh
# cmake --install into a staging directory (DESTDIR), as a package build
# does, and checks what lands there: the programs, which run and find the
# installed configuration; the manual pages, which format without a warning
# and have a NAME line for whatis; the example systemd unit, which starts
# the installed gsmmuxd with the installed configuration and passes
# systemd-analyze verify.
# Usage: check_install.sh CMAKE BUILD_DIR PREFIX
set -eu
cmake=$1 build=$2 prefix=$3
stage=$(mktemp -d /tmp/gsmmux-install-XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$stage "$cmake" --install "$build" >"$stage.log" 2>&1 || { cat "$stage.log"; rm -f "$stage.log"; fail "cmake --install"; }
rm -f "$stage.log"
root=$stage$prefix

for p in gsmmuxd muxsim; do
  [ -x "$root/bin/$p" ] || fail "$p not in bin"
  [ "$("$root/bin/$p" --version)" = "$p 0.1" ] || fail "$p --version"
done
[ -f "$root/share/gsmmux/mux.reg" ] || fail "no share/gsmmux/mux.reg"
cmp -s "$root/share/gsmmux/mux.reg" "$(dirname "$0")/../../config/mux.reg" || fail "mux.reg differs"
# The installed muxsim runs the phone's boot on the installed configuration.
(cd "$stage" && "$root/bin/muxsim" >"$stage/boot.txt" 2>&1) || { cat "$stage/boot.txt"; fail "installed muxsim"; }

for page in man8/gsmmuxd.8 man1/muxsim.1; do
  f=$root/share/man/$page
  [ -f "$f" ] || fail "no $page"
  warnings=$(groff -man -Tutf8 -ww -z "$f" 2>&1) || fail "groff on $page"
  [ -z "$warnings" ] || fail "$page: $warnings"
  name=$(basename "$f" | sed 's/\.[0-9]$//')
  lexgrog "$f" | grep -q "\"$name - " || fail "$page has no NAME line for whatis"
  for section in SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS"; do
    grep -q "^\.SH $section" "$f" || fail "$page lacks $section"
  done
done
# Every option the program knows is in its page.
for p in gsmmuxd muxsim; do
  page=$(ls "$root"/share/man/man*/"$p".[18])
  for opt in $("$root/bin/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -q -- "$(echo "$opt" | sed 's/-/\\\\-/g')" "$page" || fail "$page does not describe $opt"
  done
done

unit=$root/share/doc/gsmmux/examples/gsmmuxd.service
[ -f "$unit" ] || fail "no example unit"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
set -- $exec_start
[ "$1" = "$prefix/bin/gsmmuxd" ] || fail "ExecStart runs $1, not $prefix/bin/gsmmuxd"
echo "$exec_start" | grep -q -- "--reg $prefix/share/gsmmux/mux.reg" || fail "ExecStart: $exec_start"
# The unit as the staged files would have it, checked by systemd.
sed "s|$prefix/|$root/|g" "$unit" >"$stage/gsmmuxd.service"
out=$(systemd-analyze verify --man=no "$stage/gsmmuxd.service" 2>&1 | grep -v "dev-ttyUSB0.device" || true)
[ -z "$out" ] || fail "systemd-analyze verify: $out"
echo "PASS install"

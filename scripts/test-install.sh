#!/usr/bin/env bash
# Builds the Debian package from a build tree, unpacks it into a clean
# directory (dpkg -x, no root needed) and checks what an application sees:
#
# - the files: header, libqel32.so.1 (the soname) and its links, qelmail,
#   qel-maildrop, the man pages, the CMake package and qel32.pc;
# - examples/send_blocking.c compiled against the unpacked tree once through
#   find_package(qel32) and once through pkg-config, each run against the
#   unpacked qel-maildrop on 127.0.0.1, which must store the message;
# - the unpacked qelmail runs and finds its library.
#
#   scripts/test-install.sh [BUILD_DIR]     (default build/, built already)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qel-install.XXXXXX")
drop_pid=""
cleanup() {
  [ -n "$drop_pid" ] && kill "$drop_pid" 2>/dev/null && wait "$drop_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "test-install: $*" >&2
  exit 1
}

echo "== Debian package"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$build"/packages/qel32_*.deb)
dpkg-deb --field "$deb" Package Version Depends
root="$work/root"
dpkg -x "$deb" "$root"
prefix="$root/usr"

libdir=$(dirname "$(find "$prefix" -name 'libqel32.so.1' -print -quit)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "libqel32.so.1 is not in the package"
for f in include/qel32.h bin/qelmail bin/qel-maildrop share/man/man1/qelmail.1 share/man/man1/qel-maildrop.1; do
  [ -e "$prefix/$f" ] || fail "$f is not in the package"
done
for f in libqel32.so "pkgconfig/qel32.pc" cmake/qel32/qel32Config.cmake cmake/qel32/qel32ConfigVersion.cmake; do
  [ -e "$libdir/$f" ] || fail "${libdir#$prefix/}/$f is not in the package"
done
[ -L "$libdir/libqel32.so" ] && [ -L "$libdir/libqel32.so.1" ] || fail "the library links are missing"
soname=$(objdump -p "$libdir/libqel32.so.1" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libqel32.so.1 ] || fail "soname is '$soname'"
for page in qelmail qel-maildrop; do
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z "$prefix/share/man/man1/$page.1" 2>&1)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
done
"$prefix/bin/qelmail" --version | grep "library version" >/dev/null || fail "the installed qelmail does not run"

echo "== example through find_package(qel32)"
cmake -S "$here/tests/install" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DQEL_EXAMPLE_SOURCE="$here/examples/send_blocking.c" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "find_package(qel32) failed"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log" >&2; fail "build failed"; }

echo "== example through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pkg-config --exact-version="$(dpkg-deb --field "$deb" Version)" qel32 || fail "pkg-config does not find qel32"
# shellcheck disable=SC2046
cc -std=c99 -o "$work/send_pkgconfig" "$here/examples/send_blocking.c" $(pkg-config --cflags --libs qel32)

echo "== both against the installed mail drop"
"$prefix/bin/qel-maildrop" --quiet --root "$work/mail" --user alice:secret --ports-file "$work/ports" &
drop_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/ports" ] && break
  sleep 0.1
done
[ -s "$work/ports" ] || fail "the installed qel-maildrop did not start"
. "$work/ports"
for program in "$work/consumer/send_blocking" "$work/send_pkgconfig"; do
  # The library must come from the unpacked tree, not from a build tree.
  # Captured first: under pipefail a grep that stops at its first match can
  # kill ldd with SIGPIPE and fail the pipeline although the line was there.
  libs=$(LD_LIBRARY_PATH="$libdir" ldd "$program")
  grep -F "libqel32.so.1 => $libdir/" <<<"$libs" >/dev/null || { echo "$libs" >&2; fail "$program: wrong library"; }
  out=$(LD_LIBRARY_PATH="$libdir" "$program" 127.0.0.1 "$SMTP_PORT" "<install@localhost>" "<alice@localhost>")
  [ "$out" = sent ] || fail "$program printed '$out'"
done
stored=$(ls "$work/mail/alice/new" | wc -l)
[ "$stored" = 2 ] || fail "the mail drop stored $stored messages, not 2"
echo "== installed package: all checks passed"

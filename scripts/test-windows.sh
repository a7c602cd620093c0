#!/usr/bin/env bash
# Builds QEL32.dll with mingw-w64 and checks it under Wine (Debian 12):
#
# - the export table holds exactly the functions of include/qel32.h, under
#   their plain names;
# - the DLL imports system DLLs only (no mingw runtime DLL);
# - the archive (cpack -G ZIP) holds QEL32.dll, its import library, the .def
#   file and the header, and a C program built from the unpacked archive
#   alone runs under Wine, as does the README's program that loads the DLL;
# - the Windows check programs pass under Wine: a C program linked with the
#   import library, dll_check (loads the DLL with LoadLibrary) and
#   platform_check (the Windows platform layer, including a connection to a
#   server running natively on 127.0.0.1), in several time zones;
# - dll_check's server sections pass under Wine against the loopback mail
#   drop (qel-maildrop) running natively on 127.0.0.1, and natively against
#   libqel32.so; what reached the mail drop, the downloaded messages and
#   attachments and the lines sent are then the same in both runs
#   (tests/windows/compare_runs.py), among them a full MIME download whose
#   attachments have RFC 2231 and RFC 2047 names outside ASCII: the files
#   Wine writes carry the same UTF-8 names as the Linux run's;
# - the DLL's TLS (Schannel; under Wine it runs on the host's 32-bit GnuTLS)
#   against Postfix and Dovecot with TLS on 127.0.0.1 (tests/e2e/servers.sh
#   --tls, certificates from tests/support/make_test_certs.sh): dll_check's
#   TLS sections under Wine and natively against libqel32.so.
#
# The mail drop, libqel32.so and the native dll_check come from the Linux
# build tree (QEL_LINUX_BUILD, default build/), configured and brought up to
# date here when needed.
#
#   scripts/test-windows.sh
#   QEL_SKIP_INSTALL=1 ...   assume the packages are there
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
build=build-win32
linux_build=${QEL_LINUX_BUILD:-build}
jobs=$(nproc 2>/dev/null || echo 2)
# Bound of each program run under Wine, and of the first start of a prefix.
run_limit=180
boot_limit=300
# Zones whose offsets have minutes, and one of them in daylight time in
# either half of the year.
zones=(UTC Asia/Kathmandu America/St_Johns Australia/Adelaide)

fail() {
  echo "test-windows: $*" >&2
  exit 1
}

# ---- packages ---------------------------------------------------------------
install_missing() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  # The Linux side: the build, and the mail servers of the TLS sections.
  "$here/scripts/install-deps.sh"
  local missing=()
  # Wine's Schannel loads the 32-bit GnuTLS at run time; nothing depends on it.
  for p in g++-mingw-w64-i686 wine wine32:i386 libgnutls30:i386 tzdata python3 cmake make g++ libgtest-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
if [ "${QEL_SKIP_INSTALL:-0}" != 1 ]; then
  install_missing
fi

# ---- build --------------------------------------------------------------------
# QEL_DEF_EXCLUDE is set empty on purpose: this check wants every export.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQEL_WERROR=ON -DQEL_DEF_EXCLUDE= >/dev/null
cmake --build "$build" -j "$jobs"
dll="$build/QEL32.dll"
[ -f "$dll" ] || fail "$dll was not built"

# The native side: the mail drop, libqel32.so and dll_check built for Linux.
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S . -B "$linux_build" -DQEL_WERROR=ON >/dev/null
fi
cmake --build "$linux_build" -j "$jobs" --target qel-maildrop qel32 test_dll_check qel_test_certs
maildrop="$here/$linux_build/qel-maildrop"
native_check="$here/$linux_build/tests/test_dll_check"
native_library="$here/$linux_build/libqel32.so"
for f in "$maildrop" "$native_check" "$native_library"; do
  [ -x "$f" ] || [ -f "$f" ] || fail "$f was not built"
done

# ---- export table -----------------------------------------------------------
objdump=i686-w64-mingw32-objdump
declared=$(tr '\n' ' ' <include/qel32.h |
  grep -oE 'QEL_API[[:space:]]+int32_t[[:space:]]+QEL_CALL[[:space:]]+[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' |
  sed -E 's/.*QEL_CALL[[:space:]]+([A-Za-z0-9_]+).*/\1/' | sort)
exported=$("$objdump" -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+(.*)$/\1/p' | sort)
[ -n "$declared" ] || fail "no declaration found in include/qel32.h"
if [ "$declared" != "$exported" ]; then
  echo "exports differ from include/qel32.h (< header, > QEL32.dll):" >&2
  diff <(echo "$declared") <(echo "$exported") >&2 || true
  fail "export table is wrong"
fi
if grep -qE '@|^_' <<<"$exported"; then
  fail "decorated export names: $(grep -E '@|^_' <<<"$exported" | tr '\n' ' ')"
fi
echo "exports: $(wc -l <<<"$exported") plain names, as include/qel32.h declares"

# ---- imported DLLs ----------------------------------------------------------
imports=$("$objdump" -p "$dll" | sed -nE 's/^[[:space:]]*DLL Name:[[:space:]]*(.*)$/\1/p')
for name in $imports; do
  case "${name,,}" in
    kernel32.dll | user32.dll | ws2_32.dll | msvcrt.dll | secur32.dll | crypt32.dll | bcrypt.dll) ;;
    *) fail "QEL32.dll imports $name, which is not a system DLL" ;;
  esac
done
echo "imports: $(echo $imports)"

# ---- Wine -------------------------------------------------------------------
prefix=$(mktemp -d "${TMPDIR:-/tmp}/qel-wine.XXXXXX")
peer_dir=$(mktemp -d "${TMPDIR:-/tmp}/qel-peer.XXXXXX")
peer_pid=""
# The kept runs of the server sections; left behind when they differ.
runs=$(mktemp -d "${TMPDIR:-/tmp}/qel-runs.XXXXXX")
keep_runs=0
tls_servers="$peer_dir/tls-servers"
cleanup() {
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null || true
  [ -f "$tls_servers/env" ] && bash tests/e2e/servers.sh stop "$tls_servers" >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" timeout 30 wineserver -k 2>/dev/null || true
  rm -rf "$prefix" "$peer_dir"
  [ "$keep_runs" = 1 ] || rm -rf "$runs"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
if ! timeout "$boot_limit" wine wineboot -i >"$peer_dir/wineboot.log" 2>&1; then
  cat "$peer_dir/wineboot.log" >&2
  fail "the Wine prefix could not be set up"
fi

# Runs one Windows program from the build directory under Wine.
run() {
  local zone=$1
  shift
  echo "== $* (TZ=$zone)"
  (cd "$build" && TZ="$zone" timeout "$run_limit" wine "$@") || fail "$1 failed under Wine (TZ=$zone)"
}

run UTC header_c.exe

# The archive: built, unpacked, and used as an application would use it.
rm -rf "$build/packages"
(cd "$build" && cpack -G ZIP >/dev/null) || fail "cpack -G ZIP failed"
archive=$(ls "$build"/packages/qel32-*-win32.zip)
unpacked="$peer_dir/archive"
unzip -q "$archive" -d "$unpacked"
top="$unpacked/$(basename "$archive" .zip)"
for f in bin/QEL32.dll lib/libQEL32.dll.a lib/QEL32.def include/qel32.h; do
  [ -f "$top/$f" ] || fail "$f is not in $(basename "$archive")"
done
i686-w64-mingw32-gcc -std=c99 -I"$top/include" -o "$top/bin/archive_check.exe" tests/header/header_c.c \
  "$top/lib/libQEL32.dll.a" || fail "a program does not build from the archive"
echo "== archive_check.exe from $(basename "$archive") (TZ=UTC)"
(cd "$top/bin" && timeout "$run_limit" wine archive_check.exe) || fail "the program built from the archive failed"
# The README's program that loads the DLL, as written, beside the DLL.
python3 - README.md >"$top/bin/readme_dll.c" <<'PYTHON'
import re, sys
blocks = [b for b in re.findall(r"^```c\n(.*?)^```$", open(sys.argv[1]).read(), re.S | re.M) if "<windows.h>" in b]
sys.stdout.write(blocks[0])
PYTHON
i686-w64-mingw32-gcc -std=c99 -o "$top/bin/readme_dll.exe" "$top/bin/readme_dll.c" || fail "the README's DLL program does not build"
echo "== readme_dll.exe (TZ=UTC)"
readme_out=$(cd "$top/bin" && timeout "$run_limit" wine readme_dll.exe | tr -d '\r') || fail "the README's DLL program failed"
[ "$readme_out" = "Channel out of range." ] || fail "the README's DLL program printed '$readme_out'"
for zone in "${zones[@]}"; do
  offset=$(TZ="$zone" date +%z)
  run "$zone" dll_check.exe --zone "$offset"
  run "$zone" platform_check.exe --zone "$offset"
done

# A server running natively on 127.0.0.1, reached from the Windows side.
python3 - "$peer_dir/port" >"$peer_dir/peer.log" 2>&1 <<'EOF' &
import socket, sys
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.bind(("127.0.0.1", 0))
listener.listen(1)
listener.settimeout(120)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
import os
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
peer, _ = listener.accept()
peer.settimeout(30)
peer.sendall(b"220 native greeting\r\n")
got = b""
while not got.endswith(b"\r\n"):
    chunk = peer.recv(100)
    if not chunk:
        break
    got += chunk
if got == b"QUIT\r\n":
    peer.sendall(b"221 bye\r\n")
peer.close()
print("peer received", got)
sys.exit(0 if got == b"QUIT\r\n" else 1)
EOF
peer_pid=$!
for _ in $(seq 1 100); do
  [ -f "$peer_dir/port" ] && break
  sleep 0.1
done
[ -f "$peer_dir/port" ] || fail "the native server did not start"
run UTC platform_check.exe --peer-port "$(cat "$peer_dir/port")"
if ! wait "$peer_pid"; then
  peer_pid=""
  cat "$peer_dir/peer.log" >&2
  fail "the native server did not see the expected dialogue"
fi
peer_pid=""

# The server sections: under Wine and natively, each against a mail drop of
# its own on 127.0.0.1, in the same zone; their runs are kept in $runs and
# compared.
echo "== dll_check.exe against qel-maildrop (TZ=UTC)"
(cd "$build" && TZ=UTC python3 "$here/tests/windows/with_maildrop.py" --windows --maildrop "$maildrop" \
  --keep "$runs/windows" -- timeout "$run_limit" wine dll_check.exe --zone +0000) ||
  fail "dll_check.exe failed against the mail drop"
echo "== test_dll_check ($linux_build/libqel32.so) against qel-maildrop (TZ=UTC)"
TZ=UTC python3 "$here/tests/windows/with_maildrop.py" --maildrop "$maildrop" --keep "$runs/linux" -- \
  "$native_check" --library "$native_library" --zone +0000 ||
  fail "the native dll_check failed against the mail drop"
echo "== the two runs compared"
if ! python3 "$here/tests/windows/compare_runs.py" "$runs/linux" "$runs/windows"; then
  keep_runs=1
  fail "QEL32.dll and libqel32.so sent or saved different bytes (both runs kept in $runs)"
fi
# TLS against Postfix and Dovecot: under Wine, then natively against
# libqel32.so, each with a mailbox of its own (the servers are restarted).
run_tls() {
  echo "== dll_check $1 against Postfix and Dovecot with TLS (TZ=UTC)"
  local rc=0
  bash tests/e2e/servers.sh start "$tls_servers" --name windows-tls --auth "cram-md5 scram-sha-256 login plain" \
    --tls "$linux_build/tests/certs" >"$peer_dir/tls-servers.log" 2>&1 || rc=$?
  if [ "$rc" = 77 ]; then
    echo "-- skipped: $(grep '^QEL_E2E_REASON=' "$tls_servers/env" | cut -d= -f2-)"
    return 0
  fi
  [ "$rc" = 0 ] || { cat "$peer_dir/tls-servers.log" >&2; fail "the TLS servers did not start"; }
  local ca
  ca=$(sed -n "s/^TLS_CA_FILE='\(.*\)'$/\1/p" "$tls_servers/env")
  if [ "$1" = windows ]; then
    (cd "$build" && TZ=UTC timeout "$run_limit" wine dll_check.exe --tls-env "$(winepath -w "$tls_servers/env")" \
      --tls-ca "$(winepath -w "$ca")") || fail "dll_check.exe failed against the TLS servers"
  else
    TZ=UTC timeout "$run_limit" "$native_check" --library "$native_library" --tls-env "$tls_servers/env" \
      --tls-ca "$ca" || fail "the native dll_check failed against the TLS servers"
  fi
  bash tests/e2e/servers.sh stop "$tls_servers" --clean >/dev/null
}
run_tls windows
run_tls linux

echo "== QEL32.dll: all Windows checks passed"

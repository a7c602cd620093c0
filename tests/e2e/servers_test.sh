#!/usr/bin/env bash
# Checks servers.sh itself: skip or fail when the servers cannot run, a work
# directory behind a closed parent, a second start over running servers, a
# clean stop.
#
#   servers_test.sh SERVERS_SH WORK_DIR
set -uo pipefail

script=$1
work=$2
passed=0
failed=0

check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $what" >&2
    failed=$((failed + 1))
  fi
}

env_value() { sed -n "s/^$2='\\(.*\\)'\$/\\1/p" "$1/env"; }
pid_in() { tr -dc '0-9' <"$1" 2>/dev/null; }
dead() { ! kill -0 "$1" 2>/dev/null; }
smtp_greets() {
  timeout 5 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$0"; IFS= read -r -t 4 line <&3; [[ $line == "220 "* ]]' "$1" 2>/dev/null
}
server_pids() {
  local runtime=$1
  echo "$(pid_in "$runtime/postfix/queue/pid/master.pid") $(pid_in "$runtime/dovecot/run/master.pid")"
}

rm -rf "$work"
mkdir -p "$work"

# --- servers that cannot run -------------------------------------------
rc=0
env -u CI QEL_E2E_SBIN=/nonexistent bash "$script" start "$work/missing" 2>/dev/null || rc=$?
check "missing packages give 77 outside CI" [ "$rc" = 77 ]
check "the env file says why" [ "$(env_value "$work/missing" QEL_E2E_AVAILABLE)" = 0 ]
check "the reason names postfix" grep -q "postfix is missing" "$work/missing/env"
rc=0
CI=true QEL_E2E_SBIN=/nonexistent bash "$script" start "$work/missing" 2>/dev/null || rc=$?
check "missing packages fail under CI" [ "$rc" = 1 ]

for options in "--auth apop" "--auth plain;rm" "--name a/b" "--bogus"; do
  rc=0
  # shellcheck disable=SC2086
  bash "$script" start "$work/bad" $options 2>/dev/null || rc=$?
  check "start refuses $options" [ "$rc" = 1 ]
done
mkdir -p "$work/foreign"
echo keep >"$work/foreign/file"
rc=0
bash "$script" start "$work/foreign" 2>/dev/null || rc=$?
check "start refuses a directory it did not make" [ "$rc" = 1 ]
rc=0
bash "$script" stop "$work/foreign" --clean 2>/dev/null || rc=$?
check "stop --clean leaves a directory it did not make" [ -f "$work/foreign/file" ]
rc=0
bash "$script" stop "$work/never-started" || rc=$?
check "stop of a directory never started succeeds" [ "$rc" = 0 ]

# --- real servers --------------------------------------------------------
if [ "$(id -u)" != 0 ] || [ ! -x /usr/sbin/postfix ] || [ ! -x /usr/sbin/dovecot ]; then
  echo "$passed passed, $failed failed"
  if [ "$failed" != 0 ]; then exit 1; fi
  case "${CI:-}" in
    [Tt][Rr][Uu][Ee] | 1 | [Yy][Ee][Ss]) echo "FAILED: the mail servers must run under CI" >&2; exit 1 ;;
  esac
  echo "skipped: the real servers need root and the packages postfix, dovecot-core, dovecot-pop3d"
  exit 77
fi

# A parent that the servers' unprivileged users cannot pass.
mkdir -p "$work/closed"
chmod 700 "$work/closed"
dir=$work/closed/servers
# Its first ports are taken by another listener: it tries other ones.
python3 -c '
import socket, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen()
print(s.getsockname()[1], flush=True)
time.sleep(60)' >"$work/busy" &
busy_pid=$!
for _ in $(seq 50); do [ -s "$work/busy" ] && break; sleep 0.1; done
busy=$(cat "$work/busy")
rc=0
QEL_E2E_TRY_PORTS="$busy $busy" bash "$script" start "$dir" --name closed 2>"$work/start.err" || rc=$?
kill "$busy_pid"
check "start behind a closed parent" [ "$rc" = 0 ]
check "a taken port is retried" grep -q "trying other ports" "$work/start.err"
check "the ports are other ones" [ "$(env_value "$dir" SMTP_PORT)" != "$busy" ]
runtime=$(env_value "$dir" QEL_E2E_RUNTIME)
check "the servers' files moved under /tmp" [ "${runtime#/tmp/qel-e2e.}" != "$runtime" ]
check "delivery works there" [ "$(stat -c %U "$runtime/mail/example.test/alice/new")" = nobody ]
check "SMTP answers" smtp_greets "$(env_value "$dir" SMTP_PORT)"
read -r first_postfix first_dovecot <<<"$(server_pids "$runtime")"

# A second start stops the first servers.
rc=0
bash "$script" start "$dir" --name closed 2>/dev/null || rc=$?
check "second start" [ "$rc" = 0 ]
check "the first Postfix is gone" dead "$first_postfix"
check "the first Dovecot is gone" dead "$first_dovecot"
check "the first runtime directory is gone" [ ! -e "$runtime" ]
runtime=$(env_value "$dir" QEL_E2E_RUNTIME)
check "SMTP answers again" smtp_greets "$(env_value "$dir" SMTP_PORT)"
read -r postfix_pid dovecot_pid <<<"$(server_pids "$runtime")"

rc=0
bash "$script" stop "$dir" --clean || rc=$?
check "stop" [ "$rc" = 0 ]
check "Postfix stopped" dead "$postfix_pid"
check "Dovecot stopped" dead "$dovecot_pid"
check "--clean removed the servers' files" [ ! -e "$runtime" ]
check "--clean removed the work directory" [ ! -e "$dir" ]

rm -rf "$work"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

#!/usr/bin/env bash
# Real mail servers on loopback for the end-to-end tests: Postfix (SMTP, with
# SASL authentication through Dovecot) and Dovecot (POP3), run as root from a
# work directory, without systemd and without touching the system's own mail
# configuration.
#
#   servers.sh start DIR [--auth "MECHANISMS"] [--apop] [--name NAME]
#   servers.sh stop DIR [--clean]
#
# start  wipes DIR (stopping servers an earlier run left there; a DIR that
#        is neither empty nor made by this script is refused), writes the
#        configurations, picks free ports on 127.0.0.1, starts both servers,
#        waits until both answer (the SMTP greeting, an EHLO that offers AUTH,
#        the POP3 greeting) and writes DIR/env. Takes a few seconds.
# stop   stops both servers by the PIDs they recorded (TERM, then KILL after a
#        bounded wait). The work directory stays for the tests and for the
#        logs; --clean removes it too.
#
# Options of start:
#   --auth "plain login cram-md5"  Dovecot's auth_mechanisms, in the order in
#                                  which Postfix offers them after EHLO
#                                  ("250-AUTH PLAIN LOGIN CRAM-MD5"). This is
#                                  the default.
#   --apop                         also "apop": Dovecot then puts a timestamp
#                                  "<...>" in its POP3 greeting. The passwords
#                                  are stored in plain text in any case, which
#                                  CRAM-MD5 and APOP both need.
#   --name NAME                    a label written to the env file.
#   --tls CERTDIR                  TLS as well, with CERTDIR/server.pem and
#                                  server.key (localhost, 127.0.0.1; made by
#                                  tests/support/make_test_certs.sh): Postfix
#                                  gets a submission port that requires
#                                  STARTTLS and offers AUTH only after it, and
#                                  an implicit-TLS port; Dovecot offers STLS
#                                  on its POP3 port and gets a pop3s port.
#                                  Two more implicit-TLS ports of Postfix
#                                  show certificates that fail the check:
#                                  other.pem (other.test only) and
#                                  expired.pem.
#
# Results of start: 0 when both servers run; 77 when they cannot run on this
# machine (not root, or the packages postfix, dovecot-core and dovecot-pop3d
# are missing) and CI is not set: DIR/env then says QEL_E2E_AVAILABLE=0 and
# why, and the tests skip with that reason. Under CI=true the same case, and
# every other failure, gives 1 with the server logs on stderr.
#
# The env file (shell-sourceable KEY='value' lines):
#   QEL_E2E_AVAILABLE    1 when the servers run, 0 when they cannot
#   QEL_E2E_REASON       why not (empty when available)
#   QEL_E2E_NAME         the --name label
#   QEL_E2E_DIR          DIR
#   QEL_E2E_RUNTIME      where the servers' files are (DIR itself, or a
#                        directory under /tmp when a parent of DIR is not
#                        searchable by the servers' unprivileged users)
#   SMTP_HOST SMTP_PORT  Postfix's SMTP listener
#   SMTP_HOSTNAME        the host name Postfix greets with
#   SMTP_GREETING        the whole greeting line ("220 ... ESMTP Postfix")
#   SMTP_AUTH_LINE       the AUTH line of the EHLO reply ("AUTH PLAIN LOGIN
#                        CRAM-MD5"), as read from the running server
#   POP3_HOST POP3_PORT  Dovecot's POP3 listener
#   IPV6_HOST            ::1 when both also listen on the IPv6 loopback, else empty
#   AUTH_MECHANISMS      Dovecot's auth_mechanisms as configured
#   APOP                 1 when APOP is on
#   MAIL_DOMAIN          example.test, the only domain that takes mail
#   USERS                "alice bob carol"
#   ALICE_USER ALICE_PASSWORD ALICE_ADDRESS ALICE_MAILDIR, and BOB_..., CAROL_...
#                        known users: login name, password, address, Maildir
#                        (Postfix delivers into new/; the user's POP3 session
#                        moves what it reads to cur/)
#   UNKNOWN_ADDRESS      an address of the domain that does not exist (VRFY
#                        and RCPT answer 550)
#   BOX_PREFIX BOX_PASSWORD MAILBOX_ROOT
#                        private POP3 mailboxes: any login "box-NAME" with
#                        BOX_PASSWORD opens the Maildir MAILBOX_ROOT/box-NAME
#                        (created on first login, or by the test). Postfix does
#                        not deliver to them: a test fills its own box by
#                        writing files into new/, so that tests running in
#                        parallel never see each other's messages.
#   MAIL_UID MAIL_GID    owner of the Maildirs
#   POSTFIX_CONFIG POSTFIX_LOG DOVECOT_CONFIG DOVECOT_LOG
#   TLS                  1 with --tls, else 0; with --tls also:
#   SUBMISSION_PORT      STARTTLS required, AUTH only after it
#   SMTPS_PORT POP3S_PORT TLS from the first byte
#   SMTPS_OTHER_NAME_PORT SMTPS_EXPIRED_PORT
#                        TLS from the first byte, with a certificate for
#                        other.test only / an expired one (same CA)
#   TLS_CA_FILE          the CA that signed the servers' certificate
#
# Postfix: mail that is not for example.test is never sent anywhere
# (default_transport and relay_transport are "error", so its RCPT gets 550).
# VRFY answers 252 for a known user, with or without "@example.test", and 550
# for an unknown one. Delivered mail is stored with LF line ends, below the
# header lines Postfix adds (Return-Path, X-Original-To, Delivered-To,
# Received). The size limit (SIZE in the EHLO reply) is 100 MiB.
# Dovecot: "+OK Dovecot (Debian) ready." (with " <timestamp>" under --apop);
# a failed login answers within half a second; Dovecot keeps its own files
# (dovecot-uidlist, dovecot.index*) in the Maildir's top directory.
#
# For the script's own test: QEL_E2E_SBIN (where postfix and dovecot are
# looked for, default /usr/sbin), QEL_E2E_DOVECOT_POP3, and
# QEL_E2E_TRY_PORTS="SMTP POP3" (the ports of the first attempt; a port
# that turns out taken makes start try other ones).
#
# Several configurations at once. The order of the AUTH mechanisms that
# Postfix offers is Dovecot's auth_mechanisms order, fixed for the life of a
# Dovecot instance. The tests therefore run three independent pairs of
# servers side by side, each started by this script into its own directory
# with its own ports (tests/e2e/CMakeLists.txt):
#   default  --auth "plain login cram-md5"          EHLO: AUTH PLAIN LOGIN CRAM-MD5
#   cram     --auth "cram-md5 login plain" --apop   EHLO: AUTH CRAM-MD5 LOGIN PLAIN
#   login    --auth "login cram-md5 plain"          EHLO: AUTH LOGIN CRAM-MD5 PLAIN
# Starting them side by side costs a few seconds once, and no test has to
# restart a server that other tests are using.
set -euo pipefail

readonly kLoopback=127.0.0.1
# The IPv6 loopback, when this machine has one: both servers listen there
# too, on the same ports (empty: IPv4 only).
if grep -qs '^00000000000000000000000000000001 ' /proc/net/if_inet6; then
  readonly kIpv6Loopback=::1
else
  readonly kIpv6Loopback=
fi
readonly kDomain=example.test
readonly kSmtpHostname=mail.qel.test
readonly kUsers="alice bob carol"
readonly kBoxPrefix=box-
readonly kBoxPassword=box-secret-7
# Free ports are picked below the kernel's ephemeral range, so that no
# outgoing connection of a parallel test can hold them.
readonly kPortLow=20000
readonly kPortHigh=32000
readonly kStartAttempts=3
readonly kReadyWaitSeconds=15     # for both servers to answer
readonly kCommandSeconds=30        # for "postfix check", "postfix start", "dovecot"
readonly kStopWaitTenths=50        # 5 s after TERM, then KILL
readonly kKillWaitTenths=20
readonly kProbeSeconds=3
# Large enough for a 30 MB attachment after base64 (4/3) plus headers.
readonly kMessageSizeLimit=104857600
readonly kExitUnavailable=77
readonly kMarker=.qel-e2e-servers

sbin=${QEL_E2E_SBIN:-/usr/sbin}
postfix_bin=$sbin/postfix
dovecot_bin=$sbin/dovecot
dovecot_pop3=${QEL_E2E_DOVECOT_POP3:-/usr/lib/dovecot/pop3}

# shellcheck source-path=SCRIPTDIR source=servers_config.sh
source "$(dirname "${BASH_SOURCE[0]}")/servers_config.sh"

say() { echo "servers.sh: $*" >&2; }
die() { say "$*"; exit 1; }

ci_required() {
  case "${CI:-}" in
    [Tt][Rr][Uu][Ee] | 1 | [Yy][Ee][Ss]) return 0 ;;
  esac
  return 1
}

upper() { tr '[:lower:]' '[:upper:]' <<<"$1"; }

# --- env file ----------------------------------------------------------

env_lines=()
env_add() {
  local value=$2
  # Values are written in single quotes; none of ours may hold one.
  [[ $value != *"'"* ]] || die "value of $1 holds a quote"
  env_lines+=("$1='$value'")
}

write_env() {
  local tmp="$work/env.tmp"
  printf '%s\n' "${env_lines[@]}" >"$tmp"
  mv -f "$tmp" "$work/env"
}

# The servers cannot run on this machine: a skip for a developer, a failure
# under CI.
unavailable() {
  local reason=$1
  env_lines=()
  env_add QEL_E2E_AVAILABLE 0
  env_add QEL_E2E_REASON "$reason"
  env_add QEL_E2E_NAME "$name"
  env_add QEL_E2E_DIR "$work"
  write_env
  if ci_required; then
    die "cannot start the mail servers under CI: $reason"
  fi
  say "mail servers unavailable, end-to-end tests will skip: $reason"
  exit $kExitUnavailable
}

# --- processes ---------------------------------------------------------

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# PID from a pid file, if that process is still the server we started:
# PIDs are reused, so a stale file must never make us signal a stranger.
pid_of() {
  local file=$1 exe_name=$2 marker=$3 pid
  [ -f "$file" ] || return 0
  pid=$(tr -dc '0-9' <"$file")
  [ -n "$pid" ] && alive "$pid" || return 0
  [ "$(basename "$(readlink "/proc/$pid/exe" 2>/dev/null)")" = "$exe_name" ] || return 0
  tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -xF -- "$marker" >/dev/null && { echo "$pid"; return 0; }
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -xF -- "$marker" >/dev/null && echo "$pid"
  return 0
}

# Signals the server's master, or its whole process group when the master
# leads one (both daemons start their own session, so the group is exactly
# the server and its children; Dovecot's master exits sooner when its
# children already have the signal).
signal_server() {
  local signal=$1 pid=$2
  if [ "$(ps -o pgid= -p "$pid" 2>/dev/null | tr -d ' ')" = "$pid" ]; then
    kill "-$signal" -- "-$pid" 2>/dev/null || true
  else
    kill "-$signal" "$pid" 2>/dev/null || true
  fi
}

# TERM, a bounded wait, then KILL.
stop_pid() {
  local pid=$1 label=$2 i
  alive "$pid" || return 0
  signal_server TERM "$pid"
  for ((i = 0; i < kStopWaitTenths; i++)); do
    alive "$pid" || return 0
    sleep 0.1
  done
  say "$label (PID $pid) ignored TERM; killing it"
  signal_server KILL "$pid"
  for ((i = 0; i < kKillWaitTenths; i++)); do
    alive "$pid" || return 0
    sleep 0.1
  done
  say "$label (PID $pid) survived KILL"
  return 1
}

postfix_pid() {
  pid_of "$1/postfix/queue/pid/master.pid" master "MAIL_CONFIG=$1/postfix/etc"
}

dovecot_pid() {
  pid_of "$1/dovecot/run/master.pid" dovecot "$1/dovecot/dovecot.conf"
}

runtime_of() {
  local dir=$1 target
  if [ -L "$dir/runtime" ]; then
    target=$(readlink "$dir/runtime")
    # Only ever one of ours: it gets removed.
    [[ $target == /tmp/qel-e2e.* ]] || die "$dir/runtime points outside /tmp/qel-e2e.*"
    echo "$target"
  else
    echo "$dir"
  fi
}

# A work directory is wiped on start and on stop --clean: only ever one that
# is empty or that this script made.
check_ours() {
  local dir=$1
  [ -e "$dir/$kMarker" ] && return 0
  [ -z "$(ls -A "$dir")" ] && return 0
  die "$dir is neither empty nor a work directory of servers.sh; refusing to wipe it"
}

stop_servers() {
  local runtime=$1 rc=0 pf dc
  pf=$(postfix_pid "$runtime")
  dc=$(dovecot_pid "$runtime")
  # Both at once: each wait is bounded, and together they take one wait.
  [ -z "$pf" ] || stop_pid "$pf" postfix &
  local pf_job=$!
  [ -z "$dc" ] || stop_pid "$dc" dovecot || rc=1
  wait "$pf_job" || rc=1
  return $rc
}

# --- checks ------------------------------------------------------------

# Postfix's daemons (as postfix) and the delivery and POP3 processes (as the
# mail user) must be able to reach the work directory.
parents_searchable() {
  local d=$1
  while [ "$d" != / ]; do
    d=$(dirname "$d")
    [ "$(($(stat -c '0%a' "$d") & 1))" = 1 ] || return 1
  done
  return 0
}

port_free() {
  # A refused connection means nothing listens there.
  ! (exec 3<>"/dev/tcp/$kLoopback/$1") 2>/dev/null
}

pick_port() {
  local avoid=$1 p i
  for ((i = 0; i < 200; i++)); do
    p=$((kPortLow + (RANDOM * 32768 + RANDOM) % (kPortHigh - kPortLow)))
    [ "$p" != "$avoid" ] && port_free "$p" && { echo "$p"; return 0; }
  done
  die "no free port found on $kLoopback"
}

# --- probes ------------------------------------------------------------

# First line the server sends, or nothing.
greeting() {
  timeout "$kProbeSeconds" bash -c '
    exec 3<>"/dev/tcp/$0/$1" || exit 1
    IFS= read -r -t "$2" line <&3 || exit 1
    printf "%s\n" "${line%$'"'"'\r'"'"'}"
  ' "$kLoopback" "$1" "$kProbeSeconds" 2>/dev/null || true
}

# The AUTH line of Postfix's EHLO reply ("AUTH PLAIN LOGIN CRAM-MD5"), or
# nothing. It shows that Postfix reaches Dovecot's auth socket.
ehlo_auth_line() {
  timeout "$kProbeSeconds" bash -c '
    exec 3<>"/dev/tcp/$0/$1" || exit 1
    IFS= read -r -t "$2" line <&3 || exit 1
    printf "EHLO probe.qel.test\r\n" >&3
    while IFS= read -r -t "$2" line <&3; do
      line=${line%$'"'"'\r'"'"'}
      case $line in 250[-\ ]AUTH\ *) printf "%s\n" "${line:4}" ;; esac
      case $line in "250 "*) break ;; esac
    done
    printf "QUIT\r\n" >&3
  ' "$kLoopback" "$1" "$kProbeSeconds" 2>/dev/null || true
}

show_logs() {
  local f
  for f in "$runtime/postfix/postfix.log" "$runtime/dovecot/dovecot.log"; do
    [ -s "$f" ] || continue
    echo "---- $f (last lines)" >&2
    tail -n 30 "$f" >&2
  done
}

# Whether another attempt on fresh ports may succeed: a port was taken, or
# Postfix's master died before its own logger ran (its reason, often the
# bind, then reaches no log). grep reads the logs itself: a pipe into
# grep -q could fail under pipefail when grep stops at the first match.
logs_say_port_taken() {
  grep -qis -e 'address already in use' -e 'mail system startup failed' \
    "$runtime/postfix/postfix.log" "$runtime/dovecot/dovecot.log"
}

# Starts take turns from picking their ports until their daemons listen.
# ctest starts the pairs' fixtures in parallel, and a port that two of them
# had picked at once ended up served by both Postfix masters (the second did
# not fail on it), so one pair's tests met the other pair's server. The
# daemons must not inherit the lock's descriptor (9), or it would stay held.
readonly kStartLock=${TMPDIR:-/tmp}/qel-e2e-start.lock
readonly kStartTurnSeconds=300
take_start_turn() {
  exec 9>>"$kStartLock"
  flock -w "$kStartTurnSeconds" 9 || say "no turn to start within ${kStartTurnSeconds}s; starting anyway"
}
end_start_turn() { exec 9>&-; }

# One attempt with fresh ports. Returns 2 when a port was taken meanwhile.
# QEL_E2E_TRY_PORTS="SMTP POP3" imposes the ports of the first attempt (the
# script's own test takes one of them first).
start_once() {
  local attempt=$1
  take_start_turn
  if [ "$attempt" = 1 ] && [ -n "${QEL_E2E_TRY_PORTS:-}" ]; then
    read -r smtp_port pop3_port <<<"$QEL_E2E_TRY_PORTS"
  else
    smtp_port=$(pick_port 0)
    pop3_port=$(pick_port "$smtp_port")
  fi
  if [ "$tls" = 1 ]; then
    submission_port=$(pick_port "$smtp_port")
    smtps_port=$(pick_port "$pop3_port")
    pop3s_port=$(pick_port "$submission_port")
    other_name_port=$(pick_port "$smtps_port")
    expired_port=$(pick_port "$pop3s_port")
    local all="$smtp_port $pop3_port $submission_port $smtps_port $pop3s_port $other_name_port $expired_port"
    [ "$(tr ' ' '\n' <<<"$all" | sort -u | wc -l)" = 7 ] || return 2
  fi
  rm -rf "$runtime/postfix" "$runtime/dovecot" "$runtime/mail"
  mkdir -p "$runtime/postfix/data" "$runtime/postfix/queue"
  chown postfix "$runtime/postfix/data"
  if [ "$tls" = 1 ]; then
    mkdir -p "$runtime/tls"
    local cert
    for cert in server other expired; do
      cp "$cert_dir/$cert.pem" "$cert_dir/$cert.key" "$runtime/tls/"
      chmod 644 "$runtime/tls/$cert.pem"
      chmod 600 "$runtime/tls/$cert.key"
    done
    cp "$cert_dir/ca.pem" "$runtime/tls/"
    chmod 644 "$runtime/tls/ca.pem"
  fi
  write_postfix_config
  write_dovecot_config
  make_maildirs

  local etc=$runtime/postfix/etc
  # "check" creates the queue directories, private/ among them, where
  # Dovecot puts Postfix's auth socket; it reports problems to the log.
  if ! timeout "$kCommandSeconds" "$postfix_bin" -c "$etc" check >"$runtime/postfix/check.out" 2>&1; then
    cat "$runtime/postfix/check.out" >&2
    return 1
  fi
  # The check has just run: let "start" skip its own.
  touch "$runtime/postfix/queue/quick-start"

  # Both at once; each returns when its daemon runs (or has failed).
  timeout "$kCommandSeconds" "$dovecot_bin" -c "$runtime/dovecot/dovecot.conf" \
    >"$runtime/dovecot/start.out" 2>&1 9>&- &
  local dovecot_job=$!
  local postfix_rc=0 dovecot_rc=0
  timeout "$kCommandSeconds" "$postfix_bin" -c "$etc" start >"$runtime/postfix/start.out" 2>&1 9>&- || postfix_rc=$?
  wait "$dovecot_job" || dovecot_rc=$?
  # Both listen now (or have failed): the next start may pick its ports.
  end_start_turn
  if [ $postfix_rc != 0 ] || [ $dovecot_rc != 0 ]; then
    cat "$runtime/postfix/start.out" "$runtime/dovecot/start.out" >&2
    logs_say_port_taken && return 2
    return 1
  fi

  local smtp_line="" pop3_line="" auth_line="" deadline=$((SECONDS + kReadyWaitSeconds))
  while ((SECONDS < deadline)); do
    [ -n "$smtp_line" ] || smtp_line=$(greeting "$smtp_port")
    [ -n "$pop3_line" ] || pop3_line=$(greeting "$pop3_port")
    if [ -n "$smtp_line" ] && [ -z "$auth_line" ]; then
      auth_line=$(ehlo_auth_line "$smtp_port")
    fi
    [ -n "$auth_line" ] && [ -n "$pop3_line" ] && break
    logs_say_port_taken && return 2
    sleep 0.1
  done
  case $smtp_line in
    "220 $kSmtpHostname ESMTP"*) ;;
    *) say "no SMTP greeting on port $smtp_port (got '$smtp_line')"; return 1 ;;
  esac
  case $pop3_line in
    "+OK"*) ;;
    *) say "no POP3 greeting on port $pop3_port (got '$pop3_line')"; return 1 ;;
  esac
  [ -n "$auth_line" ] || { say "Postfix offers no AUTH: it does not reach Dovecot's auth socket"; return 1; }
  smtp_greeting=$smtp_line
  smtp_auth_line=$auth_line
  return 0
}

# --- commands ----------------------------------------------------------

cmd_start() {
  auth="plain login cram-md5"
  apop=0
  tls=0
  cert_dir=
  name=default
  while [ $# -gt 0 ]; do
    case $1 in
      --auth) [ $# -ge 2 ] || die "--auth needs a value"; auth=$2; shift 2 ;;
      --apop) apop=1; shift ;;
      --name) [ $# -ge 2 ] || die "--name needs a value"; name=$2; shift 2 ;;
      --tls) [ $# -ge 2 ] || die "--tls needs a directory"; tls=1; cert_dir=$2; shift 2 ;;
      *) die "unknown option: $1" ;;
    esac
  done
  [[ $name =~ ^[A-Za-z0-9_-]+$ ]] || die "bad --name: $name"
  if [ "$tls" = 1 ]; then
    for f in server.pem server.key other.pem other.key expired.pem expired.key ca.pem; do
      [ -f "$cert_dir/$f" ] || die "no $f in $cert_dir"
    done
    cert_dir=$(cd "$cert_dir" && pwd -P)
  fi
  [[ $auth =~ ^[a-z0-9\ -]+$ ]] || die "bad --auth: $auth"
  [[ " $auth " != *" apop "* ]] || die "use --apop instead of listing apop in --auth"
  local dovecot_mechanisms=$auth
  [ $apop = 0 ] || dovecot_mechanisms="$auth apop"

  mkdir -p "$work"
  work=$(cd "$work" && pwd -P)
  check_ours "$work"
  # Servers an earlier run left behind (a test run that was interrupted).
  local old_runtime
  old_runtime=$(runtime_of "$work")
  stop_servers "$old_runtime" || die "servers of an earlier run in $work do not stop"
  [ "$old_runtime" = "$work" ] || rm -rf -- "$old_runtime"
  find "$work" -mindepth 1 -delete
  touch "$work/$kMarker"

  [ "$(id -u)" = 0 ] || unavailable "the mail servers must be started as root"
  [ -x "$postfix_bin" ] || unavailable "$postfix_bin is missing (install the package postfix)"
  [ -x "$dovecot_bin" ] || unavailable "$dovecot_bin is missing (install dovecot-core and dovecot-pop3d)"
  [ -x "$dovecot_pop3" ] || unavailable "$dovecot_pop3 is missing (install dovecot-pop3d)"
  local u
  for u in postfix dovecot dovenull; do
    id "$u" >/dev/null 2>&1 || unavailable "the system user $u is missing"
  done
  mail_uid=$(id -u nobody)
  mail_gid=$(getent group nogroup | cut -d: -f3)
  [ -n "$mail_gid" ] || mail_gid=$(id -g nobody)

  chmod 755 "$work"
  if parents_searchable "$work"; then
    runtime=$work
  else
    # Unprivileged server processes cannot pass a closed parent directory.
    runtime=$(mktemp -d /tmp/qel-e2e.XXXXXX)
    chmod 755 "$runtime"
    ln -s "$runtime" "$work/runtime"
  fi

  auth=$dovecot_mechanisms
  local attempt rc
  for ((attempt = 1; attempt <= kStartAttempts; attempt++)); do
    rc=0
    start_once "$attempt" || rc=$?
    end_start_turn
    [ $rc = 0 ] && break
    show_logs
    stop_servers "$runtime" || true
    [ $rc = 2 ] || break
    say "a port was taken meanwhile; trying other ports"
  done
  if [ $rc != 0 ]; then
    env_lines=()
    env_add QEL_E2E_AVAILABLE 0
    env_add QEL_E2E_REASON "the mail servers did not start (logs in $runtime)"
    env_add QEL_E2E_NAME "$name"
    env_add QEL_E2E_DIR "$work"
    write_env
    die "the mail servers did not start (configuration and logs in $runtime)"
  fi

  env_lines=()
  env_add QEL_E2E_AVAILABLE 1
  env_add QEL_E2E_REASON ""
  env_add QEL_E2E_NAME "$name"
  env_add QEL_E2E_DIR "$work"
  env_add QEL_E2E_RUNTIME "$runtime"
  env_add SMTP_HOST "$kLoopback"
  env_add SMTP_PORT "$smtp_port"
  env_add SMTP_HOSTNAME "$kSmtpHostname"
  env_add SMTP_GREETING "$smtp_greeting"
  env_add SMTP_AUTH_LINE "$smtp_auth_line"
  env_add POP3_HOST "$kLoopback"
  env_add IPV6_HOST "$kIpv6Loopback"
  env_add POP3_PORT "$pop3_port"
  env_add AUTH_MECHANISMS "$auth"
  env_add APOP "$apop"
  env_add MAIL_DOMAIN "$kDomain"
  env_add USERS "$kUsers"
  for u in $kUsers; do
    local key
    key=$(upper "$u")
    env_add "${key}_USER" "$u"
    env_add "${key}_PASSWORD" "$(password_of "$u")"
    env_add "${key}_ADDRESS" "$u@$kDomain"
    env_add "${key}_MAILDIR" "$runtime/mail/$kDomain/$u"
  done
  env_add UNKNOWN_ADDRESS "nobody@$kDomain"
  env_add BOX_PREFIX "$kBoxPrefix"
  env_add BOX_PASSWORD "$kBoxPassword"
  env_add MAILBOX_ROOT "$runtime/mail/$kDomain"
  env_add MAIL_UID "$mail_uid"
  env_add MAIL_GID "$mail_gid"
  env_add POSTFIX_CONFIG "$runtime/postfix/etc"
  env_add POSTFIX_LOG "$runtime/postfix/postfix.log"
  env_add DOVECOT_CONFIG "$runtime/dovecot/dovecot.conf"
  env_add DOVECOT_LOG "$runtime/dovecot/dovecot.log"
  env_add TLS "$tls"
  if [ "$tls" = 1 ]; then
    env_add SUBMISSION_PORT "$submission_port"
    env_add SMTPS_PORT "$smtps_port"
    env_add POP3S_PORT "$pop3s_port"
    env_add SMTPS_OTHER_NAME_PORT "$other_name_port"
    env_add SMTPS_EXPIRED_PORT "$expired_port"
    env_add TLS_CA_FILE "$runtime/tls/ca.pem"
  fi
  write_env
  say "$name: SMTP on $kLoopback:$smtp_port ($smtp_auth_line), POP3 on $kLoopback:$pop3_port"
}

cmd_stop() {
  local clean=0
  while [ $# -gt 0 ]; do
    case $1 in
      --clean) clean=1; shift ;;
      *) die "unknown option: $1" ;;
    esac
  done
  [ -d "$work" ] || return 0
  work=$(cd "$work" && pwd -P)
  [ -e "$work/$kMarker" ] || { say "$work is not a work directory of servers.sh; nothing to stop"; return 0; }
  local runtime rc=0
  runtime=$(runtime_of "$work")
  stop_servers "$runtime" || rc=1
  if [ $clean = 1 ] && [ $rc = 0 ]; then
    [ "$runtime" = "$work" ] || rm -rf -- "$runtime"
    rm -rf -- "$work"
  fi
  return $rc
}

[ $# -ge 2 ] || die "usage: servers.sh start|stop DIR [options]"
command=$1
work=$2
shift 2
name=default
case $command in
  start) cmd_start "$@" ;;
  stop) cmd_stop "$@" ;;
  *) die "unknown command: $command" ;;
esac

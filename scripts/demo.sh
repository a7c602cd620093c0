#!/usr/bin/env bash
# The QEL demo, on a fresh Debian 12 machine with no mail server:
#
#   scripts/demo.sh
#
# installs what building needs (cmake, g++, make), builds qelmail and the
# loopback mail drop qel-maildrop, starts the mail drop on 127.0.0.1 in a
# temporary directory, sends a message with an HTML text, an inline image
# and an attachment through `qelmail send`, lists it and fetches it back
# with `qelmail fetch`, shows the saved message and compares the saved
# attachments with their sources, stops the mail drop. Exits 0 when
# everything arrived as it was sent.
#
#   QEL_SKIP_INSTALL=1   assume the packages are there
#   QEL_DEMO_BUILD=DIR   use qelmail and qel-maildrop already built in DIR
#   QEL_DEMO_KEEP=1      keep the temporary directory and its files
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
readonly data=examples/data
readonly user=demo
readonly password=demo-password
readonly start_wait_tenths=100   # 10 s for the mail drop to listen
readonly stop_wait_tenths=100

step() { printf '\n== %s\n' "$*"; }
# Prints the command as one would type it, then runs it.
show() {
  local arg line='$'
  for arg in "$@"; do
    case $arg in
      *[!A-Za-z0-9_./:=@-]*) line+=" '${arg//\'/\'\\\'\'}'" ;;
      *) line+=" $arg" ;;
    esac
  done
  printf '%s\n' "$line"
  "$@"
}

if [ "${QEL_SKIP_INSTALL:-0}" != 1 ]; then
  step "Installing what building needs (cmake, g++, make)"
  "$here/scripts/install-deps.sh" --build-only
fi

if [ -n "${QEL_DEMO_BUILD:-}" ]; then
  bin=$(cd "$QEL_DEMO_BUILD" && pwd)
else
  step "Building qelmail and the mail drop"
  bin=$here/build-demo
  cmake -S . -B "$bin" -DCMAKE_BUILD_TYPE=Release -DQEL_TESTS=OFF >/dev/null
  cmake --build "$bin" -j "$(nproc 2>/dev/null || echo 2)" --target qelmail qel-maildrop
fi
qelmail=$bin/qelmail
maildrop=$bin/qel-maildrop
for program in "$qelmail" "$maildrop"; do
  [ -x "$program" ] || { echo "demo.sh: $program is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qel-demo-XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  if [ "${QEL_DEMO_KEEP:-0}" = 1 ]; then
    echo "The demo's files are kept in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

step "Starting the mail drop on 127.0.0.1 (Maildir in $work/maildir)"
"$maildrop" --root "$work/maildir" --user "$user:$password" --ports-file "$work/ports" \
  --quiet >"$work/maildrop.log" 2>&1 &
pid=$!
for ((i = 0; i < start_wait_tenths; i++)); do
  [ -s "$work/ports" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/ports" ]; then
  echo "demo.sh: the mail drop did not start" >&2
  cat "$work/maildrop.log" >&2
  exit 1
fi
# shellcheck disable=SC1091
. "$work/ports"
echo "SMTP on port $SMTP_PORT, POP3 on port $POP3_PORT"

step "Sending an HTML message with an inline image and an attachment"
show "$qelmail" send --server 127.0.0.1 --port "$SMTP_PORT" \
  --from "QEL demo <sender@localhost>" --to "Demo user <$user@localhost>" \
  --subject "QEL demo: HTML, an inline image and an attachment" \
  --body-type html --body-file "$data/demo.html" \
  --attach "$data/qel-logo.gif" --attach "$data/chart.png"

step "Listing the mailbox"
show "$qelmail" list --server 127.0.0.1 --port "$POP3_PORT" --user "$user" --password "$password"

step "Fetching the message back, attachments decoded"
show "$qelmail" fetch --server 127.0.0.1 --port "$POP3_PORT" --user "$user" --password "$password" \
  --dir "$work/fetched" | tee "$work/fetched.txt"

message=$(awk -F'\t' '$1 == "message" { print $3; exit }' "$work/fetched.txt")
[ -n "$message" ] && [ -f "$message" ] || { echo "demo.sh: no message was saved" >&2; exit 1; }

step "The saved message: $message"
cat "$message"

step "The saved attachments, compared with the files that were sent"
printf '%-14s %8s  %-64s  %s\n' file bytes sha256 "same as sent"
status=0
for source in "$data/qel-logo.gif" "$data/chart.png"; do
  name=$(basename "$source")
  saved=$(awk -F'\t' -v name="$name" '$1 == "attachment" && $3 ~ ("/" name "$") { print $3 }' "$work/fetched.txt")
  if [ -z "$saved" ] || [ ! -f "$saved" ]; then
    printf '%-14s %8s  %-64s  %s\n' "$name" - - "MISSING"
    status=1
    continue
  fi
  sum=$(sha256sum <"$saved" | cut -d' ' -f1)
  verdict=yes
  if [ "$sum" != "$(sha256sum <"$source" | cut -d' ' -f1)" ] || ! cmp -s "$saved" "$source"; then
    verdict="NO: $saved differs from $source"
    status=1
  fi
  printf '%-14s %8s  %-64s  %s\n' "$name" "$(stat -c %s "$saved")" "$sum" "$verdict"
done

step "Stopping the mail drop"
kill "$pid"
stopped=1
for ((i = 0; i < stop_wait_tenths; i++)); do
  kill -0 "$pid" 2>/dev/null || { stopped=0; break; }
  sleep 0.1
done
if [ "$stopped" != 0 ] || ! wait "$pid"; then
  echo "demo.sh: the mail drop did not stop cleanly" >&2
  status=1
fi
pid=""

if [ "$status" = 0 ]; then
  step "Done: the message and its attachments came back as they were sent"
else
  step "FAILED: see above"
fi
exit "$status"

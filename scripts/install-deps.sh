#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, when they
# are missing. Runs apt-get update at most once.
#
#   scripts/install-deps.sh               everything the tests need
#   scripts/install-deps.sh --build-only  only what building needs (the demo)
#
# The mail servers of the end-to-end tests (postfix, dovecot-core,
# dovecot-pop3d) are installed without any system-wide configuration and
# without starting their system services: the tests run their own instances
# on loopback ports (tests/e2e/servers.sh), never on ports 25 and 110.
set -euo pipefail

# clang and its runtime libraries build the libFuzzer targets (scripts/fuzz.sh).
# Python's test suite holds the email package's sample messages, part of the
# full MIME mode's corpus (tests/data/mime/corpus.py).
packages=(cmake g++ make libssl-dev openssl libgtest-dev python3 curl time postfix dovecot-core dovecot-pop3d
          dpkg-dev pkgconf groff-base clang libclang-rt-14-dev libpython3.11-testsuite)
if [ "${1:-}" = --build-only ]; then
  packages=(cmake g++ make libssl-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" 2>/dev/null | grep '^Status: install ok installed' >/dev/null || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive

# Package scripts ask invoke-rc.d whether they may start a service; a policy
# that answers 101 ("action forbidden") keeps the system's Postfix and
# Dovecot from starting. An existing policy is left as it is.
policy=/usr/sbin/policy-rc.d
remove_policy=0
cleanup() {
  if [ "$remove_policy" = 1 ]; then
    $sudo rm -f "$policy"
  fi
}
trap cleanup EXIT
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  remove_policy=1
fi

# "No configuration": Postfix installs without a main.cf of its own.
echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections

$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"

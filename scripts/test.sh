#!/usr/bin/env bash
# Installs what the build and the tests need (on Debian 12), builds the
# library warning-free, runs the whole suite, builds and runs it again under
# AddressSanitizer and UndefinedBehaviorSanitizer, runs each libFuzzer
# target for a while (scripts/fuzz.sh), and finally cross-builds QEL32.dll
# and checks it under Wine. After the normal build it packages the
# library (Debian package), unpacks it into a clean directory and builds and
# runs an example against it (scripts/test-install.sh).
#
#   scripts/test.sh            everything
#   QEL_SKIP_SANITIZE=1 ...    no sanitizer build
#   QEL_SKIP_FUZZ=1 ...        no fuzzing
#   QEL_FUZZ_SECONDS=n ...     seconds per fuzz target (60)
#   QEL_SKIP_WINDOWS=1 ...     no Windows DLL
#   QEL_SKIP_PACKAGE=1 ...     no package and install check
#   QEL_SKIP_INSTALL=1 ...     assume the packages are there
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=$(nproc 2>/dev/null || echo 2)

if [ "${QEL_SKIP_INSTALL:-0}" != 1 ]; then
  "$here/scripts/install-deps.sh"
fi

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DQEL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # Socket closes pause by design, so cases run in parallel.
  (cd "$dir" && ctest --output-on-failure -j $((jobs * 4)) --timeout 600)
}

echo "== normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ "${QEL_SKIP_PACKAGE:-0}" != 1 ]; then
  echo "== package, installed into a clean directory"
  "$here/scripts/test-install.sh" build
fi

if [ "${QEL_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== sanitizer build (address, undefined)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON
fi

if [ "${QEL_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== fuzz targets (libFuzzer, address, undefined)"
  "$here/scripts/fuzz.sh"
fi

if [ -x "$here/scripts/test-windows.sh" ] && [ "${QEL_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "== Windows DLL under Wine"
  "$here/scripts/test-windows.sh"
fi
echo "== all tests passed"

#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (address and
# undefined-behaviour sanitizers) and runs each from a copy of its seed
# corpus for QEL_FUZZ_SECONDS seconds (default 60). A crash, a hang, a leak
# or a broken contract fails the script; the input that caused it is kept
# as build-fuzz/artifacts/<target>-crash-... (or -leak-, -timeout-) and
# belongs in tests/fuzz/corpus/<target>/ once the fault is fixed.
#
#   scripts/fuzz.sh                  every target
#   scripts/fuzz.sh codecs replies   only these
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${QEL_FUZZ_SECONDS:-60}
build=${QEL_FUZZ_BUILD:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(download replies codecs exports login compose imap)

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DQEL_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DQEL_FUZZ=ON \
  -DQEL_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  # libFuzzer adds what it finds to the corpus directory: work on a copy.
  work="$build/corpus/$target"
  rm -rf "$work"
  mkdir -p "$work"
  cp tests/fuzz/corpus/"$target"/* "$work"/
  log="$build/fuzz-$target.log"
  echo "== fuzz_$target for ${seconds}s"
  if ! "$build/tests/fuzz/fuzz_$target" "$work" -max_total_time="$seconds" -timeout=10 -max_len=16384 \
      -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$target failed; the input is in $build/artifacts/" >&2
    exit 1
  fi
  grep -E '^#[0-9]+.*(DONE|pulse)' "$log" | tail -n 1 || true
done
echo "== fuzzing found nothing"

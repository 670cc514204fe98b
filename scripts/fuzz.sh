#!/bin/bash
# Builds the libFuzzer targets with clang-14 under the address and
# undefined-behaviour sanitizers and runs each one for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
# The seed corpus in fuzz/corpus/<target> is only read; new inputs go to a
# scratch copy. A crash leaves its input in $BUILD/crashes and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

SEGUNDOS=${1:-60}
shift || true
ALVOS=("$@")
[ ${#ALVOS[@]} -gt 0 ] || ALVOS=(ini respostas_json multipart codificacao)

BUILD=${BUILD_DIR:-build-fuzz}
CXX=clang++-14 cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIFORD_FUZZ=ON \
  -DLUMIFORD_SANITIZE=ON -DLUMIFORD_TESTS=OFF -DLUMIFORD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target $(printf 'fuzz_%s ' "${ALVOS[@]}")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

mkdir -p "$BUILD/crashes"
falhas=0
for alvo in "${ALVOS[@]}"; do
  trabalho="$BUILD/corpus/$alvo"
  mkdir -p "$trabalho"
  echo "== fuzz_$alvo: ${SEGUNDOS}s"
  if ! "$BUILD/fuzz/fuzz_$alvo" -max_total_time="$SEGUNDOS" -timeout=10 -rss_limit_mb=2048 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$BUILD/crashes/${alvo}-" \
      "$trabalho" "fuzz/corpus/$alvo"; then
    echo "fuzz_$alvo: crash, input in $BUILD/crashes" >&2
    falhas=1
  fi
done
exit $falhas

#!/bin/bash
# Installs the dependencies, builds with the address and undefined-behaviour
# sanitizers and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/instalar_dependencias.sh

BUILD=${BUILD_DIR:-build-teste}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DLUMIFORD_SANITIZE=ON -DLUMIFORD_BENCH=ON
cmake --build "$BUILD" -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
# The leak checker does not read thread-local storage: with it on, the
# checker itself crashes at exit now and then ("Tracer caught signal 11")
# once the database client has unloaded its modules. Without it, the
# per-thread blocks the dynamic loader allocates for the embedded engine's
# thread-local variables (__tls_get_addr) look lost; the checker's own
# built-in rule for them needs the loader's function names, which glibc's
# debug symbols (libc6-dbg) give it. A child process keeps its own exit code
# under the checker (tests/servico/apoio_processo.h).
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0:use_tls=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 300

# Then each libFuzzer target for a bounded time (clang, same sanitizers).
# FUZZ_SEGUNDOS=0 skips it.
FUZZ_SEGUNDOS=${FUZZ_SEGUNDOS:-45}
if [ "$FUZZ_SEGUNDOS" -gt 0 ]; then
  bash scripts/fuzz.sh "$FUZZ_SEGUNDOS"
fi

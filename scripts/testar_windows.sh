#!/bin/bash
# Builds the Windows executable and its tests (scripts/compilar_windows.sh,
# OpenSSL cached) and runs them under Wine: the cross-built tests through
# CTest's emulator in the build's Wine prefix, and the service itself in a
# prefix of its own (tests/windows/servico_wine.sh).
#   BUILD_DIR_WINDOWS   build folder (build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD_DIR_WINDOWS:-build-windows}
LUMIFORD_TESTS=ON BUILD_DIR_WINDOWS="$BUILD" bash scripts/compilar_windows.sh

# The build's prefix is made anew at every run; its server (only this
# prefix's) is ended before and after: a server whose prefix was removed is
# out of reach.
export LUMIFORD_WINEPREFIX=$PWD/$BUILD/wine
encerrar() { [ -d "$LUMIFORD_WINEPREFIX" ] && WINEPREFIX=$LUMIFORD_WINEPREFIX timeout 30 wineserver -k >/dev/null 2>&1 </dev/null || true; }
encerrar
rm -rf "$LUMIFORD_WINEPREFIX" "$LUMIFORD_WINEPREFIX.trava"
trap encerrar EXIT

ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 300

#!/bin/bash
# Runs a Windows program under Wine: CTest's emulator for the cross-built
# tests. One Wine prefix per build (LUMIFORD_WINEPREFIX, else beside the
# program's build folder), made on first use. Wine's server is kept running
# (wineserver -p), and the prefix's own processes are started with their
# output on a file: a process Wine starts later (services.exe and the ones it
# starts) would otherwise keep the pipe through which CTest reads a test's
# output open for good.
set -euo pipefail

programa=$1
if [ -z "${LUMIFORD_WINEPREFIX:-}" ]; then
  pasta=$(cd "$(dirname "$programa")" && pwd)
  while [ "$pasta" != / ] && [ ! -f "$pasta/CMakeCache.txt" ]; do pasta=$(dirname "$pasta"); done
  LUMIFORD_WINEPREFIX=$pasta/wine
fi
export WINEPREFIX=$LUMIFORD_WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# Creation and start of the prefix, once, under a lock: CTest runs tests in
# parallel.
mkdir -p "$WINEPREFIX"
(
  flock 9
  wineserver -p </dev/null >>"$WINEPREFIX/wineserver.log" 2>&1 || true
  if [ ! -f "$WINEPREFIX/.pronto" ]; then
    wineboot -i </dev/null >>"$WINEPREFIX/wineboot.log" 2>&1
    touch "$WINEPREFIX/.pronto"
  fi
) 9>"$WINEPREFIX.trava"

exec wine "$@"

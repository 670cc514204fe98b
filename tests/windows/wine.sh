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

# Creation and start of the prefix under a lock (CTest runs tests in
# parallel). The prefix is made once and left to shut down (a server kept
# running through its creation ends up with two service managers); the
# first caller of a server's life starts it, persistent, and starts the
# prefix's own processes with a command whose output goes to a file. The
# lock's descriptor is not passed on: the server and those processes
# outlive this script.
mkdir -p "$WINEPREFIX"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.pronto" ]; then
    timeout -k 5 180 wineboot -i </dev/null >>"$WINEPREFIX/wineboot.log" 2>&1 9>&-
    timeout -k 5 60 wineserver -w 9>&-
    touch "$WINEPREFIX/.pronto"
  fi
  # Kept for 5 minutes after its last program, should nobody end it.
  if wineserver -p300 </dev/null >>"$WINEPREFIX/wineserver.log" 2>&1 9>&-; then
    timeout -k 5 60 wine cmd.exe /c exit </dev/null >>"$WINEPREFIX/wineboot.log" 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.trava"

exec wine "$@"

#!/bin/bash
# Idle footprint of the running service: lays out a demo-like installation
# in a temporary folder (integration on, a long interval), starts the real
# executable in service mode, lets its first timer runs finish, then reads
# its resident memory (VmRSS) and the CPU it uses over IDLE seconds of idle
# (utime + stime). Both databases are reached through a Firebird server of
# the script's own (host/port:path), as in production: the embedded engine is
# then not loaded, which the script checks. Goals: under 12 MB resident,
# under 0.1 s of CPU.
#   BUILD_DIR   build folder (default build-bench; configured and built when missing)
#   IDLE        idle seconds to measure (default 60)
#   LUMIFORD_BENCH_BANCO=embutido  the databases opened by the engine in the
#               service instead (a plain path, no server running)
set -euo pipefail
cd "$(dirname "$0")/.."
RAIZ=$PWD
BUILD=${BUILD_DIR:-build-bench}
IDLE=${IDLE:-60}

if [ ! -x "$BUILD/servico/lumiford_financeiro" ] || [ ! -x "$BUILD/tools/simulador_fornecedor" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DLUMIFORD_BENCH=ON > /dev/null
  nice cmake --build "$BUILD" -j2 --target lumiford_financeiro simulador_fornecedor
fi

DIR=$(mktemp -d "${TMPDIR:-/tmp}/lumiford-ocioso-XXXXXX")

PID_SIMULADOR=
PID_SERVICO=
encerrar() {
  [ -n "$PID_SERVICO" ] && kill -TERM "$PID_SERVICO" 2>/dev/null && wait "$PID_SERVICO" 2>/dev/null
  PararInstalacaoDemo "$DIR"
  rm -rf "$DIR"
  true
}
source scripts/demo/instalacao.sh
trap encerrar EXIT

# The demo's installation, debug off, the paid-invoice timer every 60 minutes;
# both databases through a Firebird server, as in production.
# The simulator stands in for a supplier on another machine: it gets copies of
# OpenSSL of its own, so its pages are not counted as the service's
# (SIMULADOR_OPENSSL_PROPRIO=0 shows what sharing them does).
SIMULADOR_OPENSSL_PROPRIO=${SIMULADOR_OPENSSL_PROPRIO:-1} MontarInstalacaoDemo "$DIR" "$BUILD" Nao 60
EMBUTIDO=$([ "${LUMIFORD_BENCH_BANCO:-servidor}" = embutido ] && echo 1 || echo 0)
if [ "$EMBUTIDO" = 1 ]; then
  bash scripts/firebird/servidor.sh parar "$DIR/firebird"
  BANCO="$DIR/Dados"
  sed -i "s|^Servidor=.*|Servidor=$BANCO|" "$DIR/servico/lumiford.ini"
fi

"$DIR/servico/lumiford_financeiro" > "$DIR/servico.out" 2>&1 &
PID_SERVICO=$!

# Both timers fire one second after start; their runs end within a few seconds.
sleep 10
kill -0 "$PID_SERVICO" 2>/dev/null || { echo "the service stopped:" >&2; cat "$DIR/servico.out" >&2; exit 1; }

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$PID_SERVICO/status"; }
cpu_ticks() { sed -e 's/^.*) //' "/proc/$PID_SERVICO/stat" | awk '{print $12 + $13}'; }
HZ=$(getconf CLK_TCK)

RSS_ANTES=$(rss_kb)
CPU_ANTES=$(cpu_ticks)
sleep "$IDLE"
CPU_DEPOIS=$(cpu_ticks)
RSS_DEPOIS=$(rss_kb)
PICO=$(awk '/^VmHWM:/ {print $2}' "/proc/$PID_SERVICO/status")
PARTES=$(awk '/^(RssAnon|RssFile|RssShmem):/ {printf "%s %.1f MB  ", $1, $2/1024}' "/proc/$PID_SERVICO/status")
PSS=$(awk '/^Pss:/ {printf "%.1f", $2/1024}' "/proc/$PID_SERVICO/smaps_rollup")
PARTILHADA=$(awk '/^Shared_(Clean|Dirty):/ {s += $2} END {printf "%.1f", s/1024}' "/proc/$PID_SERVICO/smaps_rollup")
# The mappings that hold the most resident memory, to see what bounds it, with
# the part other processes map too (the Firebird server maps the client
# library, every process the C library).
MAIORES=$(awk '/^[0-9a-f]+-[0-9a-f]+ / {nome = (NF >= 6 ? $6 : "[anon]")} /^Rss:/ {r[nome] += $2}
  /^Shared_(Clean|Dirty):/ {c[nome] += $2}
  END {for (n in r) printf "%8.1f MB  (%.1f MB shared)  %s\n", r[n]/1024, c[n]/1024, n}' "/proc/$PID_SERVICO/smaps" |
  sort -rn | head -8)
LINHAS=$(grep -c . "$DIR/servico/Log.txt" 2>/dev/null || echo 0)
# With both databases behind the server, the engine must not be in this process.
if grep -q 'libEngine[0-9]*\.so' "/proc/$PID_SERVICO/maps"; then MOTOR="loaded (libEngine mapped)"; else MOTOR="not loaded"; fi
# How the server sees the service's attachments (with the engine here, the
# files are the service's alone).
if [ "$EMBUTIDO" = 1 ]; then
  ANEXOS="    (no server: the engine in the service holds the files)"
else
  ANEXOS=$(printf 'SET HEADING OFF;\nSELECT MON$REMOTE_PROTOCOL, MON$REMOTE_PROCESS FROM MON$ATTACHMENTS WHERE MON$REMOTE_PID = %s;\n' \
    "$PID_SERVICO" | isql-fb -q -user SYSDBA -password bluefjord "$BANCO/DADOS.FDB" 2>&1 | awk 'NF' | sed 's/^/    /')
fi

echo "Idle footprint of lumiford_financeiro (service mode, after its first runs; $LINHAS log lines written)"
echo "  databases: Servidor=$BANCO; embedded engine $MOTOR; the service's attachment to DADOS.FDB as the server sees it:"
echo "$ANEXOS"
awk -v a="$RSS_ANTES" -v d="$RSS_DEPOIS" -v p="$PICO" 'BEGIN {
  printf "  resident memory between runs: %.1f MB at the start of the idle, %.1f MB at its end (goal < 12 MB); high-water mark %.1f MB\n", a/1024, d/1024, p/1024 }'
echo "  of which: $PARTES(mapped by other processes too: $PARTILHADA MB; proportional share, Pss: $PSS MB)"
echo "  largest resident mappings:"
echo "$MAIORES"
awk -v t=$((CPU_DEPOIS - CPU_ANTES)) -v hz="$HZ" -v s="$IDLE" 'BEGIN {
  printf "  CPU used over %d s idle: %.2f s (goal < 0.1 s)\n", s, t/hz }'

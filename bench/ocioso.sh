#!/bin/bash
# Idle footprint of the running service: lays out a demo-like installation
# in a temporary folder (integration on, a long interval), starts the real
# executable in service mode, lets its first timer runs finish, then reads
# its resident memory (VmRSS) and the CPU it uses over IDLE seconds of idle
# (utime + stime). Goals: under 12 MB resident, under 0.1 s of CPU.
#   BUILD_DIR   build folder (default build-bench; configured and built when missing)
#   IDLE        idle seconds to measure (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
RAIZ=$PWD
BUILD=${BUILD_DIR:-build-bench}
IDLE=${IDLE:-60}

if [ ! -x "$BUILD/servico/lumiford_financeiro" ] || [ ! -x "$BUILD/tools/simulador_fornecedor" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$BUILD" -j "$(nproc)" --target lumiford_financeiro simulador_fornecedor
fi

DIR=$(mktemp -d "${TMPDIR:-/tmp}/lumiford-ocioso-XXXXXX")
mkdir -p "$DIR/servico" "$DIR/Dados" "$DIR/simulador"
cp "$BUILD/servico/lumiford_financeiro" "$DIR/servico/"

PID_SIMULADOR=
PID_SERVICO=
encerrar() {
  [ -n "$PID_SERVICO" ] && kill -TERM "$PID_SERVICO" 2>/dev/null && wait "$PID_SERVICO" 2>/dev/null
  [ -n "$PID_SIMULADOR" ] && kill "$PID_SIMULADOR" 2>/dev/null && wait "$PID_SIMULADOR" 2>/dev/null
  rm -rf "$DIR"
  true
}
trap encerrar EXIT

D=scripts/demo
"$BUILD/tools/simulador_fornecedor" --https --ca "$DIR/simulador/ca.pem" --registro "$DIR/simulador" \
  --rota /api/financeiro/cliente/faturado 200 "@$D/faturado.json" \
  --rota /api/financeiro/cliente/faturamento 200 "@$D/faturamento.json" \
  --rota /api/financeiro/fatura/documento/boleto 200 "@$D/boleto.json" \
  --rota /api/financeiro/fatura/documento/nota-fiscal 200 "@$D/nota-fiscal.json" \
  > "$DIR/simulador/porta.txt" &
PID_SIMULADOR=$!
for _ in $(seq 50); do [ -s "$DIR/simulador/porta.txt" ] && break; sleep 0.1; done
PORTA=$(head -n1 "$DIR/simulador/porta.txt" | tr -dc '0-9')
[ -n "$PORTA" ] || { echo "the supplier simulator did not start" >&2; exit 1; }

cat > "$DIR/servico/lumiford.ini" <<INI
[Lumiford]
Empresa=7
Lumiford=$DIR
Servidor=$DIR/Dados
Nome_Servidor=$(uname -n)
Debug=Nao
CertificadoCA=$DIR/simulador/ca.pem
INI

MESES=(Janeiro Fevereiro Março Abril Maio Junho Julho Agosto Setembro Outubro Novembro Dezembro)
ANO=$(date +%Y); MES=${MESES[$(( $(date +%-m) - 1 ))]}
criar_banco() {
  local arquivo=$1 esquema=$2 dados=${3:-}
  {
    echo "SET SQL DIALECT 3;"
    echo "CREATE DATABASE '$arquivo' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252;"
    cat "$esquema"
    # The demo's company, with the paid-invoice timer every 60 minutes.
    [ -n "$dados" ] && sed -e "s/@PORTA@/$PORTA/" -e "s/@ANO@/$ANO/" -e "s/@MES@/$MES/" \
      -e "s|'12.345.678/0001-95', 1, '2'|'12.345.678/0001-95', 60, '2'|" "$dados"
    true
  } > "$DIR/criar.sql"
  isql-fb -q -b -ch UTF8 -i "$DIR/criar.sql" > "$DIR/criar.log" 2>&1 || { cat "$DIR/criar.log" >&2; exit 1; }
}
criar_banco "$DIR/Dados/DADOS.FDB" tests/fixtures/erp_schema.sql "$D/dados.sql"
grep -q "'12.345.678/0001-95', 60, '2'" "$DIR/criar.sql" || { echo "could not set the long interval" >&2; exit 1; }
criar_banco "$DIR/Dados/HISTORICO_SISTEMA.FDB" tests/fixtures/historico_schema.sql

# The documents the ERP leaves for the uploads, as in the demo.
BOLETOS="$DIR/Dados/Boleto/12345678000195"
mkdir -p "$BOLETOS/98765432000110" "$BOLETOS/12345678901" "$DIR/Dados/NFSe/Empresa_007"
printf '%%PDF-1.4\n%% boleto CM 1001-1\n%%%%EOF\n' > "$BOLETOS/98765432000110/CM 1001-1.pdf"
printf '%%PDF-1.4\n%% boleto CM 1002-1\n%%%%EOF\n' > "$BOLETOS/12345678901/CM 1002-1.pdf"
printf '<?xml version="1.0" encoding="UTF-8"?>\n<CompNfse><Numero>457</Numero></CompNfse>\n' \
  > "$DIR/Dados/NFSe/Empresa_007/NFSe_457.xml"

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
# The mappings that hold the most resident memory, to see what bounds it.
MAIORES=$(awk '/^[0-9a-f]+-[0-9a-f]+ / {nome = (NF >= 6 ? $6 : "[anon]")} /^Rss:/ {r[nome] += $2}
  END {for (n in r) printf "%8.1f MB  %s\n", r[n]/1024, n}' "/proc/$PID_SERVICO/smaps" | sort -rn | head -8)
LINHAS=$(grep -c . "$DIR/servico/Log.txt" 2>/dev/null || echo 0)

echo "Idle footprint of lumiford_financeiro (service mode, after its first runs; $LINHAS log lines written)"
awk -v a="$RSS_ANTES" -v d="$RSS_DEPOIS" -v p="$PICO" 'BEGIN {
  printf "  resident memory between runs: %.1f MB at the start of the idle, %.1f MB at its end (goal < 12 MB); high-water mark %.1f MB\n", a/1024, d/1024, p/1024 }'
echo "  of which: $PARTES(proportional share, Pss: $PSS MB)"
echo "  largest resident mappings:"
echo "$MAIORES"
awk -v t=$((CPU_DEPOIS - CPU_ANTES)) -v hz="$HZ" -v s="$IDLE" 'BEGIN {
  printf "  CPU used over %d s idle: %.2f s (goal < 0.1 s)\n", s, t/hz }'

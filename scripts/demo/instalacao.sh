# Sourced by scripts/demo.sh and bench/ocioso.sh: lays out a demo installation
# of company 7 in a folder and starts the supplier simulator for it.
#   MontarInstalacaoDemo PASTA BUILD DEBUG INTERVALO
# PASTA/servico holds the executable and lumiford.ini (Debug=DEBUG), PASTA/Dados
# both databases with the sample data (INTERVALO minutes for the paid-invoice
# timer) and the boleto and service-invoice files, PASTA/simulador the
# simulator's CA and requests, PASTA/firebird a Firebird server of the demo's
# own through which the service reaches both databases, as it reaches the
# ERP's in production (Servidor=127.0.0.1/PORT:PASTA/Dados). Sets
# PID_SIMULADOR, PORTA and BANCO (the database path through that server); the
# caller stops the simulator and the server (PararInstalacaoDemo). Run from
# the repository's root.

MontarInstalacaoDemo() {
  local pasta=$1 build=$2 debug=$3 intervalo=$4
  local d=scripts/demo
  mkdir -p "$pasta/servico" "$pasta/Dados" "$pasta/simulador"
  cp "$build/servico/lumiford_financeiro" "$pasta/servico/"

  # The supplier simulator: HTTPS with a test CA that the service is told to trust.
  # With SIMULADOR_OPENSSL_PROPRIO=1 it loads copies of OpenSSL of its own, so
  # that it shares no library pages with the service, as a supplier on another
  # machine shares none (the idle footprint counts the service's pages alone).
  local simulador=("$build/tools/simulador_fornecedor")
  if [ "${SIMULADOR_OPENSSL_PROPRIO:-}" = 1 ]; then
    mkdir -p "$pasta/simulador/lib"
    ldd "${simulador[0]}" | awk '/lib(ssl|crypto)\.so/ {print $3}' | xargs -r cp -t "$pasta/simulador/lib"
    simulador=(env LD_LIBRARY_PATH="$pasta/simulador/lib" "${simulador[@]}")
  fi
  "${simulador[@]}" --https --ca "$pasta/simulador/ca.pem" --registro "$pasta/simulador" \
    --rota /api/financeiro/cliente/faturado 200 "@$d/faturado.json" \
    --rota /api/financeiro/cliente/faturamento 200 "@$d/faturamento.json" \
    --rota /api/financeiro/fatura/documento/boleto 200 "@$d/boleto.json" \
    --rota /api/financeiro/fatura/documento/nota-fiscal 200 "@$d/nota-fiscal.json" \
    > "$pasta/simulador/porta.txt" &
  PID_SIMULADOR=$!
  for _ in $(seq 50); do [ -s "$pasta/simulador/porta.txt" ] && break; sleep 0.1; done
  PORTA=$(head -n1 "$pasta/simulador/porta.txt" | tr -dc '0-9')
  [ -n "$PORTA" ] || { echo "the supplier simulator did not start" >&2; return 1; }

  local porta_banco
  porta_banco=$(bash scripts/firebird/servidor.sh porta) || { echo "no free port for the Firebird server" >&2; return 1; }
  bash scripts/firebird/servidor.sh preparar "$pasta/firebird" "$porta_banco" > "$pasta/firebird.log" 2>&1 ||
    { cat "$pasta/firebird.log" >&2; return 1; }
  BANCO="127.0.0.1/$porta_banco:$pasta/Dados"

  cat > "$pasta/servico/lumiford.ini" <<INI
[Lumiford]
Empresa=7
Lumiford=$pasta
Servidor=$BANCO
Nome_Servidor=$(uname -n)
Debug=$debug
CertificadoCA=$pasta/simulador/ca.pem
INI

  # The two databases, from our ERP schema, through the embedded engine.
  local meses=(Janeiro Fevereiro Março Abril Maio Junho Julho Agosto Setembro Outubro Novembro Dezembro)
  local ano mes
  ano=$(date +%Y)
  mes=${meses[$(( $(date +%-m) - 1 ))]}
  _criar_banco() {
    local arquivo=$1 esquema=$2 dados=${3:-}
    {
      echo "SET SQL DIALECT 3;"
      echo "CREATE DATABASE '$arquivo' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252;"
      cat "$esquema"
      [ -n "$dados" ] && sed -e "s/@PORTA@/$PORTA/" -e "s/@ANO@/$ano/" -e "s/@MES@/$mes/" \
        -e "s/@INTERVALO@/$intervalo/" "$dados"
      true
    } > "$pasta/criar.sql"
    isql-fb -q -b -ch UTF8 -i "$pasta/criar.sql" > "$pasta/criar.log" 2>&1 || { cat "$pasta/criar.log" >&2; return 1; }
  }
  _criar_banco "$pasta/Dados/DADOS.FDB" tests/fixtures/erp_schema.sql "$d/dados.sql" || return 1
  _criar_banco "$pasta/Dados/HISTORICO_SISTEMA.FDB" tests/fixtures/historico_schema.sql || return 1
  bash scripts/firebird/servidor.sh iniciar "$pasta/firebird" || return 1

  # The documents the ERP leaves for the uploads (the boleto of receivable 1003 is missing on purpose).
  local boletos="$pasta/Dados/Boleto/12345678000195"
  mkdir -p "$boletos/98765432000110" "$boletos/12345678901" "$pasta/Dados/NFSe/Empresa_007"
  printf '%%PDF-1.4\n%% boleto CM 1001-1\n%%%%EOF\n' > "$boletos/98765432000110/CM 1001-1.pdf"
  printf '%%PDF-1.4\n%% boleto CM 1002-1\n%%%%EOF\n' > "$boletos/12345678901/CM 1002-1.pdf"
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<CompNfse><Numero>457</Numero></CompNfse>\n' \
    > "$pasta/Dados/NFSe/Empresa_007/NFSe_457.xml"
}

PararInstalacaoDemo() {
  local pasta=$1
  [ -n "${PID_SIMULADOR:-}" ] && kill "$PID_SIMULADOR" 2>/dev/null && wait "$PID_SIMULADOR" 2>/dev/null
  bash scripts/firebird/servidor.sh parar "$pasta/firebird"
  true
}

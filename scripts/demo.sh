#!/bin/bash
# Shows the service doing its whole job on this machine: installs the
# packages, builds, lays out a demo installation (executable, lumiford.ini,
# two databases with sample data, boleto and service-invoice files), starts
# the supplier simulator on loopback, runs both timers' flows once and prints
# what happened. Every run starts from a fresh demo folder.
set -euo pipefail
cd "$(dirname "$0")/.."
RAIZ=$PWD

bash scripts/instalar_dependencias.sh

BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIFORD_TESTS=OFF -DLUMIFORD_BENCH=OFF > /dev/null
cmake --build "$BUILD" -j "$(nproc)" --target lumiford_financeiro simulador_fornecedor

DEMO=$RAIZ/demo
rm -rf "$DEMO"
mkdir -p "$DEMO/servico" "$DEMO/Dados" "$DEMO/simulador"
cp "$BUILD/servico/lumiford_financeiro" "$DEMO/servico/"

PID_SIMULADOR=
encerrar() { [ -n "$PID_SIMULADOR" ] && kill "$PID_SIMULADOR" 2>/dev/null && wait "$PID_SIMULADOR" 2>/dev/null; true; }
trap encerrar EXIT

# The supplier simulator: HTTPS with a test CA that the service is told to trust.
D=scripts/demo
"$BUILD/tools/simulador_fornecedor" --https --ca "$DEMO/simulador/ca.pem" --registro "$DEMO/simulador" \
  --rota /api/financeiro/cliente/faturado 200 "@$D/faturado.json" \
  --rota /api/financeiro/cliente/faturamento 200 "@$D/faturamento.json" \
  --rota /api/financeiro/fatura/documento/boleto 200 "@$D/boleto.json" \
  --rota /api/financeiro/fatura/documento/nota-fiscal 200 "@$D/nota-fiscal.json" \
  > "$DEMO/simulador/porta.txt" &
PID_SIMULADOR=$!
for _ in $(seq 50); do [ -s "$DEMO/simulador/porta.txt" ] && break; sleep 0.1; done
PORTA=$(head -n1 "$DEMO/simulador/porta.txt" | tr -dc '0-9')
[ -n "$PORTA" ] || { echo "the supplier simulator did not start" >&2; exit 1; }

cat > "$DEMO/servico/lumiford.ini" <<INI
[Lumiford]
Empresa=7
Lumiford=$DEMO
Servidor=$DEMO/Dados
Nome_Servidor=$(uname -n)
Debug=Sim
CertificadoCA=$DEMO/simulador/ca.pem
INI

# The two databases, from our ERP schema, through the embedded engine.
MESES=(Janeiro Fevereiro Março Abril Maio Junho Julho Agosto Setembro Outubro Novembro Dezembro)
ANO=$(date +%Y); MES=${MESES[$(( $(date +%-m) - 1 ))]}
criar_banco() {
  local arquivo=$1 esquema=$2 dados=${3:-}
  {
    echo "SET SQL DIALECT 3;"
    echo "CREATE DATABASE '$arquivo' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252;"
    cat "$esquema"
    [ -n "$dados" ] && sed -e "s/@PORTA@/$PORTA/" -e "s/@ANO@/$ANO/" -e "s/@MES@/$MES/" "$dados"
    true
  } > "$DEMO/criar.sql"
  isql-fb -q -b -ch UTF8 -i "$DEMO/criar.sql" > "$DEMO/criar.log" 2>&1 || { cat "$DEMO/criar.log" >&2; exit 1; }
}
criar_banco "$DEMO/Dados/DADOS.FDB" tests/fixtures/erp_schema.sql "$D/dados.sql"
criar_banco "$DEMO/Dados/HISTORICO_SISTEMA.FDB" tests/fixtures/historico_schema.sql

# The documents the ERP leaves for the uploads (the boleto of receivable 1003 is missing on purpose).
BOLETOS="$DEMO/Dados/Boleto/12345678000195"
mkdir -p "$BOLETOS/98765432000110" "$BOLETOS/12345678901" "$DEMO/Dados/NFSe/Empresa_007"
printf '%%PDF-1.4\n%% boleto CM 1001-1\n%%%%EOF\n' > "$BOLETOS/98765432000110/CM 1001-1.pdf"
printf '%%PDF-1.4\n%% boleto CM 1002-1\n%%%%EOF\n' > "$BOLETOS/12345678901/CM 1002-1.pdf"
printf '<?xml version="1.0" encoding="UTF-8"?>\n<CompNfse><Numero>457</Numero></CompNfse>\n' \
  > "$DEMO/Dados/NFSe/Empresa_007/NFSe_457.xml"

resumo() {
  cat > "$DEMO/resumo.sql" <<'SQL'
SET LIST OFF;
SET HEADING OFF;
SELECT 'Faturas pagas informadas (FATURA_ENVIADA = 2)        ', COUNT(*) FROM MOV_CONTAS_RECEBER WHERE FATURA_ENVIADA = '2'
UNION ALL SELECT 'Boletos enviados (MOV_CONTAS_RECEBER Enviado)        ', COUNT(*) FROM MOV_CONTAS_RECEBER WHERE STATUS_ENVIO_API = 'Enviado'
UNION ALL SELECT 'Notas de servico enviadas (MOV_NOTA_FISCAL_VENDA)    ', COUNT(*) FROM MOV_NOTA_FISCAL_VENDA WHERE STATUS_ENVIO_API = 'Enviado'
UNION ALL SELECT 'Clientes cadastrados (CAD_PESSOA)                    ', COUNT(*) FROM CAD_PESSOA
UNION ALL SELECT 'Faturamentos do mes (MOV_CONTRATO_FATURAMENTO)       ', COUNT(*) FROM MOV_CONTRATO_FATURAMENTO
UNION ALL SELECT 'Itens de faturamento (MOV_IT_CONTRATO_FATURAMENTO)   ', COUNT(*) FROM MOV_IT_CONTRATO_FATURAMENTO
UNION ALL SELECT 'Requisicoes pendentes (MOV_REQUISICAO_SERVICO)       ', COUNT(*) FROM MOV_REQUISICAO_SERVICO;
SQL
  isql-fb -q -ch UTF8 -u sysdba -p bluefjord -i "$DEMO/resumo.sql" "$DEMO/Dados/DADOS.FDB" | sed '/^$/d'
}

echo
echo "== Before the run"
ANTES=$(resumo); echo "$ANTES"

echo
echo "== Running the service once (both timers' flows), supplier simulator on https://127.0.0.1:$PORTA"
set +e
"$DEMO/servico/lumiford_financeiro" /ONCE
CODIGO=$?
set -e

echo
echo "== Log.txt"
sed -e 's/\r$//' -e '1s/^\xEF\xBB\xBF//' "$DEMO/servico/Log.txt"

echo
echo "== After the run"
resumo

echo
echo "== New clients and billing items"
cat > "$DEMO/novos.sql" <<'SQL'
SELECT CADASTRO, NOME, CNPJ_CPF, CEP, CIDADE FROM CAD_PESSOA WHERE CADASTRO > 100;
SELECT NUMERO, SEQ, CLIENTE, COMISSAO, MENSALIDADE, ID_FATURA FROM MOV_IT_CONTRATO_FATURAMENTO ORDER BY NUMERO, SEQ;
SQL
isql-fb -q -ch UTF8 -u sysdba -p bluefjord -i "$DEMO/novos.sql" "$DEMO/Dados/DADOS.FDB"

echo "Requests received by the simulator: $(ls "$DEMO/simulador" | grep -c -v -e porta.txt -e ca.pem)"
echo "Demo folder: $DEMO (exit code of the run: $CODIGO)"
exit $CODIGO

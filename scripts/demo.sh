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

source scripts/demo/instalacao.sh
PID_SIMULADOR=
trap 'PararInstalacaoDemo "$DEMO"' EXIT
MontarInstalacaoDemo "$DEMO" "$BUILD" Sim 1

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
  isql-fb -q -ch UTF8 -u sysdba -p bluefjord -i "$DEMO/resumo.sql" "$BANCO/DADOS.FDB" | sed '/^$/d'
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
isql-fb -q -ch UTF8 -u sysdba -p bluefjord -i "$DEMO/novos.sql" "$BANCO/DADOS.FDB"

echo "Requests received by the simulator: $(ls "$DEMO/simulador" | grep -c -v -e porta.txt -e ca.pem)"
echo "Demo folder: $DEMO (exit code of the run: $CODIGO)"
exit $CODIGO

#!/bin/bash
# The Windows service under Wine's service manager, in a Wine prefix of its
# own: install (registry values), a second install refused, start, pause
# (the timers go on: a reconnection attempt logs a new failure meanwhile),
# continue, stop, the lifecycle lines of Log.txt in that order, a start by
# hand ending after the dispatcher's error, /CHECK, uninstall.
#   servico_wine.sh <lumiford_financeiro.exe> <controlar_servico.exe> <fbclient.dll that is no client>
# Every Wine command is bounded in time and writes to files, never to a pipe:
# processes that Wine's service manager starts would inherit the pipe and
# keep it open.
set -uo pipefail

EXE=$(realpath "$1")
CONTROLAR=$(realpath "$2")
DLL_FALSA=$(realpath "$3")
SERVICO=lumiford_financeiro_007

TRABALHO=$(mktemp -d "${TMPDIR:-/tmp}/lumiford-servico-wine.XXXXXX")
cd "$TRABALHO"
export WINEPREFIX=$TRABALHO/prefixo
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

encerrar() {
  timeout 30 wineserver -k >/dev/null 2>&1 </dev/null
  rm -rf "$TRABALHO"
}
trap encerrar EXIT

falhas=0
ok() { echo "ok: $*"; }
falha() {
  echo "FALHA: $*"
  falhas=$((falhas + 1))
}

# Runs a Windows command, output and error into files; returns its exit code.
w() {
  timeout -k 5 60 wine "$@" </dev/null >"$TRABALHO/saida.txt" 2>"$TRABALHO/erro.txt"
}
# Text of the last command's output (UTF-16 and CR removed).
saida() { tr -d '\r\000' <"$TRABALHO/saida.txt"; }
erro() { tr -d '\r\000' <"$TRABALHO/erro.txt"; }

PASTA=$WINEPREFIX/drive_c/lumiford/007
LOG=$PASTA/Log.txt
EXE_WIN='C:\lumiford\007\lumiford_financeiro.exe'

# The prefix is made first and left to shut down: a server kept running
# through its creation ends up with two service managers. Then the server
# is kept running, and the service manager started with its output on a file.
# The service's reconnection attempts every 300 ms instead of every minute:
# services get the system's environment from the registry, read when the
# service manager starts.
AMBIENTE='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
if ! timeout -k 5 180 wineboot -i </dev/null >"$TRABALHO/wineboot.log" 2>&1 ||
   ! timeout -k 5 60 wine reg add "$AMBIENTE" /v LUMIFORD_RECONEXAO_MS /d 300 /f </dev/null >>"$TRABALHO/wineboot.log" 2>&1 ||
   ! timeout -k 5 60 wineserver -w; then
  echo "FALHA: wineboot"
  exit 1
fi
timeout 30 wineserver -p300 </dev/null >"$TRABALHO/wineserver.log" 2>&1
timeout -k 5 60 wine cmd.exe /c exit </dev/null >>"$TRABALHO/wineboot.log" 2>&1

mkdir -p "$PASTA"
cp "$EXE" "$PASTA/lumiford_financeiro.exe"
printf '[Lumiford]\r\nEmpresa=7\r\nLumiford=C:\\Lumiford\r\nServidor=C:\\ERP\\Dados\r\nNome_Servidor=SERVIDOR\r\n' >"$PASTA/lumiford.ini"

esperar_log() {  # text, seconds
  local limite=$((SECONDS + $2))
  while [ $SECONDS -lt $limite ]; do
    grep -qaF -- "$1" "$LOG" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}

# ---- install
if w "$EXE_WIN" /INSTALL /SILENT; then ok "/INSTALL /SILENT"; else falha "/INSTALL /SILENT: $(erro)"; fi
[ -z "$(saida)" ] && ok "no success text with SILENT" || falha "success text with SILENT: $(saida)"
w reg query "HKLM\\System\\CurrentControlSet\\Services\\$SERVICO"
REG=$(saida)
for esperado in "Start	*REG_DWORD	*0x2" "Type	*REG_DWORD	*0x10" "ErrorControl	*REG_DWORD	*0x1" \
                "ImagePath	*REG_(EXPAND_)?SZ	*C:\\\\lumiford\\\\007\\\\lumiford_financeiro.exe\$" \
                "DisplayName	*REG_SZ	*Lumiford 007 - Financeiro\$" "Description	*REG_SZ	*Lumiford Vavevivi - Financeiro\$"; do
  padrao=$(printf '%s' "$esperado" | sed 's/\t/[[:space:]]/g')
  if grep -qE -- "$padrao" <<<"$REG"; then ok "registry: $esperado"; else falha "registry: $esperado not in: $REG"; fi
done
esperar_log "Service - Installed" 1 && ok "Service - Installed" || falha "no 'Service - Installed' in Log.txt"
if grep -qaF "Erro ao conectar na Base de Dados:" "$LOG" && grep -qaF "fbclient.dll" "$LOG"; then
  ok "missing fbclient.dll logged"
else
  falha "missing fbclient.dll not logged: $(tr -d '\r' <"$LOG")"
fi

# ---- a second install fails
w "$EXE_WIN" /INSTALL /SILENT
rc=$?
[ $rc -eq 1 ] && ok "second install: exit code 1" || falha "second install: exit code $rc"
if erro | grep -qF 'Service "Lumiford 007 - Financeiro" failed to install with error: "System Error.  Code: 1073.'; then
  ok "second install: failure text"
else
  falha "second install: $(erro)"
fi

# ---- start, pause (timers still running), continue, stop
if w "$CONTROLAR" "$SERVICO" start && saida | grep -q '^RUNNING'; then ok "start: $(saida)"; else falha "start: $(saida) $(erro)"; fi
esperar_log "Service - Start" 10 && ok "Service - Start" || falha "no 'Service - Start'"
if w "$CONTROLAR" "$SERVICO" pause && saida | grep -q '^PAUSED'; then ok "pause: $(saida)"; else falha "pause: $(saida) $(erro)"; fi
esperar_log "Service - Pause" 10 && ok "Service - Pause" || falha "no 'Service - Pause'"
cp "$DLL_FALSA" "$PASTA/fbclient.dll"
if esperar_log "fb_get_master_interface" 20; then ok "timers run while paused (new reconnection failure logged)"; else falha "no reconnection attempt while paused"; fi
if w "$CONTROLAR" "$SERVICO" continue && saida | grep -q '^RUNNING'; then ok "continue: $(saida)"; else falha "continue: $(saida) $(erro)"; fi
esperar_log "Service - Continue" 10 && ok "Service - Continue" || falha "no 'Service - Continue'"
if w "$CONTROLAR" "$SERVICO" stop && saida | grep -q '^STOPPED'; then ok "stop: $(saida)"; else falha "stop: $(saida) $(erro)"; fi
esperar_log "Service - Stop" 10 && ok "Service - Stop" || falha "no 'Service - Stop'"
ORDEM=$(tr -d '\r' <"$LOG" | grep -oE 'Service - (Start|Pause|Continue|Stop)|fb_get_master_interface' | tr '\n' ',')
[ "$ORDEM" = "Service - Start,Service - Pause,fb_get_master_interface,Service - Continue,Service - Stop," ] &&
  ok "order in Log.txt" || falha "order in Log.txt: $ORDEM"
rm -f "$PASTA/fbclient.dll"

# ---- a start whose log line cannot be written fails, and the service stops
mv "$LOG" "$TRABALHO/Log.txt"
mkdir "$LOG"
w "$CONTROLAR" "$SERVICO" start
if saida | grep -qE '^STOPPED [0-9]+ 1066 '; then
  ok "start without a writable Log.txt: stopped with a service error ($(saida))"
else
  falha "start without a writable Log.txt: $(saida) $(erro)"
fi
rmdir "$LOG"
mv "$TRABALHO/Log.txt" "$LOG"

# ---- by hand, without switches: ends after the dispatcher's error
w "$EXE_WIN"
rc=$?
if [ $rc -ne 124 ] && [ $rc -ne 137 ] && erro | grep -qF "System Error.  Code: 1063."; then
  ok "started by hand: ended (exit code $rc) after the dispatcher error"
else
  falha "started by hand: exit code $rc, $(erro)"
fi

# ---- /CHECK answers with the connection failure; a fbclient.dll in the
# working directory (here the one that is no client) is never loaded
(cd "$(dirname "$DLL_FALSA")" && w "$EXE_WIN" /CHECK)
rc=$?
if [ $rc -eq 1 ] && saida | grep -q "Conexão.*ERRO.*fbclient.dll"; then ok "/CHECK names fbclient.dll"; else falha "/CHECK: $rc $(saida)"; fi
if saida | grep -q "Conexão.*System Error.  Code: 126"; then ok "/CHECK: no library taken from the working directory"; else falha "/CHECK: $(saida)"; fi
if saida | grep -qF 'Banco de dados.....: C:\ERP\Dados\DADOS.FDB'; then ok "/CHECK: Windows database path"; else falha "/CHECK: $(saida)"; fi

# ---- uninstall
if w "$EXE_WIN" /UNINSTALL /SILENT; then ok "/UNINSTALL /SILENT"; else falha "/UNINSTALL: $(erro)"; fi
esperar_log "Service - Uninstalled" 1 && ok "Service - Uninstalled" || falha "no 'Service - Uninstalled'"
if w reg query "HKLM\\System\\CurrentControlSet\\Services\\$SERVICO"; then falha "registry key still there"; else ok "registry key removed"; fi
w "$EXE_WIN" /UNINSTALL /SILENT
rc=$?
[ $rc -eq 1 ] && erro | grep -qF "failed to uninstall with error" && ok "second uninstall fails" || falha "second uninstall: $rc $(erro)"

if [ $falhas -ne 0 ]; then
  echo "Log.txt:"
  tr -d '\r' <"$LOG"
  exit 1
fi
echo "service under Wine: all checks passed"

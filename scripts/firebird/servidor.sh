#!/bin/bash
# A Firebird 3 SuperServer of our own, beside whatever server the machine
# runs: its own configuration, lock and temporary folders and security
# database (SYSDBA with the service's password), listening on 127.0.0.1 at a
# port of our choosing. The tests and the demo reach their databases through
# it, as the service reaches the ERP's in production; the machine's own
# server, if any, is never touched.
#
#   servidor.sh configurar DIR PORTA   the client and server settings only (DIR/conf)
#   servidor.sh preparar DIR PORTA     settings, folders and the security database
#                                      (made only when DIR has none yet)
#   servidor.sh iniciar DIR            starts it in the background once laid out;
#                                      returns when the port answers (pid in DIR/pid)
#   servidor.sh parar DIR
#   servidor.sh porta                  prints a loopback port nothing listens on
#
# A client that should find this server for a plain path (the loopback
# provider) runs with FIREBIRD=DIR/conf: the client library then reads
# DIR/conf/firebird.conf, whose RemoteServicePort is PORTA.
set -euo pipefail

CONF_SISTEMA=/etc/firebird/3.0
SERVIDOR=/usr/sbin/firebird
SENHA_SYSDBA=bluefjord
SQL_SEGURANCA=/usr/share/firebird/3.0/security.sql

configurar() {
  local dir=$1 porta=$2
  mkdir -p "$dir/conf" "$dir/lock" "$dir/tmp"
  # FIREBIRD makes this folder the client's and the server's root: beside
  # our own settings it holds what the installed root holds (messages,
  # character sets, plugins), as links.
  local raiz entrada
  raiz=$(ls -d /usr/lib/*/firebird/3.0 | head -n 1)
  for entrada in "$raiz"/*; do
    case "$entrada" in
      *.conf) ;;
      # The engine takes its character-set module only from a real folder
      # below the root, not through a link.
      */intl) rm -rf "$dir/conf/intl"; cp -r "$entrada" "$dir/conf/intl" ;;
      *) ln -sfn "$entrada" "$dir/conf/$(basename "$entrada")" ;;
    esac
  done
  cp "$CONF_SISTEMA/plugins.conf" "$CONF_SISTEMA/fbtrace.conf" "$dir/conf/"
  cat > "$dir/conf/firebird.conf" <<CONF
RemoteServicePort = $porta
RemoteBindAddress = 127.0.0.1
ServerMode = Super
UdfAccess = None
SecurityDatabase = $dir/security3.fdb
CONF
  cat > "$dir/conf/databases.conf" <<CONF
security.db = $dir/security3.fdb
{
	RemoteAccess = false
	DefaultDbCachePages = 50
}
CONF
}

ambiente() {
  local dir=$1
  export FIREBIRD="$dir/conf" FIREBIRD_LOCK="$dir/lock" FIREBIRD_TMP="$dir/tmp"
}

preparar() {
  local dir=$1 porta=$2
  configurar "$dir" "$porta"
  [ -s "$dir/security3.fdb" ] && return 0
  (
    ambiente "$dir"
    export LANG=C
    local novo="$dir/security3.fdb.novo"
    rm -f "$novo"
    echo "create database '$novo';" | isql-fb -q
    isql-fb -q -user SYSDBA -i "$SQL_SEGURANCA" "$novo"
    mv "$novo" "$dir/security3.fdb"
    echo "create or alter user SYSDBA password '$SENHA_SYSDBA';" | isql-fb -q -user SYSDBA "$dir/security3.fdb"
  )
}

porta_de() {
  sed -n 's/^RemoteServicePort = //p' "$1/conf/firebird.conf"
}

responde() {  # the port accepts connections
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

iniciar() {
  local dir=$1 porta pid
  porta=$(porta_de "$dir")
  (
    ambiente "$dir"
    exec "$SERVIDOR" > "$dir/servidor.log" 2>&1 < /dev/null
  ) &
  pid=$!
  echo "$pid" > "$dir/pid"
  for _ in $(seq 1 200); do
    responde "$porta" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "servidor.sh: the Firebird server did not start on port $porta:" >&2
  cat "$dir/servidor.log" >&2 || true
  return 1
}

parar() {
  local dir=$1 pid
  [ -f "$dir/pid" ] || return 0
  pid=$(cat "$dir/pid")
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$dir/pid"
}

porta_livre() {
  local porta
  for _ in $(seq 1 100); do
    porta=$(( 20000 + RANDOM % 40000 ))
    responde "$porta" || { echo "$porta"; return 0; }
  done
  return 1
}

case "${1:-}" in
  porta) porta_livre ;;
  configurar) configurar "$2" "$3" ;;
  preparar) preparar "$2" "$3" ;;
  iniciar) iniciar "$2" ;;
  parar) parar "$2" ;;
  *) sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2; exit 2 ;;
esac

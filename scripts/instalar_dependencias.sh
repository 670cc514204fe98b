#!/bin/bash
# Installs, on Debian 12 as root, the packages of the service.
#   (no option)   everything it needs to build, run and be tested. Safe to run again.
#   --execucao    only what the built executable needs to run, on a production
#                 server (no compiler, no test tools).
#   --listar-execucao  prints that runtime list, one package a line.
set -euo pipefail

# What the built executable loads (ldd: the Firebird client, OpenSSL,
# libsystemd, the C++ runtime; libc6 comes with every Debian), the Firebird
# engine the client opens the files with when no server answers (see
# "Where the databases are reached" in the README), and the system's
# certificate authorities the web service is verified against. The ERP's
# Firebird server is the ERP's own: not installed here.
# tests/servico/pacotes_execucao.sh checks this list against ldd of the build.
PACOTES_EXECUCAO=(
  libfbclient2 firebird3.0-server-core
  libssl3 ca-certificates
  libsystemd0
  libstdc++6 libgcc-s1 libc6
)

PACOTES=(
  build-essential cmake pkg-config
  libfbclient2 firebird-dev firebird3.0-server-core firebird3.0-server firebird3.0-utils
  libboost1.81-dev libssl-dev openssl rapidjson-dev libsystemd-dev
  libgtest-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  # glibc's own symbols: the leak checker recognises the dynamic loader's
  # thread-local blocks by the loader's function names, found only here.
  libc6-dbg
  systemd ca-certificates
  # the test of a stop while the system goes down asks a bus of its own
  dbus-daemon
  # the log's tests rotate Log.txt under the running service as operators do
  logrotate
)

case "${1:-}" in
  "") ;;
  --execucao) PACOTES=("${PACOTES_EXECUCAO[@]}") ;;
  --listar-execucao)
    printf '%s\n' "${PACOTES_EXECUCAO[@]}"
    exit 0
    ;;
  *)
    echo "usage: $0 [--execucao | --listar-execucao]" >&2
    exit 2
    ;;
esac

faltando=()
for p in "${PACOTES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || faltando+=("$p")
done
if [ ${#faltando[@]} -eq 0 ]; then
  echo "Dependencies already installed."
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${faltando[*]}. Run this script as root." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y -o DPkg::Lock::Timeout=600 --no-install-recommends "${PACOTES[@]}"

#!/bin/bash
# Installs, on Debian 12 as root, everything the service needs to build, run
# and be tested. Safe to run again.
set -euo pipefail

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

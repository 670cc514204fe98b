#!/bin/bash
# Cross-builds the Windows service, lumiford_financeiro.exe (x86_64, static:
# no DLL to ship but fbclient.dll), with mingw-w64, on Debian 12 as root.
# OpenSSL for Windows is built once from Debian's own source and kept under
# $LUMIFORD_CACHE_WINDOWS, one folder per version; never in the repository.
#
#   BUILD_DIR_WINDOWS   build folder (build-windows)
#   LUMIFORD_TESTS      ON builds the tests that run under Wine too (OFF)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD_DIR_WINDOWS:-build-windows}
CACHE=${LUMIFORD_CACHE_WINDOWS:-/var/cache/lumiford-windows}
TESTES=${LUMIFORD_TESTS:-OFF}
ALVO=x86_64-w64-mingw32

PACOTES=(
  cmake make perl
  g++-mingw-w64-x86-64-posix wine wine64
  libboost1.81-dev rapidjson-dev firebird-dev googletest
)

instalar_pacotes() {
  local faltando=() p
  for p in "${PACOTES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || faltando+=("$p")
  done
  [ ${#faltando[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${faltando[*]}. Run this script as root." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -o DPkg::Lock::Timeout=900
  apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=900 "${faltando[@]}"
}

# The source lists of the machine's own mirrors, kept apart from /etc/apt:
# the machine's configuration is not touched.
APT_FONTES="$CACHE/apt-fontes"
APT_OPCOES=(-o "Dir::Etc::sourcelist=-" -o "Dir::Etc::sourceparts=$APT_FONTES"
            -o "APT::Get::List-Cleanup=0" -o "DPkg::Lock::Timeout=900")

preparar_fontes() {
  mkdir -p "$APT_FONTES"
  local f
  : > "$APT_FONTES/fontes.sources"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed -n '/^Types:.*\bdeb\b/,/^$/p' "$f" | sed 's/^Types:.*/Types: deb-src/' >> "$APT_FONTES/fontes.sources"
    echo >> "$APT_FONTES/fontes.sources"
  done
  : > "$APT_FONTES/fontes.list"
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list > "$APT_FONTES/fontes.list"
  fi
  apt-get "${APT_OPCOES[@]}" update >/dev/null
}

# The upstream tarball of one Debian version of openssl, checked against the
# SHA-256 of the signed source index. apt-get source may fail after fetching
# it (a security version whose .dsc is not served), so the file and its sum
# decide, not the exit code. Prints the tarball's path.
baixar_openssl() {
  local versao=$1 destino=$2 montante=${1%%-*}
  montante=${montante#*:}
  local arquivo="openssl_${montante}.orig.tar.gz"
  local soma
  soma=$(apt-cache "${APT_OPCOES[@]}" showsrc openssl 2>/dev/null |
         awk -v v="$versao" -v f="$arquivo" '
           /^$/ {bloco = 0; s = 0}
           /^Version: / {bloco = ($2 == v)}
           /^Checksums-Sha256:/ {s = 1; next}
           /^[^ ]/ {s = 0}
           bloco && s && $3 == f {print $1; exit}')
  [ -n "$soma" ] || return 1
  mkdir -p "$destino"
  if [ ! -f "$destino/$arquivo" ]; then
    (cd "$destino" && apt-get "${APT_OPCOES[@]}" source --download-only "openssl=$versao" >/dev/null 2>&1) || true
  fi
  [ -f "$destino/$arquivo" ] || return 1
  echo "$soma  $destino/$arquivo" | sha256sum -c --status || { rm -f "$destino/$arquivo"; return 1; }
  echo "$destino/$arquivo"
}

# OpenSSL 3 static libraries for mingw, built once per upstream version.
# Prints the prefix that holds include/ and lib/.
openssl_mingw() {
  local existentes
  existentes=$(ls -d "$CACHE"/openssl-*-mingw64 2>/dev/null | sort -V | tail -1 || true)
  if [ -n "$existentes" ] && [ -f "$existentes/pronto" ] && [ -z "${LUMIFORD_OPENSSL_NOVO:-}" ]; then
    echo "$existentes"
    return
  fi
  preparar_fontes
  local versoes v tarball=""
  # The version of the machine's own libssl first, then the others Debian serves.
  versoes=$( (dpkg-query -W -f='${Version}\n' libssl-dev 2>/dev/null || true;
              apt-cache "${APT_OPCOES[@]}" showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -rV) |
            awk 'NF && !visto[$0]++')
  for v in $versoes; do
    case "$v" in 3.*) ;; *) continue ;; esac
    if tarball=$(baixar_openssl "$v" "$CACHE/fontes"); then break; fi
    tarball=""
  done
  if [ -z "$tarball" ]; then
    echo "OpenSSL 3 source could not be fetched from Debian (versions tried: $versoes)" >&2
    exit 1
  fi
  local montante
  montante=$(basename "$tarball" .orig.tar.gz)
  montante=${montante#openssl_}
  local prefixo="$CACHE/openssl-$montante-mingw64"
  if [ -f "$prefixo/pronto" ]; then
    echo "$prefixo"
    return
  fi
  local trabalho
  trabalho=$(mktemp -d "$CACHE/openssl-build.XXXXXX")
  tar -xzf "$tarball" -C "$trabalho"
  local fonte
  fonte=$(find "$trabalho" -mindepth 1 -maxdepth 1 -type d | head -1)
  echo "Building OpenSSL $montante for $ALVO (once; cached in $prefixo)" >&2
  (
    cd "$fonte"
    CC=gcc-posix CXX=g++-posix ./Configure mingw64 no-shared no-tests no-module no-legacy no-engine no-dso \
      --cross-compile-prefix="$ALVO-" --prefix="$prefixo" --libdir=lib >&2
    nice -n 10 make -j"$(nproc)" build_libs >"$trabalho/make.log" 2>&1 || { tail -40 "$trabalho/make.log" >&2; exit 1; }
    make install_dev >"$trabalho/install.log" 2>&1 || { tail -40 "$trabalho/install.log" >&2; exit 1; }
  )
  rm -rf "$trabalho"
  touch "$prefixo/pronto"
  echo "$prefixo"
}

# Headers of the build machine that hold no Linux code, each through a folder
# of its own: /usr/include itself on the path would let glibc's headers
# shadow mingw's.
cabecalhos() {
  local pasta="$CACHE/cabecalhos/include"
  mkdir -p "$pasta"
  local h
  for h in boost rapidjson firebird; do
    [ -e "$pasta/$h" ] || ln -s "/usr/include/$h" "$pasta/$h"
  done
  # The Firebird headers include these from the top of the path.
  for h in ibase.h iberror.h; do
    [ -e "$pasta/$h" ] || ln -s "/usr/include/$h" "$pasta/$h"
  done
  echo "${pasta%/include}"
}

instalar_pacotes
mkdir -p "$CACHE"
OPENSSL_PREFIXO=$(openssl_mingw)
CABECALHOS=$(cabecalhos)

cmake -S . -B "$BUILD" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/scripts/windows-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-Release}" \
  -DLUMIFORD_WINDOWS_RAIZES="$OPENSSL_PREFIXO;$CABECALHOS" \
  -DOPENSSL_ROOT_DIR="$OPENSSL_PREFIXO" \
  -DLUMIFORD_TESTS="$TESTES" -DLUMIFORD_BENCH=OFF -DLUMIFORD_FUZZ=OFF >/dev/null
nice -n 10 cmake --build "$BUILD" -j"$(nproc)"
echo "Built $BUILD/servico/lumiford_financeiro.exe"

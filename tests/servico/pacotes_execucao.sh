#!/bin/bash
# Checks the runtime package list of scripts/instalar_dependencias.sh against
# what the built executable loads: every library ldd finds must belong to a
# package of the list or to one the list depends on (as installed here), and
# the libraries the executable names itself (NEEDED) to a package of the list.
# A build with the sanitizers also loads their runtimes, which a production
# build does not: those are passed over.
#   pacotes_execucao.sh <executable> [<instalar_dependencias.sh>]
#   pacotes_execucao.sh --falhas <executable>   lists short of a package fail,
#                                               naming it
# LUMIFORD_PACOTES_EXECUCAO, when set, replaces the list.
set -euo pipefail

if [ "${1:-}" = "--falhas" ]; then
  exe=$2
  # list | what the check must say
  casos=(
    "libssl3 libsystemd0 libstdc++6 libgcc-s1 libc6|not covered by the runtime list: libfbclient.so.2 (libfbclient2)"
    # the engine depends on the client, but the executable names the client itself
    "firebird3.0-server-core libssl3 libsystemd0 libstdc++6 libgcc-s1 libc6|needed by the executable itself but not in the runtime list: libfbclient.so.2 (libfbclient2)"
    "libfbclient2 libsystemd0 libstdc++6 libgcc-s1 libc6|not covered by the runtime list: libssl.so.3 (libssl3)"
  )
  falhou=0
  for caso in "${casos[@]}"; do
    lista=${caso%%|*}
    esperado=${caso#*|}
    rc=0
    saida=$(LUMIFORD_PACOTES_EXECUCAO="$lista" bash "$0" "$exe" 2>&1) || rc=$?
    if [ $rc -ne 1 ] || ! grep -qF "$esperado" <<< "$saida"; then
      echo "list ($lista): exit $rc, expected 1 and \"$esperado\":" >&2
      echo "$saida" >&2
      falhou=1
    else
      echo "list ($lista): refused as expected"
    fi
  done
  exit $falhou
fi

exe=$1
script=${2:-"$(dirname "$0")/../../scripts/instalar_dependencias.sh"}
if [ -n "${LUMIFORD_PACOTES_EXECUCAO+x}" ]; then
  read -r -a lista <<< "$LUMIFORD_PACOTES_EXECUCAO"
else
  mapfile -t lista < <(bash "$script" --listar-execucao)
fi
[ ${#lista[@]} -gt 0 ] || { echo "empty runtime list" >&2; exit 1; }

# The libraries ldd finds: name and file (the dynamic loader is named by its
# path alone; the vdso has no file).
nomes=() arquivos=()
while read -r biblioteca seta arquivo _; do
  if [ "$seta" != "=>" ]; then
    [[ $biblioteca == /* ]] || continue
    arquivo=$biblioteca
  fi
  nomes+=("$biblioteca")
  arquivos+=("$arquivo")
done < <(ldd "$exe")

# The package that holds each file, asked of dpkg once (each question reads
# its whole file list). Debian records /lib paths under merged /usr, so both
# spellings are asked.
declare -A dono=()
candidatos=()
for arquivo in "${arquivos[@]}"; do
  [[ $arquivo == /* ]] || continue
  real=$(readlink -f "$arquivo")
  candidatos+=("$arquivo" "$real" "${real#/usr}" "/usr${arquivo#/usr}")
done
while IFS= read -r linha; do
  pacote=${linha%%: *}
  dono[${linha#*: }]=${pacote%%:*}
done < <(dpkg-query -S "${candidatos[@]}" 2>/dev/null || true)
pacote_de() {
  local arquivo=$1 real
  real=$(readlink -f "$arquivo")
  for caminho in "$arquivo" "$real" "${real#/usr}" "/usr${arquivo#/usr}"; do
    if [ -n "${dono[$caminho]+x}" ]; then
      echo "${dono[$caminho]}"
      return 0
    fi
  done
  return 1
}

# The list and, recursively, the packages they depend on, as installed here.
declare -A fecho=()
fila=("${lista[@]}")
while [ ${#fila[@]} -gt 0 ]; do
  p=${fila[0]}
  fila=("${fila[@]:1}")
  [ -n "${fecho[$p]+x}" ] && continue
  dependencias=$(dpkg-query -W -f='${Pre-Depends}, ${Depends}' "$p" 2>/dev/null) || continue
  fecho[$p]=1
  IFS=',|' read -r -a alternativas <<< "$dependencias"
  for d in "${alternativas[@]}"; do
    d=${d%%(*}
    d=${d//[[:space:]]/}
    d=${d%%:*}
    [ -n "$d" ] && fila+=("$d")
  done
done

falhas=0
for i in "${!nomes[@]}"; do
  biblioteca=${nomes[$i]}
  arquivo=${arquivos[$i]}
  if [ "$arquivo" = "not" ]; then
    echo "not found: $biblioteca" >&2
    falhas=1
    continue
  fi
  pacote=$(pacote_de "$arquivo") || { echo "no package holds $arquivo" >&2; falhas=1; continue; }
  if [[ $pacote =~ ^lib(a|ub|l|t|hwa)san[0-9]+$ ]]; then
    echo "passed over (sanitizer runtime): $(basename "$arquivo") ($pacote)"
    continue
  fi
  if [ -z "${fecho[$pacote]+x}" ]; then
    echo "not covered by the runtime list: $(basename "$arquivo") ($pacote)" >&2
    falhas=1
  else
    echo "ok: $(basename "$arquivo") ($pacote)"
  fi
done

for necessaria in $(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  arquivo=""
  for i in "${!nomes[@]}"; do
    [ "${nomes[$i]}" = "$necessaria" ] && arquivo=${arquivos[$i]}
  done
  [[ $arquivo == /* ]] || continue
  pacote=$(pacote_de "$arquivo") || continue
  [[ $pacote =~ ^lib(a|ub|l|t|hwa)san[0-9]+$ ]] && continue
  if ! printf '%s\n' "${lista[@]}" | grep -qx "$pacote"; then
    echo "needed by the executable itself but not in the runtime list: $necessaria ($pacote)" >&2
    falhas=1
  fi
done

if [ $falhas -ne 0 ]; then
  echo "FAILED: runtime list (${lista[*]}) does not cover $exe" >&2
  exit 1
fi
echo "runtime list covers $exe"

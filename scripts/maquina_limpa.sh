#!/bin/bash
# Runs the README's Quick start, exactly as the README writes it, on a
# pristine Debian 12 (minbase) root made for this run, from a clean clone of
# one commit: what a newcomer's fresh machine does. Fails when either command
# fails. Run as root, by hand before a release or from CI:
#
#   bash scripts/maquina_limpa.sh [COMMIT]        (default: HEAD)
#
# The debootstrap result is kept as a tarball under /var/cache (never the
# project's build); MAQUINA_LIMPA_RENOVAR=1 makes it again. The root, its
# mounts and every process left in it are removed on every way out.
set -euo pipefail

REPOSITORIO=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
COMMIT=$(git -C "$REPOSITORIO" rev-parse --verify "${1:-HEAD}^{commit}")
CACHE=${MAQUINA_LIMPA_CACHE:-/var/cache/lumiford/maquina-limpa}
SUITE=bookworm
LIMITE_COMANDO=${MAQUINA_LIMPA_LIMITE:-3000}   # seconds per Quick start command

[ "$(id -u)" -eq 0 ] || { echo "maquina_limpa: run as root (debootstrap, chroot and mounts)." >&2; exit 2; }

agora() { date +%s; }
etapa() { printf '\n== %s\n' "$*"; }
duracao() { local s=$(( $(agora) - $1 )); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
RESUMO=()

# The mirror this machine's apt already uses for the suite itself (not its
# security or updates suites), from the deb822 sources or sources.list.
espelho() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$SUITE" '
      /^[[:space:]]*$/ { if (u != "" && ok) { print u; exit } u = ""; ok = 0; next }
      tolower($1) == "uris:" { u = $2 }
      tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
      END { if (u != "" && ok) print u }' "$f" | head -n 1
  done | head -n 1
  local lista
  for lista in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$lista" ] || continue
    sed -e 's/\[[^]]*\]//' "$lista" | awk -v suite="$SUITE" '$1 == "deb" && $3 == suite { print $2 }'
  done | head -n 1
}

# Every mount below a folder, deepest first.
desmontar_abaixo() {
  awk -v r="$1" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r |
    while read -r m; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
}

# ---- the base root, cached
inicio=$(agora)
MIRROR=$(espelho | head -n 1)
[ -n "$MIRROR" ] || { echo "maquina_limpa: no Debian mirror for $SUITE in the apt sources" >&2; exit 2; }
mkdir -p "$CACHE"
BASE="$CACHE/$SUITE-minbase-$(printf '%s' "$MIRROR" | sha1sum | cut -c1-12).tar.gz"
etapa "pristine $SUITE root from $MIRROR"
exec 9>"$CACHE/.trava"
flock 9
if [ ! -s "$BASE" ] || [ "${MAQUINA_LIMPA_RENOVAR:-0}" = 1 ]; then
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  fi
  novo=$(mktemp -d /var/tmp/maquina-limpa-base.XXXXXX)
  # Interrupted here, nothing is mounted yet: the half-made base goes.
  trap '[ -z "${DEBOOTSTRAP:-}" ] || kill -TERM "$DEBOOTSTRAP" 2>/dev/null; wait; desmontar_abaixo "$novo"; rm -rf --one-file-system "$novo" "$BASE.novo"' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  # In the background so that a signal is handled at once, not when it ends.
  debootstrap --variant=minbase "$SUITE" "$novo" "$MIRROR" > "$CACHE/debootstrap.log" 2>&1 &
  DEBOOTSTRAP=$!
  if ! wait "$DEBOOTSTRAP"; then
    tail -20 "$CACHE/debootstrap.log" >&2
    rm -rf --one-file-system "$novo"
    echo "maquina_limpa: debootstrap failed (log in $CACHE/debootstrap.log)" >&2
    exit 2
  fi
  tar -C "$novo" -czf "$BASE.novo" .
  mv "$BASE.novo" "$BASE"
  rm -rf --one-file-system "$novo"
  DEBOOTSTRAP=
  trap - EXIT
  echo "base made and cached: $BASE"
else
  echo "cached base: $BASE"
fi
flock -u 9

RAIZ=$(mktemp -d /var/tmp/maquina-limpa.XXXXXX)

# Processes still running inside the root (a server a test left behind) keep
# its mounts busy: they are ended first.
processos_na_raiz() {
  local p alvo
  for p in /proc/[0-9]*; do
    alvo=$(readlink "$p/root" 2>/dev/null) || continue
    [ "$alvo" = "$RAIZ" ] && echo "${p#/proc/}"
  done
  true
}
limpar() {
  local s=$? pids m
  trap - EXIT INT TERM HUP
  pids=$(processos_na_raiz)
  if [ -n "$pids" ]; then
    kill -TERM $pids 2>/dev/null || true
    sleep 2
    pids=$(processos_na_raiz)
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null || true
    sleep 1
  fi
  desmontar_abaixo "$RAIZ"
  if awk -v r="$RAIZ" '$5 == r || index($5, r "/") == 1 { f = 1 } END { exit !f }' /proc/self/mountinfo; then
    echo "maquina_limpa: mounts left under $RAIZ; not removed" >&2
  else
    rm -rf --one-file-system "$RAIZ"
  fi
  exit "$s"
}
trap limpar EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

tar -C "$RAIZ" -xzf "$BASE"
# What a freshly installed machine has and a debootstrap root lacks.
cp /etc/resolv.conf "$RAIZ/etc/resolv.conf"
if [ ! -e "$RAIZ/etc/hosts" ]; then
  printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\nff02::1\t\tip6-allnodes\nff02::2\t\tip6-allrouters\n' > "$RAIZ/etc/hosts"
fi
mount -t proc proc "$RAIZ/proc"
mount -t sysfs sysfs "$RAIZ/sys"
mount --bind /dev "$RAIZ/dev"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$RAIZ/dev/pts"
mount -t tmpfs -o mode=1777 shm "$RAIZ/dev/shm"
RESUMO+=("root ready: $(duracao "$inicio")")

# ---- a clean clone of the commit
inicio=$(agora)
etapa "clean clone of $COMMIT"
git clone -q --no-local "$REPOSITORIO" "$RAIZ/root/projeto"
git -C "$RAIZ/root/projeto" checkout -q --detach "$COMMIT"
RESUMO+=("clone: $(duracao "$inicio")")

# ---- the Quick start's commands: the lines of the first code block under its heading
mapfile -t COMANDOS < <(git -C "$RAIZ/root/projeto" show HEAD:README.md | awk '
  /^#+[[:space:]]/ { if (dentro) exit; if (tolower($0) ~ /quick start/) dentro = 1; next }
  dentro && /^```/ { if (bloco) exit; bloco = 1; next }
  dentro && bloco && NF { print }')
if [ ${#COMANDOS[@]} -ne 2 ]; then
  echo "maquina_limpa: the README's Quick start has ${#COMANDOS[@]} commands in its code block; two expected" >&2
  exit 1
fi

falhou=0
executar() {  # $1 label, $2 command
  local inicio r
  inicio=$(agora)
  etapa "$1: $2"
  # In the background, so that an interrupt is handled at once and not
  # after the command.
  chroot "$RAIZ" /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    timeout --kill-after=30 "$LIMITE_COMANDO" bash -c "cd /root/projeto && $2" < /dev/null &
  r=0
  wait $! || r=$?
  RESUMO+=("$1 ($2): exit $r, $(duracao "$inicio")")
  [ "$r" -eq 0 ] || falhou=1
}
executar "main job" "${COMANDOS[0]}"
executar "tests" "${COMANDOS[1]}"

etapa "summary"
printf '  %s\n' "${RESUMO[@]}"
exit "$falhou"

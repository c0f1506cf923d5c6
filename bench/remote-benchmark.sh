#!/usr/bin/env bash
# A share on another machine against sshfs, both over the same ssh to an sshd
# this script starts on a free port of this machine (throwaway keys), once
# over the plain link and once through a relay that holds every byte 10 ms
# each way (a 20 ms round trip, as to a machine across town). Rows:
#   cold find     find -printf over 10,000 entries, first pass of a fresh mount
#   find again    the same pass once more
#   git status    first and second, in a repository of 1,000 files
#   ls -l         of a folder of 5,000 entries
#   cp -r         of 2,000 small files into the mount: until cp returns, and until
#                 all of them are held on the far side
#   first read    of a 256 MiB file, in MB/s
#   far change    a file made on the far side: until the mount lists it
# Usage: bench/remote-benchmark.sh BINDIR   (corvane-fp, corvane-vfs-host, corvane_delay_relay)
# CORVANE_BENCH_BIG_MIB makes the big file smaller for a quick try.
set -euo pipefail
bin="$(cd "${1:?usage: remote-benchmark.sh BINDIR}" && pwd)"
big_mib=${CORVANE_BENCH_BIG_MIB:-256}
source "$(dirname "$0")/mount-bench-lib.sh"
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
holds() { awk "BEGIN { exit !($1) }"; }

if [ ! -e /dev/fuse ] || ! command -v sshfs >/dev/null || [ ! -x /usr/sbin/sshd ]; then
  echo "remote benchmark skipped: /dev/fuse, sshfs or sshd is missing"
  exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/corvane-remote-bench.XXXXXX")"
mounted=()
pids=()
trap cleanup_run EXIT

# The far side's files: a tree, a repository, a wide folder, a big file.
far="$work/far"
mkdir -p "$far/tree" "$far/wide" "$far/repo" "$far/in" "$work/small"
for ((d = 0; d < 100; d++)); do
  mkdir -p "$far/tree/d$d"
  for ((f = 0; f < 99; f++)); do printf '%s\n' "$d/$f" >"$far/tree/d$d/f$f.txt"; done
done
seq -f "$far/wide/f%04g" 0 4999 | xargs touch
for ((d = 0; d < 20; d++)); do
  mkdir -p "$far/repo/src$d"
  for ((f = 0; f < 50; f++)); do printf 'line %s\n' "$d.$f" >"$far/repo/src$d/m$f.c"; done
done
git -C "$far/repo" init -q && git -C "$far/repo" add -A && git -C "$far/repo" -c user.name=b -c user.email=b@b commit -qm init
head -c "${big_mib}M" /dev/urandom >"$far/big.bin"
seq -f "$work/small/f%04g.txt" 0 1999 | xargs -n 500 sh -c 'for f; do printf "%s\n" "$f" > "$f"; done' _

# sshd on a free port, keys of its own, a known_hosts of our own.
keys="$work/ssh"
mkdir -p "$keys"
ssh-keygen -q -t ed25519 -N "" -f "$keys/host"
ssh-keygen -q -t ed25519 -N "" -f "$keys/id"
cp "$keys/id.pub" "$keys/authorized_keys"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null ||
  echo $((20000 + RANDOM % 20000)))
cat >"$keys/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $keys/host
AuthorizedKeysFile $keys/authorized_keys
PidFile $keys/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
Subsystem sftp internal-sftp
CONF
[ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
/usr/sbin/sshd -D -e -f "$keys/sshd_config" 2>"$work/sshd.log" &
pids+=($!)
echo "[127.0.0.1]:$port $(cat "$keys/host.pub")" >"$keys/known_hosts"
ssh_base="ssh -F /dev/null -o UserKnownHostsFile=$keys/known_hosts -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes -i $keys/id"
for _ in $(seq 1 100); do $ssh_base -o BatchMode=yes -p "$port" 127.0.0.1 true 2>/dev/null && break; sleep 0.1; done

declare -A figure
measure() {  # measure NAME LINK MOUNTPOINT
  local name=$1 link=$2 mnt=$3 t0 t1
  t0=$(now); find "$mnt/tree" -printf '%p %s %T@\n' >/dev/null; t1=$(now)
  figure[$name.$link.cold]=$(calc "$t1 - $t0")
  t0=$(now); find "$mnt/tree" -printf '%p %s %T@\n' >/dev/null; t1=$(now)
  figure[$name.$link.warm]=$(calc "$t1 - $t0")
  t0=$(now); git -C "$mnt/repo" status --porcelain >/dev/null; t1=$(now)
  figure[$name.$link.git1]=$(calc "$t1 - $t0")
  t0=$(now); git -C "$mnt/repo" status --porcelain >/dev/null; t1=$(now)
  figure[$name.$link.git2]=$(calc "$t1 - $t0")
  t0=$(now); ls -l "$mnt/wide" >/dev/null; t1=$(now)
  figure[$name.$link.ls]=$(calc "$t1 - $t0")
  local target="in/$name-$link"
  t0=$(now); cp -r "$work/small" "$mnt/$target"; t1=$(now)
  figure[$name.$link.cp]=$(calc "$t1 - $t0")
  until [ "$(find "$far/$target" -name 'f*.txt' -size +0 2>/dev/null | wc -l)" -ge 2000 ]; do sleep 0.05; done
  figure[$name.$link.held]=$(calc "$(now) - $t0")
  t0=$(now); cat "$mnt/big.bin" >/dev/null; t1=$(now)
  figure[$name.$link.read]=$(calc "$big_mib * 1.048576 / ($t1 - $t0)")
  ls "$mnt/in" >/dev/null
  t0=$(now); echo far >"$far/in/far-$name-$link.txt"
  until [ -e "$mnt/in/far-$name-$link.txt" ] || holds "$(now) - $t0 > 120"; do
    ls "$mnt/in" >/dev/null 2>&1; sleep 0.05
  done
  figure[$name.$link.visible]=$(calc "$(now) - $t0")
}

# One command per link, as sshfs splits its ssh_command on spaces.
printf '#!/bin/sh\nexec %s "$@"\n' "$ssh_base" >"$work/ssh-plain"
printf '#!/bin/sh\nexec %s -o ProxyCommand="%s 10 127.0.0.1 %s" "$@"\n' "$ssh_base" "$bin/corvane_delay_relay" "$port" \
  >"$work/ssh-relay"
chmod +x "$work/ssh-plain" "$work/ssh-relay"

for link in plain relay; do
  ssh_cmd="$work/ssh-$link"

  mkdir -p "$work/sshfs-$link"
  sshfs -o ssh_command="$ssh_cmd" -p "$port" "127.0.0.1:$far" "$work/sshfs-$link"
  mounted+=("$work/sshfs-$link")
  await_mount "$work/sshfs-$link"
  measure sshfs "$link" "$work/sshfs-$link"
  fusermount3 -u "$work/sshfs-$link"

  # A fresh mount with empty caches and state of its own.
  mnt="$work/corvane-$link"
  mkdir -p "$mnt"
  XDG_CACHE_HOME="$work/cache-$link" XDG_STATE_HOME="$work/state-$link" XDG_DATA_HOME="$work/data-$link" \
    "$bin/corvane-fp" mount --foreground --domain "bench-$link" --ssh-command "$ssh_cmd" \
    --remote-program "env XDG_CACHE_HOME=$work/far-cache XDG_STATE_HOME=$work/far-state $bin/corvane-vfs-host" \
    "ssh://127.0.0.1:$port/$far" "$mnt" 2>"$work/corvane-$link.log" &
  pids+=($!)
  mounted+=("$mnt")
  await_mount "$mnt"
  measure corvane "$link" "$mnt"
  fusermount3 -u "$mnt"
done

row() { printf 'row\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@"; }
ratio() { awk "BEGIN { printf \"%.3f\", $1 / $2 }"; }
for link in plain relay; do
  what="over plain ssh"
  [ "$link" = plain ] || what="over a 20 ms round trip"
  for key in cold warm git1 git2 ls cp held visible; do
    case $key in
      cold) label="cold find, 10,000 entries"; target_plain="<= 1.0"; target_relay="<= 0.5" ;;
      warm) label="the same find again"; target_plain="<= 1.0"; target_relay="-" ;;
      git1) label="git status, first"; target_plain="<= 1.0"; target_relay="<= 0.2" ;;
      git2) label="git status, second"; target_plain="<= 1.0"; target_relay="<= 0.1" ;;
      ls) label="ls -l of 5,000 entries"; target_plain="<= 1.0"; target_relay="-" ;;
      cp) label="cp -r of 2,000 small files, until it returns"; target_plain="<= 1.0"; target_relay="<= 0.05" ;;
      held) label="cp -r of 2,000 small files, until held there"; target_plain="<= 1.0"; target_relay="<= 0.25" ;;
      visible) label="a far-side new file visible"; target_plain="<= 1.0"; target_relay="<= 3 s" ;;
    esac
    target=$target_plain
    [ "$link" = plain ] || target=$target_relay
    value=${figure[corvane.$link.$key]}
    base=${figure[sshfs.$link.$key]}
    r=$(ratio "$value" "$base")
    if [ "$key" = visible ] && [ "$link" = relay ]; then
      met=$(holds "$value <= 3" && echo yes || echo no)
    elif [ "$target" = "-" ]; then
      met="-"
    else
      met=$(holds "$r ${target%% *} ${target##* }" && echo yes || echo no)
    fi
    row "share elsewhere $what: $label" "$(printf %.3f "$value") s" "$(printf %.3f "$base") s sshfs" "$r" "$target" "$met"
  done
  value=${figure[corvane.$link.read]}
  base=${figure[sshfs.$link.read]}
  r=$(ratio "$value" "$base")
  target=">= 1.0"
  [ "$link" = plain ] || target=">= 3.0"
  met=$(holds "$r >= ${target##* }" && echo yes || echo no)
  row "share elsewhere $what: first read of $big_mib MiB" "$(printf %.0f "$value") MB/s" \
    "$(printf %.0f "$base") MB/s sshfs" "$r" "$target" "$met"
done

#!/usr/bin/env bash
# The mount against the share folder read directly, and against bindfs and sshfs
# where they are installed, all in one run over one generated tree:
#   walk   find -printf '%p %s %T@' over 100,000 files in 10,000 folders
#          (cold: the first pass of a fresh mount; warm: the second pass)
#   read   cat of a 256 MiB file (first read, which fetches; second read, best of three)
#   cp in  cp of that file into the mount, beside cp into a local folder
#   memory the mount's resident bytes per entry, from before the cold walk to after
#   busy   a first walk of 10,000 entries while cp -r of 2,000 files into the mount
#          runs, against a first walk of as many idle (on a mount of its own)
#   churn  the mount's resident bytes kept per file made and deleted (4 x 5,000
#          empty files in one folder, on a mount of an empty share of its own)
# Usage: bench/mount-benchmark.sh BINDIR   (BINDIR holds corvane-fp and corvane-vfs-host)
# The tree is kept in $CORVANE_BENCH_DIR (default build-bench/mount-bench) for the next run;
# CORVANE_BENCH_FOLDERS and CORVANE_BENCH_BIG_MIB make a smaller one for a quick try;
# CORVANE_BENCH_KEEP=1 keeps the run's folder (the mounts' logs and state) for a look.
set -euo pipefail
bin="$(cd "${1:?usage: mount-benchmark.sh BINDIR}" && pwd)"
root="$(mkdir -p "${CORVANE_BENCH_DIR:-build-bench/mount-bench}" && cd "${CORVANE_BENCH_DIR:-build-bench/mount-bench}" && pwd)"
share="$root/share"
folders=${CORVANE_BENCH_FOLDERS:-10000}  # a multiple of 100
files_per_folder=10
big_mib=${CORVANE_BENCH_BIG_MIB:-256}

if [ ! -e /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "mount benchmark skipped: /dev/fuse or fusermount3 is missing"
  exit 0
fi

if [ ! -f "$root/tree-ready" ]; then
  echo "generating $((folders * files_per_folder)) files in $folders folders and a $big_mib MiB file in $share"
  rm -rf "$share"
  mkdir -p "$share"
  seq -f "$share/d%03g" 0 99 | xargs mkdir
  for ((top = 0; top < 100; top++)); do
    seq -f "$share/d$(printf %03d $top)/s%02g" 0 $((folders / 100 - 1))
  done | xargs mkdir
  # Ten small files per leaf folder, each holding its own name.
  find "$share" -mindepth 2 -type d | awk -v n=$files_per_folder '{for (i = 0; i < n; i++) print $0 "/f" i ".txt"}' |
    xargs -n 2000 sh -c 'for f; do printf "%s\n" "$f" > "$f"; done' _
  head -c "${big_mib}M" /dev/urandom > "$share/big.bin"
  touch "$root/tree-ready"
fi
# 2,000 small files for the walk beside a copy.
if [ ! -f "$root/small-ready" ]; then
  mkdir -p "$root/small"
  seq -f "$root/small/f%04g.txt" 0 1999 | xargs -n 500 sh -c 'for f; do printf "%s\n" "$f" > "$f"; done' _
  touch "$root/small-ready"
fi

work="$(mktemp -d "$root/run.XXXXXX")"
mounted=()
pids=()
trap cleanup_run EXIT

# shellcheck source=bench/mount-bench-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/mount-bench-lib.sh"
# Seconds that "$@" takes, its output discarded.
timed() {
  local start end
  start=$(now)
  "$@" >/dev/null
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}
# The fastest of three runs, for figures short enough that one scheduling hiccup would swamp them.
best3() {
  local best="" t
  for _ in 1 2 3; do
    t=$(timed "$@")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}
walk() { find "$@" -printf '%p %s %T@\n'; }

# A first read should come from the disk, as it would for a file not read lately.
drop_caches() { sync; echo 1 2>/dev/null >/proc/sys/vm/drop_caches || true; }

declare -A figure
# A corvane-fp mount of the share at MOUNTPOINT, with caches and state of its
# own (under $work/DOMAIN), so that its first pass is cold; its pid last in pids.
start_corvane() {  # start_corvane DOMAIN MOUNTPOINT
  local xdg="$work/$1"
  mkdir -p "$2" "$xdg/cache" "$xdg/state" "$xdg/data" "$xdg/run"
  chmod 700 "$xdg/run"
  XDG_CACHE_HOME="$xdg/cache" XDG_STATE_HOME="$xdg/state" XDG_DATA_HOME="$xdg/data" XDG_RUNTIME_DIR="$xdg/run" \
    "$bin/corvane-fp" mount --domain "$1" --share "$share" --foreground "$2" 2>"$xdg.log" &
  pids+=($!)
  mounted+=("$2")
  await_mount "$2" || { cat "$xdg.log" >&2; exit 1; }
}
# Resident bytes of process PID.
resident() { awk '/^VmRSS:/ { print $2 * 1024 }' "/proc/$1/status"; }
# A first walk of about 10,000 entries (nine of the hundred top folders) on a
# mount of its own, idle, against a first walk of nine others while cp -r of
# 2,000 small files into the mount runs. Both are first walks, so each lookup
# and listing reaches the mount (a second would be answered by the kernel):
# one that waits behind the copy's uploads and their flushes shows here.
busy_walk() {
  local at="$work/busy" a=() b=() copy top
  start_corvane benchbusy "$at"
  walk "$at/d099" >/dev/null  # after the mount's first listing of the share
  for ((top = 0; top < 9; top++)); do a+=("$at/d$(printf %03d $top)"); b+=("$at/d$(printf %03d $((top + 10)))"); done
  figure[corvane.idlewalk]=$(timed walk "${a[@]}")
  cp -r "$root/small" "$at/copied-small" &
  copy=$!
  figure[corvane.busywalk]=$(timed walk "${b[@]}")
  wait "$copy"
  local entries
  entries=$(walk "${a[@]}" | wc -l)
  # Out of the way of the mounts measured next, and the share left as it was.
  fusermount3 -u "$at"
  wait "${pids[-1]}" || true
  rm -rf "$share/copied-small"
  echo "corvane: first walk of $entries entries ${figure[corvane.idlewalk]} s idle," \
    "of as many ${figure[corvane.busywalk]} s while cp -r of 2,000 files runs"
}
# Files made and deleted leave nothing behind but what the allocator keeps.
churn() {
  local at="$work/churn" before after
  mkdir -p "$work/churn-share"
  share="$work/churn-share" start_corvane benchchurn "$at"
  mkdir "$at/t"
  before=$(resident "${pids[-1]}")
  for _ in 1 2 3 4; do
    (cd "$at/t" && seq -f "f%05g" 1 5000 | xargs touch && sync && ls | xargs rm -f)
  done
  sleep 1  # the kernel's forgets of the last ones
  after=$(resident "${pids[-1]}")
  fusermount3 -u "$at"
  wait "${pids[-1]}" || true
  figure[corvane.churn]=$(( (after - before) / 20000 ))
  echo "corvane: resident $((before / 1024)) KiB before 20,000 files were made and deleted, $((after / 1024)) KiB after:" \
    "${figure[corvane.churn]} bytes per file"
}
measure() {  # measure NAME MOUNTPOINT
  local name=$1 at=$2
  sync  # what the mount measured before still writes back: not on this one's time
  figure[$name.cold]=$(timed walk "$at")
  figure[$name.warm]=$(timed walk "$at")
  drop_caches
  figure[$name.read1]=$(timed cat "$at/big.bin")
  figure[$name.read2]=$(best3 cat "$at/big.bin")
  sync
  figure[$name.cpin]=$(timed cp "$root/local-big.bin" "$at/copied-in.bin")
  rm -f "$at/copied-in.bin"
  echo "$name: walk cold ${figure[$name.cold]} s, warm ${figure[$name.warm]} s; read first ${figure[$name.read1]} s," \
    "second ${figure[$name.read2]} s; cp in ${figure[$name.cpin]} s"
}

cp "$share/big.bin" "$root/local-big.bin"
drop_caches
figure[native.read1]=$(timed cat "$share/big.bin")
walk "$share" >/dev/null  # the native figures are taken warm
figure[native.warm]=$(timed walk "$share")
figure[native.read]=$(best3 cat "$share/big.bin")
mkdir -p "$work/local"
sync
figure[native.cpin]=$(timed cp "$root/local-big.bin" "$work/local/big.bin")
echo "native: walk warm ${figure[native.warm]} s; read ${figure[native.read]} s, from disk ${figure[native.read1]} s;" \
  "cp to a local folder ${figure[native.cpin]} s"

# corvane-fp mount, with caches of its own so that the first pass is cold.
start_corvane bench "$work/corvane"
rss_before=$(resident "${pids[-1]}")
measure corvane "$work/corvane"
entries=$(walk "$work/corvane" | wc -l)
rss_after=$(resident "${pids[-1]}")
figure[corvane.perentry]=$(( (rss_after - rss_before) / entries ))
echo "corvane: resident $((rss_before / 1048576)) MiB before the walk, $((rss_after / 1048576)) MiB after it:" \
  "${figure[corvane.perentry]} bytes per entry over $entries entries"

busy_walk
churn

peers=()
if command -v bindfs >/dev/null; then
  mkdir -p "$work/bindfs"
  bindfs "$share" "$work/bindfs"
  mounted+=("$work/bindfs")
  await_mount "$work/bindfs" && measure bindfs "$work/bindfs" && peers+=(bindfs)
fi
sftp_server=$(command -v sftp-server || ls /usr/lib/openssh/sftp-server 2>/dev/null || true)
if command -v sshfs >/dev/null && [ -n "$sftp_server" ]; then
  # sshfs speaks SFTP over its standard input and output to a local sftp-server: no network.
  mkdir -p "$work/sshfs"
  mkfifo "$work/sftp.fifo"
  "$sftp_server" <"$work/sftp.fifo" | sshfs -f -o passive ":$share" "$work/sshfs" >"$work/sftp.fifo" &
  pids+=($!)
  mounted+=("$work/sshfs")
  await_mount "$work/sshfs" && measure sshfs "$work/sshfs" && peers+=(sshfs)
fi

gbps() { awk -v t="$1" -v m=$big_mib 'BEGIN { printf "%.2f", m * 1048576 / t / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
atmost() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "yes" : "NO" }'; }
row() { printf 'row\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@"; }

# The fastest peer for each figure sets the bar for the first read and cp in.
fastest() {
  local key=$1 best=""
  for p in "${peers[@]}"; do
    local t=${figure[$p.$key]}
    if [ -z "$best" ] || awk -v a="$t" -v b="${figure[$best.$key]}" 'BEGIN { exit !(a < b) }'; then best=$p; fi
  done
  echo "$best"
}

for name in corvane "${peers[@]}"; do
  label="$name mount"
  [ "$name" = corvane ] && label="corvane-fp mount"
  r=$(ratio "${figure[$name.warm]}" "${figure[native.warm]}")
  target="-"; met="-"
  [ "$name" = corvane ] && { target="ratio <= 3"; met=$(atmost "$r" 3); }
  row "$label: warm walk" "${figure[$name.warm]} s" "${figure[native.warm]} s native" "$r" "$target" "$met"
  r=$(ratio "${figure[$name.cold]}" "${figure[native.warm]}")
  target="-"; met="-"
  [ "$name" = corvane ] && { target="ratio <= 8"; met=$(atmost "$r" 8); }
  row "$label: cold walk" "${figure[$name.cold]} s" "${figure[native.warm]} s native warm" "$r" "$target" "$met"
  r=$(ratio "${figure[native.read]}" "${figure[$name.read2]}")
  target="-"; met="-"
  [ "$name" = corvane ] && { target="ratio >= 0.80"; met=$(atmost 0.80 "$r"); }
  row "$label: second read" "$(gbps "${figure[$name.read2]}") GB/s" "$(gbps "${figure[native.read]}") GB/s native" \
    "$r" "$target" "$met"
  for key in read1 cpin; do
    what="first read"; [ $key = cpin ] && what="cp in"
    if [ "$name" = corvane ]; then
      best=$(fastest $key)
      if [ -n "$best" ]; then
        r=$(ratio "${figure[$best.$key]}" "${figure[corvane.$key]}")
        row "$label: $what" "$(gbps "${figure[corvane.$key]}") GB/s" \
          "$(gbps "${figure[$best.$key]}") GB/s $best" "$r" "ratio >= 3" "$(atmost 3 "$r")"
      else
        base=${figure[native.read]}; [ $key = cpin ] && base=${figure[native.cpin]}
        row "$label: $what" "$(gbps "${figure[corvane.$key]}") GB/s" "$(gbps "$base") GB/s native" \
          "$(ratio "$base" "${figure[corvane.$key]}")" "no peer measured" "-"
      fi
    else
      base=${figure[native.read]}; [ $key = cpin ] && base=${figure[native.cpin]}
      row "$label: $what" "$(gbps "${figure[$name.$key]}") GB/s" "$(gbps "$base") GB/s native" \
        "$(ratio "$base" "${figure[$name.$key]}")" "-" "-"
    fi
  done
done
row "corvane-fp mount: bytes per entry after the walk" "${figure[corvane.perentry]} B" "-" "-" "<= 400" \
  "$(atmost "${figure[corvane.perentry]}" 400)"
row "corvane-fp mount: bytes kept per file made and deleted" "${figure[corvane.churn]} B" "-" "-" "-" "-"
r=$(ratio "${figure[corvane.busywalk]}" "${figure[corvane.idlewalk]}")
row "corvane-fp mount: walk during cp -r" "${figure[corvane.busywalk]} s" "${figure[corvane.idlewalk]} s idle" "$r" \
  "ratio <= 1.5" "$(atmost "$r" 1.5)"
# What no mount can beat: the file read from disk, and a copy into a local folder.
row "native: first read (from disk)" "$(gbps "${figure[native.read1]}") GB/s" "-" "-" "-" "-"
row "native: cp to a local folder" "$(gbps "${figure[native.cpin]}") GB/s" "-" "-" "-" "-"

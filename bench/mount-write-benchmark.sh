#!/usr/bin/env bash
# Writes through the mount, against cp into a local folder on the share's own file
# system and into bindfs and sshfs mounts of a folder where they are installed:
#   big    cp of one 256 MiB file
#   small  cp -r of a folder of 2,000 files of a few hundred bytes to a few KiB
#   tar    tar -x of this project's own sources (a few hundred files in folders)
#   rsync  rsync -a of the 2,000 small files (a temporary name, close, rename, times)
#   clone  git clone of this project's repository (its history packed and unpacked)
# Each is timed twice: until cp returns (the last close), and until the folder behind
# the mount (for corvane-fp the --share folder) holds the whole copy. The mount may
# hand data to the host at close or later in the background; the second figure is the
# one a user waiting for the host to see the file lives with, whichever it does.
# Ratios are time over the baseline's time (lower is better).
# Usage: bench/mount-write-benchmark.sh BINDIR   (BINDIR holds corvane-fp and corvane-vfs-host)
# Everything lives in a fresh folder under $CORVANE_BENCH_DIR (default
# build-bench/mount-bench) that is removed on exit; CORVANE_BENCH_BIG_MIB and
# CORVANE_BENCH_SMALL_FILES make a smaller run for a quick try.
set -euo pipefail
bin="$(cd "${1:?usage: mount-write-benchmark.sh BINDIR}" && pwd)"
root="$(mkdir -p "${CORVANE_BENCH_DIR:-build-bench/mount-bench}" && cd "${CORVANE_BENCH_DIR:-build-bench/mount-bench}" && pwd)"
big_mib=${CORVANE_BENCH_BIG_MIB:-256}
small_files=${CORVANE_BENCH_SMALL_FILES:-2000}
# A last resort only: a copy that has not reached the folder by then is reported, not waited for.
land_timeout=${CORVANE_BENCH_LAND_TIMEOUT:-300}

if [ ! -e /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "mount write benchmark skipped: /dev/fuse or fusermount3 is missing"
  exit 0
fi

work="$(mktemp -d "$root/write.XXXXXX")"
# Each contender's folders start in block groups of their own ("T" asks ext4 to
# spread the folders made directly in here; elsewhere it is refused and nothing
# changes), and nothing is deleted until the end. On ext4 without a journal, a
# file made in a group scans past every inode freed there lately (in the last
# 5 s, or 5 min while that inode's block is unwritten): when each contender's
# files were deleted before the next one ran, the next one paid for them in
# every create, and sshfs, last in line, took more than twice its time.
chattr +T "$work" 2>/dev/null || true
mounted=()
pids=()
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  local rc=$?
  for m in "${mounted[@]}"; do fusermount3 -u "$m" 2>/dev/null || fusermount3 -uz "$m" 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$rc" -ne 0 ] && [ -s "$work/corvane.log" ]; then
    echo "last lines of the corvane-fp mount's log:" >&2
    tail -n 20 "$work/corvane.log" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/mount-bench-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/mount-bench-lib.sh"
elapsed() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f", e - s }'; }
unmount() {  # unmount MOUNTPOINT [PID]
  fusermount3 -u "$1" 2>/dev/null || fusermount3 -uz "$1" 2>/dev/null || true
  if [ -n "${2:-}" ]; then wait "$2" 2>/dev/null || true; fi
}

# The sources, written once and read from the page cache by every copy alike.
src="$work/src"
mkdir -p "$src/small"
head -c "${big_mib}M" /dev/urandom >"$src/big.bin"
# Sizes from 200 bytes to about 4 KiB, spread evenly; each file starts with its own name.
awk -v n="$small_files" -v dir="$src/small" 'BEGIN {
  pad = ""
  for (i = 0; i < 64; i++) pad = pad "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"
  for (i = 0; i < n; i++) {
    size = 200 + (i * 7919) % 3900
    f = sprintf("%s/f%05d.txt", dir, i)
    printf "%s\n", substr(f "\n" pad, 1, size - 1) > f
    close(f)
  }
}'
# This project's own sources as a tarball, and its repository to clone; each
# extracted or cloned once into a local reference the copies are compared with.
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
git -C "$repo" archive --format=tar HEAD >"$src/tree.tar"
mkdir -p "$src/tree" && tar -xf "$src/tree.tar" -C "$src/tree"
git clone -q --no-local "$repo" "$src/clone"
tree_files=$(find "$src/tree" -type f | wc -l)
big_bytes=$(stat -c %s "$src/big.bin")

# Runs CHECK ARGS... until it holds, and prints the time the passing check began;
# 1 once DEADLINE has passed. The check confirms the content too, and every
# target pays for it alike.
# shellcheck disable=SC2317  # called through copy_and_wait
poll_until() {  # poll_until DEADLINE CHECK ARGS...
  local deadline=$1 at
  shift
  while :; do
    at=$(now)
    if "$@"; then
      echo "$at"
      return 0
    fi
    awk -v a="$(now)" -v d="$deadline" 'BEGIN { exit !(a > d) }' && return 1
    sleep 0.02
  done
}
# Whether PATH is the whole big file: its size first, then its bytes.
is_big() { [ "$(stat -c %s "$1" 2>/dev/null || echo -1)" = "$big_bytes" ] && cmp -s "$src/big.bin" "$1"; }
# How many files a folder holds, a .git inside left out: names only, no stat of
# each, so that a copy still landing in the background is not slowed by the
# checks that wait for it.
count() { find "$1" -path "$1/.git" -prune -o -type f -print 2>/dev/null | wc -l; }
# The count and total size of a folder's files, a .git inside left out.
signature() { (cd "$1" && find . -path ./.git -prune -o -type f -printf '%s\n' 2>/dev/null) | awk '{ n++; t += $1 } END { print n + 0, t + 0 }'; }
# Whether FOLDER holds what REFERENCE does (its work tree: a .git is not compared).
is_like() {
  [ -d "$2" ] && [ "$(count "$2")" = "$(count "$1")" ] && [ "$(signature "$2")" = "$(signature "$1")" ] &&
    diff -rq --exclude=.git "$1" "$2" >/dev/null 2>&1
}
# await_KIND LANDED DEADLINE, as copy_and_wait calls them.
await_big() { poll_until "$2" is_big "$1"; }
await_small() { poll_until "$2" is_like "$src/small" "$1"; }
await_tree() { poll_until "$2" is_like "$src/tree" "$1"; }
await_clone() { poll_until "$2" is_like "$src/clone" "$1"; }

declare -A figure
failed=0
# copy_and_wait KEY LANDED AWAIT COMMAND...: times COMMAND (the close) and then
# AWAIT LANDED (until the copy is whole there) into figure[KEY.close/.land].
copy_and_wait() {
  local key=$1 landed_at=$2 await=$3 start closed landed deadline
  shift 3
  sync
  start=$(now)
  "$@"
  closed=$(now)
  figure[$key.close]=$(elapsed "$start" "$closed")
  deadline=$(awk -v s="$start" -v t="$land_timeout" 'BEGIN { printf "%.3f", s + t }')
  if landed=$("$await" "$landed_at" "$deadline"); then
    figure[$key.land]=$(elapsed "$start" "$landed")
  else
    figure[$key.land]=timeout
    failed=1
  fi
}
what_of() {  # what_of KIND: the workload as the table names it
  case $1 in
    big) echo "cp $big_mib MiB" ;;
    small) echo "cp -r $small_files files" ;;
    tar) echo "tar -x of $tree_files files" ;;
    rsync) echo "rsync -a of $small_files files" ;;
    clone) echo "git clone of this repository" ;;
  esac
}
# measure NAME INTO BEHIND: copies into INTO and waits for the copies to appear in
# BEHIND (the same folder for a local copy, the folder behind a mount otherwise).
measure() {
  local name=$1 into=$2 behind=$3
  copy_and_wait "$name.big" "$behind/big.bin" await_big cp "$src/big.bin" "$into/big.bin"
  copy_and_wait "$name.small" "$behind/small" await_small cp -r "$src/small" "$into/"
  mkdir "$into/tree"
  copy_and_wait "$name.tar" "$behind/tree" await_tree tar -xf "$src/tree.tar" -C "$into/tree"
  copy_and_wait "$name.rsync" "$behind/rsync" await_small rsync -a "$src/small/" "$into/rsync/"
  copy_and_wait "$name.clone" "$behind/clone" await_clone git clone -q --no-local "$repo" "$into/clone"
  local kind
  for kind in big small tar rsync clone; do
    echo "$name: $(what_of $kind) returned after ${figure[$name.$kind.close]} s, in the folder after" \
      "${figure[$name.$kind.land]} s"
  done
}

# The local folder sits beside the share, on the same file system.
mkdir -p "$work/local"
measure local "$work/local" "$work/local"

# corvane-fp mount, with caches and state of its own; corvane-vfs-host is found on the PATH.
share="$work/share"
mkdir -p "$share" "$work/corvane" "$work/xdg/cache" "$work/xdg/state" "$work/xdg/data" "$work/xdg/run"
chmod 700 "$work/xdg/run"
PATH="$bin:$PATH" XDG_CACHE_HOME="$work/xdg/cache" XDG_STATE_HOME="$work/xdg/state" XDG_DATA_HOME="$work/xdg/data" \
  XDG_RUNTIME_DIR="$work/xdg/run" "$bin/corvane-fp" mount --domain benchwrite --share "$share" --foreground \
  "$work/corvane" 2>"$work/corvane.log" &
corvane_pid=$!
pids+=("$corvane_pid")
mounted+=("$work/corvane")
await_mount "$work/corvane" || exit 1
measure corvane "$work/corvane" "$share"
# Out of the way before the peers run, so that nothing it still does in the background
# is counted against them.
unmount "$work/corvane" "$corvane_pid"

peers=()
if command -v bindfs >/dev/null; then
  mkdir -p "$work/bindfs" "$work/bindfs-folder"
  bindfs "$work/bindfs-folder" "$work/bindfs"
  mounted+=("$work/bindfs")
  if await_mount "$work/bindfs"; then
    measure bindfs "$work/bindfs" "$work/bindfs-folder"
    peers+=(bindfs)
  fi
  unmount "$work/bindfs"
fi
sftp_server=$(command -v sftp-server || ls /usr/lib/openssh/sftp-server 2>/dev/null || true)
if command -v sshfs >/dev/null && [ -n "$sftp_server" ]; then
  # sshfs speaks SFTP over its standard input and output to a local sftp-server: no network.
  mkdir -p "$work/sshfs" "$work/sshfs-folder"
  mkfifo "$work/sftp.fifo"
  # shellcheck disable=SC2094  # the fifo joins the two ends of the pipeline on purpose
  "$sftp_server" <"$work/sftp.fifo" | sshfs -f -o passive ":$work/sshfs-folder" "$work/sshfs" >"$work/sftp.fifo" &
  sshfs_pid=$!
  pids+=("$sshfs_pid")
  mounted+=("$work/sshfs")
  if await_mount "$work/sshfs"; then
    measure sshfs "$work/sshfs" "$work/sshfs-folder"
    peers+=(sshfs)
  fi
  unmount "$work/sshfs" "$sshfs_pid"
fi

gbps() { awk -v t="$1" -v b="$big_bytes" 'BEGIN { printf "%.2f", b / t / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf 'row\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@"; }
# A figure as the table shows it: seconds, and for the big file the rate as well.
shown() {  # shown KIND VALUE
  if [ "$2" = timeout ]; then echo "not there after $land_timeout s"
  elif [ "$1" = big ]; then echo "$2 s ($(gbps "$2") GB/s)"
  else echo "$2 s"; fi
}
label_of() { if [ "$1" = corvane ]; then echo "corvane-fp mount"; else echo "$1 mount"; fi; }

rows_for() {  # rows_for NAME BASELINE_NAME
  local name=$1 base=$2 kind stage what value against r met
  for kind in big small tar rsync clone; do
    for stage in close land; do
      what=$(what_of $kind)
      if [ $stage = close ]; then what="$what, until it returns"
      elif [ "$name" = corvane ]; then what="$what, until in the share"
      else what="$what, until in the folder"; fi
      value=${figure[$name.$kind.$stage]}
      against=${figure[$base.$kind.$stage]}
      r="-"; met="-"
      if [ "$value" = timeout ]; then met="NO"
      elif [ "$against" != timeout ]; then r=$(ratio "$value" "$against"); fi
      row "$(label_of "$name"): $what" "$(shown $kind "$value")" "$(shown $kind "$against") $base" "$r" "-" "$met"
    done
  done
}

rows_for corvane local
for p in "${peers[@]}"; do
  if [ "$p" = sshfs ]; then rows_for corvane sshfs; fi
done
for p in "${peers[@]}"; do rows_for "$p" local; done
exit "$failed"

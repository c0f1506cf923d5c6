#!/bin/bash
# Walks every command of corvane-fp (and corvane-vfs-host) with --help, -h,
# no arguments and one bad argument, and checks the exit status, which stream
# spoke and that a usage error names what was wrong.
#   command-line-walk.sh CORVANE_FP CORVANE_VFS_HOST
set -u
fp=$1
host=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Nothing of the user's own state is read or written.
export HOME=$scratch/home XDG_STATE_HOME=$scratch/state XDG_CACHE_HOME=$scratch/cache \
  XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
failures=0

# expect STATUS STDOUT_PATTERN STDERR_PATTERN -- COMMAND...: a pattern of "" wants that stream empty.
expect() {
  local status=$1 out=$2 err=$3
  shift 4
  "$@" </dev/null >"$scratch/out" 2>"$scratch/err"
  local got=$?
  local why=""
  [ "$got" = "$status" ] || why="status $got, not $status"
  if [ -z "$out" ]; then [ ! -s "$scratch/out" ] || why="$why; stdout not empty"
  else grep -q -- "$out" "$scratch/out" || why="$why; stdout lacks '$out'"; fi
  if [ -z "$err" ]; then [ ! -s "$scratch/err" ] || why="$why; stderr not empty"
  else grep -q -- "$err" "$scratch/err" || why="$why; stderr lacks '$err'"; fi
  if [ -n "$why" ]; then
    failures=$((failures + 1))
    echo "FAIL: ${*#"$fp"}: ${why#; }"
    sed 's/^/  out: /' "$scratch/out" | head -5
    sed 's/^/  err: /' "$scratch/err" | head -5
  fi
}

commands=$("$fp" | sed -n 's/^  \([a-z-]*\)  .*/\1/p')
[ -n "$commands" ] || { echo "FAIL: a bare corvane-fp lists no commands"; exit 1; }
expect 0 "^  mount " "" -- "$fp"
expect 0 "^corvane-fp [0-9]" "" -- "$fp" --version
expect 0 "^usage: corvane-fp mount" "" -- "$fp" --help
expect 2 "" 'unknown command "bogus"' -- "$fp" bogus
expect 2 "" 'unknown option "--bogus"' -- "$fp" --bogus

for command in $commands; do
  for help in --help -h; do
    expect 0 "^usage: corvane-fp $command" "" -- "$fp" "$command" "$help"
    expect 0 "^Example:" "" -- "$fp" "$command" "$help"
  done
  expect 2 "" "corvane-fp $command: unknown option \"--bogus\"" -- "$fp" "$command" --bogus
  expect 2 "" "Try 'corvane-fp $command --help'" -- "$fp" "$command" --bogus
done

# No arguments: what needs one says which; what does not runs.
for command in mount unmount pin unpin install-service; do
  expect 2 "" "corvane-fp $command: .* is needed" -- "$fp" "$command"
done
expect 1 "" "no domain is mounted" -- "$fp" watch
expect 0 "no domain is mounted" "" -- "$fp" status
expect 0 "" "" -- "$fp" pin --list
expect 0 '"identifier"' "" -- "$fp" item

# A bad value is named with the option and what it takes.
expect 2 "" '"--drain-timeout" takes seconds from 0 to 86400, not "abc"' -- "$fp" mount --drain-timeout abc mnt
expect 2 "" '"--cache-max" takes a size such as 512M or 2G, not "lots"' -- "$fp" mount --cache-max lots mnt
expect 2 "" '"--domain" needs a value' -- "$fp" status --domain
expect 2 "" 'unexpected argument "b"' -- "$fp" unmount a b
expect 2 "" '"--size" takes a count, not "-1"' -- "$fp" item --size -1
# Not a usage error: status 1.
expect 1 "" "no corvane-fp mount is running at $scratch" -- "$fp" unmount "$scratch/"
expect 1 "" "is not in a running corvane-fp mount" -- "$fp" pin "$scratch"

# The bash completion reads the same table.
complete_words() {
  PATH=$(dirname "$fp"):$PATH
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _corvane_fp
  echo "${COMPREPLY[*]}"
}
# shellcheck source=/dev/null
source "$(dirname "$0")/../../packaging/completions/corvane-fp.bash"
for case in "mo:mount" "uns:" "unp:unpin" "--ver:--version"; do
  got=$(complete_words corvane-fp "${case%%:*}")
  [ "$got" = "${case#*:}" ] || { failures=$((failures + 1)); echo "FAIL: completing ${case%%:*} gave '$got'"; }
done
got=$(complete_words corvane-fp mount --drain)
[ "$got" = "--drain-timeout" ] || { failures=$((failures + 1)); echo "FAIL: completing mount --drain gave '$got'"; }

expect 0 "^corvane-vfs-host [0-9]" "" -- "$host" --version
expect 0 "usage" "" -- "$host" --help
expect 2 "" '"--bogus"' -- "$host" --bogus

echo "command line walk: $(wc -w <<<"$commands") commands, $failures failures"
[ "$failures" = 0 ]

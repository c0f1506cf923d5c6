# Helpers the mount benchmarks share; sourced, not run.
now() { date +%s.%N; }
# Waits for a FUSE file system at $1 (a benchmark, so a generous wait is fine).
await_mount() {
  for _ in $(seq 1 600); do
    mountpoint -q "$1" && return 0
    sleep 0.1
  done
  echo "no file system appeared at $1" >&2
  return 1
}
# The EXIT trap of a benchmark: unmounts "${mounted[@]}", stops "${pids[@]}" and
# removes "$work" unless CORVANE_BENCH_KEEP is set.
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup_run() {
  for m in "${mounted[@]}"; do fusermount3 -u "$m" 2>/dev/null || fusermount3 -uz "$m" 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${CORVANE_BENCH_KEEP:-}" ] || rm -rf "$work"
}

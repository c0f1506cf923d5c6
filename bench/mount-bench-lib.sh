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

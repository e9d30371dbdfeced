#!/usr/bin/env bash
# Whole-tool benchmark: generates synthetic libraries (deterministic, seed 1)
# at each size, then times "build", "read" and "patch" of the release binary
# and prints a Markdown table of wall time, peak memory and throughput.
# Usage: scripts/bench.sh [TRACKS ...]   (default: 1000 10000 100000)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target dovrel generate_library >&2
sizes=("$@")
((${#sizes[@]})) || sizes=(1000 10000 100000)
runs=${BENCH_RUNS:-3}

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "$(free -g | awk '/Mem:/ {print $2}') GiB, $(g++ --version | head -n1), release build; best of $runs runs."
echo
echo "| tracks | action | wall (s) | peak memory (MiB) | tracks/s | request (MB) | image (MB) | report (MB) | memory / (request + image + report) |"
echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|"
for n in "${sizes[@]}"; do
  dir=build/bench/$n
  mkdir -p "$dir"
  build/release/bench/generate_library "$n" 1 "$dir"
  for action in build read patch; do
    best_wall="" best_mem=""
    for _ in $(seq "$runs"); do
      /usr/bin/time -f "%e %M" -o "$dir/$action.time" build/release/src/dovrel <"$dir/$action.json" >"$dir/$action.report"
      read -r wall mem <"$dir/$action.time"
      if [ -z "$best_wall" ] || awk "BEGIN {exit !($wall < $best_wall)}"; then best_wall=$wall best_mem=$mem; fi
    done
    request=$(stat -c %s "$dir/$action.json")
    case $action in
      build) image=$(stat -c %s "$dir/library.pdb") ;;
      read) image=$(stat -c %s "$dir/library.pdb") ;;
      patch) image=$(stat -c %s "$dir/patched.pdb") ;;
    esac
    report=$(stat -c %s "$dir/$action.report")
    awk -v n="$n" -v a="$action" -v w="$best_wall" -v m="$best_mem" -v q="$request" -v i="$image" -v r="$report" 'BEGIN {
      mb = 1000000; mib = m / 1024; t = (w > 0) ? n / w : 0;
      printf "| %d | %s | %.3f | %.1f | %.0f | %.1f | %.1f | %.1f | %.2f |\n", n, a, w, mib, t, q / mb, i / mb, r / mb, (m * 1024) / (q + i + r) }'
  done
done

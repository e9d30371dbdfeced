#!/usr/bin/env bash
# Crash and concurrency test of the output contract, run against the built
# binary: after any run the target must be the old file or the new one,
# whole, and no temporary file may be left beside it.
#   1. builds killed at random moments (SIGKILL, SIGTERM, SIGINT, SIGHUP);
#   2. in-place patches killed the same way;
#   3. rounds of concurrent in-place patches of one file, each retuning its
#      own track: every change must survive;
#   4. builds, reads and in-place patches under memory limits (prlimit --as,
#      24 to 512 MiB): each must exit 0 or 1, never by a signal, and leave
#      its target whole (tests/contract/check_memory_limits.sh).
# It counts old, new and corrupt targets, leftover files and lost changes,
# and exits 1 when any target is corrupt, any file is left or any change lost.
# Usage: scripts/crash-test.sh [--short] [path/to/dovrel]
set -euo pipefail
cd "$(dirname "$0")/.."

kills=60 rounds=20 tracks=20000 writers=8
memory_limits=(24 32 36 40 44 48 56 64 80 96 128 160 192 256 320 384 448 512)
if [ "${1:-}" = "--short" ]; then
  kills=16 rounds=4 tracks=5000
  memory_limits=(32 40 44 48 64 128 512)
  shift
fi
binary=${1:-}
if [ -z "$binary" ]; then
  for candidate in build/release/src/dovrel build/debug/src/dovrel; do
    [ -x "$candidate" ] && binary=$candidate && break
  done
fi
[ -x "${binary:-}" ] || { echo "crash-test: no dovrel binary; build first or name it" >&2; exit 2; }
binary=$(realpath "$binary")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dir=$work/target
mkdir "$dir"

# build.json: $tracks tracks; small.json: two tracks (the "old" file).
python3 tests/contract/write_build_requests.py "$work" "$tracks"

# request FILE OUTPUT [INPUT]: the request in FILE aimed at OUTPUT.
request() { sed "s|\"OUTPUT\"|\"$2\"|" "$1"; }
patch_request() {  # patch_request FILE TRACK TEMPO: an in-place patch retuning one track
  printf '{"action":"patch","input":"%s","output":"%s","tempos":{"%s":%s}}' "$1" "$1" "$2" "$3"
}
digest() { sha256sum "$1" 2>/dev/null | cut -d' ' -f1; }
leftovers() { find "$dir" -mindepth 1 ! -name target.pdb | wc -l; }

request "$work/small.json" "$work/old.pdb" | "$binary" >/dev/null
request "$work/build.json" "$work/new.pdb" | "$binary" >/dev/null
cp "$work/new.pdb" "$work/patched.pdb"
patch_request "$work/patched.pdb" 1 12345 | "$binary" >/dev/null
start=$(date +%s%N)
request "$work/build.json" "$dir/target.pdb" | "$binary" >/dev/null
span_ms=$(( ($(date +%s%N) - start) / 1000000 + 1 ))
rm -f "$dir/target.pdb"
signals=(KILL TERM INT HUP)
failed=0

# kill_runs NAME OLD NEW REQUEST-COMMAND: $kills runs, each killed after a
# random part of a run's time, then the target classified.
kill_runs() {
  local name=$1 old=$2 new=$3 make_request=$4
  local old_count=0 new_count=0 corrupt=0 left=0 old_sum new_sum sum i
  old_sum=$(digest "$old") new_sum=$(digest "$new")
  for ((i = 0; i < kills; i++)); do
    cp "$old" "$dir/target.pdb"
    $make_request >"$work/request.json"
    "$binary" <"$work/request.json" >/dev/null 2>&1 &
    local pid=$! sig=${signals[RANDOM % 4]}
    sleep "$(awk -v ms=$((RANDOM % (span_ms + span_ms / 4 + 1))) 'BEGIN { printf "%.3f", ms / 1000 }')"
    kill -s "$sig" "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    sum=$(digest "$dir/target.pdb")
    if [ "$sum" = "$old_sum" ]; then old_count=$((old_count + 1))
    elif [ "$sum" = "$new_sum" ]; then new_count=$((new_count + 1))
    else corrupt=$((corrupt + 1)); fi
    left=$((left + $(leftovers)))
    find "$dir" -mindepth 1 -delete
  done
  echo "$name: $kills runs killed: $old_count old, $new_count new, $corrupt corrupt, $left leftover files"
  if ((corrupt + left)); then failed=1; fi
}

build_request_in_place() { request "$work/build.json" "$dir/target.pdb"; }
patch_in_place() { patch_request "$dir/target.pdb" 1 12345; }
kill_runs "build" "$work/old.pdb" "$work/new.pdb" build_request_in_place
kill_runs "patch" "$work/new.pdb" "$work/patched.pdb" patch_in_place

# Concurrent in-place patches: writer w sets track w to 100 + w bpm.
lost=0 failed_runs=0 left=0
for ((round = 0; round < rounds; round++)); do
  cp "$work/new.pdb" "$dir/target.pdb"
  pids=()
  for ((w = 1; w <= writers; w++)); do
    patch_request "$dir/target.pdb" "$w" $(((100 + w) * 100)) | "$binary" >/dev/null 2>"$work/err.$w" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed_runs=$((failed_runs + 1)); done
  report=$(printf '{"action":"read","input":"%s"}' "$dir/target.pdb" | "$binary")
  for ((w = 1; w <= writers; w++)); do
    # Keys are sorted, so a track's "bpm" comes before its "id".
    grep -q "\"bpm\":$((100 + w)).0,[^}]*\"id\":$w," <<<"$report" || lost=$((lost + 1))
  done
  left=$((left + $(leftovers)))
  find "$dir" -mindepth 1 -delete
done
echo "concurrent: $rounds rounds of $writers in-place patches: $failed_runs failed runs, $lost lost changes, $left leftover files"
if ((lost + failed_runs + left)); then failed=1; fi

if command -v prlimit >/dev/null; then
  tests/contract/check_memory_limits.sh "$binary" "$work/memory" "${memory_limits[@]}" || failed=1
else
  echo "memory limits: no prlimit, skipped"
fi
exit "$failed"

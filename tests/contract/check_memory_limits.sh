#!/usr/bin/env bash
# Runs under an address-space limit (prlimit --as) must end as a failed
# request or a good one, never by a signal: a build over an existing file, a
# read and an in-place patch of a library large enough for the report's
# helper thread, at each limit. Every run must exit 0 or 1; after exit 0
# the target holds the new bytes (and the read's report is the unlimited
# one), after exit 1 the old bytes and one line on standard error, and
# nothing on standard output unless memory ran out as the report was being
# printed (then, after a write, the new bytes and the message that says
# so). Exits 1
# when any run breaks that, 77 (skipped) without prlimit.
# Usage: check_memory_limits.sh DOVREL WORK_DIR [LIMIT_MIB ...]
#   (default limits: 24 to 512 MiB in steps, finest where the report is made)
set -euo pipefail
dovrel=$1 work=$2
shift 2
limits=("$@")
((${#limits[@]})) || limits=(24 32 40 44 48 56 64 96 128 192 256 384 512)
command -v prlimit >/dev/null || { echo "check_memory_limits: no prlimit, skipped" >&2; exit 77; }
rm -rf "$work"
mkdir -p "$work"

# 24,000 tracks: past the count at which the tracks array is rendered by two
# threads, so that an allocation may fail on either of them.
python3 "$(dirname "$0")/write_build_requests.py" "$work" 24000

aimed() { sed "s|\"OUTPUT\"|\"$2\"|" "$1"; }
patch_request() { printf '{"action":"patch","input":"%s","output":"%s","tempos":{"1":12345}}' "$1" "$1"; }
read_request() { printf '{"action":"read","input":"%s"}' "$1"; }

aimed "$work/small.json" "$work/old.pdb" | "$dovrel" >/dev/null
aimed "$work/build.json" "$work/new.pdb" | "$dovrel" >/dev/null
cp "$work/new.pdb" "$work/patched.pdb"
patch_request "$work/patched.pdb" | "$dovrel" >/dev/null
read_request "$work/new.pdb" | "$dovrel" >"$work/new.report"

failed=0 refused=0 done_runs=0
# limited NAME MIB TARGET OLD NEW: runs $work/request.json under the limit
# and judges the exit status, the message and the target.
limited() {
  local name=$1 mib=$2 target=$3 old=$4 new=$5 status=0 expect
  prlimit --as=$((mib * 1024 * 1024)) "$dovrel" <"$work/request.json" >"$work/out" 2>"$work/err" || status=$?
  case $status in
    0) expect=$new done_runs=$((done_runs + 1)) ;;
    1)
      # Memory that runs out as the report is printed, after the rename,
      # leaves the new file in place, and the message says so; the line's
      # beginning may then be on standard output.
      if grep -q '^output written, but the report could not be printed: out of memory$' "$work/err"; then
        expect=$new
      else
        expect=$old
      fi
      refused=$((refused + 1))
      ;;
    *)
      echo "$name at $mib MiB: exit status $status: $(head -c 300 "$work/err")" >&2
      failed=1
      return
      ;;
  esac
  if [ "$status" = 1 ] && { [ "$(wc -l <"$work/err")" != 1 ] || { [ -s "$work/out" ] && [ "$expect" != "$new" ]; }; }; then
    echo "$name at $mib MiB: exit 1 without exactly one line of error: $(head -c 300 "$work/err")" >&2
    failed=1
  fi
  if [ -n "$target" ] && ! cmp -s "$target" "$expect"; then
    echo "$name at $mib MiB: exit $status, but the target is not the $([ "$status" = 0 ] && echo new || echo old) file" >&2
    failed=1
  fi
  if [ "$name" = read ] && [ "$status" = 0 ] && ! cmp -s "$work/out" "$work/new.report"; then
    echo "read at $mib MiB: the report differs from the unlimited run's" >&2
    failed=1
  fi
}

for mib in "${limits[@]}"; do
  cp "$work/old.pdb" "$work/target.pdb"
  aimed "$work/build.json" "$work/target.pdb" >"$work/request.json"
  limited build "$mib" "$work/target.pdb" "$work/old.pdb" "$work/new.pdb"
  read_request "$work/new.pdb" >"$work/request.json"
  limited read "$mib" "" "" ""
  cp "$work/new.pdb" "$work/target.pdb"
  patch_request "$work/target.pdb" >"$work/request.json"
  limited patch "$mib" "$work/target.pdb" "$work/new.pdb" "$work/patched.pdb"
  if [ -n "$(find "$work" -name '.dovrel-*')" ]; then
    echo "a temporary file was left at $mib MiB" >&2
    failed=1
  fi
done
echo "memory limits ${limits[*]} MiB: $done_runs runs done, $refused refused, $([ "$failed" = 0 ] && echo "none" || echo "some") broken"
exit "$failed"

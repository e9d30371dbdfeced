#!/usr/bin/env bash
# Fuzzing: installs clang 19, its fuzzer runtime and llvm 19 (for symbolized
# crash stacks) when missing, builds the "fuzz" preset (build/fuzz), writes
# the seed corpora (build/fuzz/corpus), runs every target for SECONDS
# seconds, then runs each target over its saved inputs in
# fuzz/regressions/<target>/. Exits 1 when any target crashes, hangs or
# breaks a property; the log and the crashing input are then in
# build/fuzz/artifacts/<target>/.
# Usage: scripts/fuzz.sh [SECONDS]   (seconds per target, default 10; 0 runs
#                                     only the regression inputs)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
if ! [[ $seconds =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

scripts/setup.sh clang-19 libclang-rt-19-dev llvm-19

# The machine is shared: at most two compile jobs, and the fuzzers run niced.
jobs=$(nproc 2>/dev/null || echo 2)
((jobs <= 2)) || jobs=2
echo "== fuzz: configure, build" >&2
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

bin=build/fuzz/fuzz
corpus=build/fuzz/corpus
artifacts=build/fuzz/artifacts
"$bin/make_corpus" . "$corpus"

targets=(fuzz_request fuzz_read fuzz_patch fuzz_build fuzz_strings fuzz_playlist fuzz_damage)
# Longest input per target: a whole image (the blank one is 167,936 bytes)
# for read, patch and damage, plus patch's 8 control bytes; a long string's
# 65,535 bytes and its kind byte for strings; a playlist of a few hundred lines.
declare -A max_len=([fuzz_request]=16384 [fuzz_read]=300000 [fuzz_patch]=300008 [fuzz_build]=16384
                    [fuzz_strings]=65540 [fuzz_playlist]=16384 [fuzz_damage]=300000)
declare -A extra=([fuzz_request]="-dict=fuzz/request.dict")
common=(-timeout=10 -rss_limit_mb=2048)
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-/usr/lib/llvm-19/bin/llvm-symbolizer}

failed=()
for t in "${targets[@]}"; do
  mkdir -p "$artifacts/$t"
  log="$artifacts/$t/run.log"
  if ((seconds > 0)); then
    echo "== $t: ${seconds} s" >&2
    # shellcheck disable=SC2086  # extra holds whole options
    if nice -n 10 "$bin/$t" "${common[@]}" -max_total_time="$seconds" -max_len="${max_len[$t]}" \
        -artifact_prefix="$artifacts/$t/" -print_final_stats=1 ${extra[$t]:-} "$corpus/$t" >"$log" 2>&1; then
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
      rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
      echo "   ${runs:-?} runs, ${rate:-?} per second" >&2
    else
      echo "   FAILED; the end of $log:" >&2
      tail -n 60 "$log" >&2
      failed+=("$t")
    fi
  fi
  regressions=()
  for input in fuzz/regressions/"$t"/*; do
    [ -f "$input" ] && regressions+=("$input")
  done
  for input in "${regressions[@]}"; do
    if ! "$bin/$t" "${common[@]}" "$input" >"$log.regression" 2>&1; then
      echo "== $t: regression input $input FAILED:" >&2
      tail -n 60 "$log.regression" >&2
      failed+=("$t:$input")
    fi
  done
  echo "== $t: ${#regressions[@]} regression inputs run" >&2
done

if ((${#failed[@]})); then
  echo "fuzz: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all targets passed" >&2

#!/usr/bin/env bash
# Whole-tool benchmark: generates synthetic libraries (deterministic, seed 1)
# at each size, then times "build", "read", "patch", a patch that changes
# nothing, an "edit" of one setTrack, "check", "salvage" and the three
# exports ("m3u8", "csv", "html") of the release binary and prints a
# Markdown table of wall time, CPU time, peak memory and throughput, and
# how each action's time grows from one size to the next. Each export's time
# is then given as a multiple of "read" at the same size, the edit's as a
# multiple of the unchanging patch, and the largest library's page is
# loaded in headless Chromium for the time to its first rows.
# Beside each action it times, in the same run and as often, its floor: a
# command that only moves the same bytes (reads the request and the input,
# writes the image with fsync, writes the report), and prints the ratio.
# Usage: scripts/bench.sh [TRACKS ...]   (default: 1000 10000 100000)
# Then it times "scan" of a generated folder of tagged audio files beside its
# floor, the same files read by cat, in files per second; last "build",
# "patch" and Python add_track at 40,000 tracks whose ids are random or
# crafted to collide in a table that hashes an id to itself (BENCH_CRAFTED=0
# leaves that out).
# Environment: BENCH_RUNS (runs per cell, best kept; default 3),
#              BENCH_SCAN_FILES (files of the scan benchmark; default 2000),
#              BENCH_BUILD_DIR (default build/bench-release),
#              BENCH_JOBS (parallel compile jobs; default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BENCH_BUILD_DIR:-build/bench-release}
runs=${BENCH_RUNS:-3}
TIMEFORMAT="%3R %3U %3S"
jobs=${BENCH_JOBS:-2}

scripts/setup.sh
# A build directory of its own, without the test suite, so that a benchmark
# never races another build of the same tree.
cmake --preset release -B "$build_dir" -DDOVREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target dovrel generate_library vantrel_pdb_bench make_sample_music >&2
# The Python module, when its build is configured (for add_track's figures).
if cmake --build "$build_dir" --target help | grep vantrel_pdb_python >/dev/null; then
  cmake --build "$build_dir" -j "$jobs" --target vantrel_pdb_python >&2
fi
sizes=("$@")
((${#sizes[@]})) || sizes=(1000 10000 100000)

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "$(free -g | awk '/Mem:/ {print $2}') GiB, $(g++ --version | head -n1), release build; best of $runs runs;"\
     "load average at the start $(cut -d' ' -f1-3 /proc/loadavg)."
# (It fails on purpose, so the pipeline's status is not looked at.)
empty_kib=$( (echo '{"action":"build"}' | /usr/bin/time -f "%M" "$build_dir"/src/dovrel 2>&1 >/dev/null || true) | tail -n1)
echo "An empty run (a build of nothing, which stops at \"Missing output\") peaks at"\
     "$(awk -v k="$empty_kib" 'BEGIN {printf "%.1f", k / 1024}') MiB: the process itself, in every figure below."
echo
echo "| tracks | action | wall (s) | floor (s) | wall / floor | cpu (s) | peak memory (MiB) | tracks/s | request (MB) | image (MB) | report (MB) | memory / (request + image + report) | input image (MB) | memory / (request + input image + image + report) | wall / wall at previous size |"
echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"

# The floor of an action: the same bytes moved by the cheapest commands.
# "read" and "check": the image read, the report written; "build": the
# request read, the image written and synced, the report written; "patch":
# the request and the input read, the patched image written and synced, the
# report written; "salvage": the input read, the new image written and
# synced, the line written. An export's floor reads the input and writes the
# bytes of what the export wrote with fsync: for m3u8 all its files as one
# (so the floor does not pay a sync per file). The report goes where
# dovrel's does (a file beside it).
floor() {
  local action=$1 dir=$2
  case $action in
    read | check) cat "$dir/library.pdb" >/dev/null ;;
    export-m3u8) cat "$dir/library.pdb" >/dev/null
                 find "$dir/lists" -name '*.m3u8' -print0 | xargs -0 cat |
                   dd of="$dir/floor.pdb" bs=4M conv=fsync status=none ;;
    export-csv) cat "$dir/library.pdb" >/dev/null
                dd if="$dir/library.csv" of="$dir/floor.pdb" bs=4M conv=fsync status=none
                dd if="$dir/library-playlists.csv" of="$dir/floor.csv" bs=4M conv=fsync status=none ;;
    export-html) cat "$dir/library.pdb" >/dev/null
                 dd if="$dir/library.html" of="$dir/floor.pdb" bs=4M conv=fsync status=none ;;
    build) cat "$dir/build.json" >/dev/null
           dd if="$dir/library.pdb" of="$dir/floor.pdb" bs=4M conv=fsync status=none ;;
    patch) cat "$dir/patch.json" "$dir/library.pdb" >/dev/null
           dd if="$dir/patched.pdb" of="$dir/floor.pdb" bs=4M conv=fsync status=none ;;
    salvage) cat "$dir/library.pdb" >/dev/null
             dd if="$dir/salvaged.pdb" of="$dir/floor.pdb" bs=4M conv=fsync status=none ;;
    patch-unchanged) cat "$dir/patch-unchanged.json" "$dir/library.pdb" >/dev/null
                     dd if="$dir/unchanged.pdb" of="$dir/floor.pdb" bs=4M conv=fsync status=none ;;
    edit) cat "$dir/edit.json" "$dir/library.pdb" >/dev/null
          dd if="$dir/edited.pdb" of="$dir/floor.pdb" bs=4M conv=fsync status=none ;;
  esac
  cat "$dir/$action.report" >"$dir/floor.report"
}
declare -A previous walls
for n in "${sizes[@]}"; do
  dir=build/bench/$n
  mkdir -p "$dir"
  "$build_dir"/bench/generate_library "$n" 1 "$dir"
  for format in m3u8 csv html; do
    case $format in m3u8) out=$dir/lists ;; *) out=$dir/library.$format ;; esac
    printf '{"action":"export","format":"%s","input":"%s","output":"%s"}\n' "$format" "$dir/library.pdb" "$out" \
      >"$dir/export-$format.json"
  done
  printf '{"action":"check","input":"%s"}\n' "$dir/library.pdb" >"$dir/check.json"
  printf '{"action":"salvage","input":"%s","output":"%s"}\n' "$dir/library.pdb" "$dir/salvaged.pdb" >"$dir/salvage.json"
  # "edit": one setTrack (a rating, a longer comment and title) of the
  # first track the patch keeps; beside it a patch that changes nothing.
  track=$(grep -o '"keepTracks":\[[0-9]*' "$dir/patch.json" | grep -o '[0-9]*$')
  printf '{"action":"patch","input":"%s","output":"%s"}\n' "$dir/library.pdb" "$dir/unchanged.pdb" \
    >"$dir/patch-unchanged.json"
  printf '{"action":"edit","input":"%s","output":"%s","changes":[{"op":"setTrack","id":%s,"rating":5,%s}]}\n' \
    "$dir/library.pdb" "$dir/edited.pdb" "$track" \
    '"title":"Harbour Lights (extended)","comment":"closing track of the summer set, played twice"' >"$dir/edit.json"
  for action in build read patch patch-unchanged edit check salvage export-m3u8 export-csv export-html; do
    best_wall="" best_cpu="" best_mem="" best_floor=""
    for _ in $(seq "$runs"); do
      # The shell's own timer: real, user and system time to the millisecond,
      # with no extra process in between.
      # The report goes to a new file, as the floor's copy of it does: the
      # shell's truncation of the last run's report (tens of milliseconds
      # at 100,000 tracks, freeing its pages) is no work of dovrel's. The
      # image an action writes stays, and is replaced as on a stick.
      rm -f "$dir/$action.report"
      { time "$build_dir"/src/dovrel <"$dir/$action.json" >"$dir/$action.report"; } 2>"$dir/$action.time"
      read -r wall user sys <"$dir/$action.time"
      if [ -z "$best_wall" ] || awk "BEGIN {exit !($wall < $best_wall)}"; then
        best_wall=$wall best_cpu=$(awk "BEGIN {print $user + $sys}")
      fi
      rm -f "$dir/floor.pdb" "$dir/floor.csv" "$dir/floor.report"
      { time floor "$action" "$dir"; } 2>"$dir/floor.time"
      read -r floor_wall _ <"$dir/floor.time"
      if [ -z "$best_floor" ] || awk "BEGIN {exit !($floor_wall < $best_floor)}"; then best_floor=$floor_wall; fi
    done
    rm -f "$dir/floor.pdb" "$dir/floor.csv" "$dir/floor.report"
    # Peak memory varies little from run to run: one more run measures it.
    /usr/bin/time -f "%M" -o "$dir/$action.mem" "$build_dir"/src/dovrel <"$dir/$action.json" >/dev/null
    best_mem=$(tail -n1 "$dir/$action.mem")
    request=$(stat -c %s "$dir/$action.json")
    case $action in
      build) image=$(stat -c %s "$dir/library.pdb") ;;
      read | check) image=$(stat -c %s "$dir/library.pdb") ;;
      patch) image=$(stat -c %s "$dir/patched.pdb") ;;
      salvage) image=$(stat -c %s "$dir/salvaged.pdb") ;;
      patch-unchanged) image=$(stat -c %s "$dir/unchanged.pdb") ;;
      edit) image=$(stat -c %s "$dir/edited.pdb") ;;
      # What an export wrote, in the image column.
      export-m3u8) image=$(find "$dir/lists" -name '*.m3u8' -printf '%s\n' | awk '{s += $1} END {print s + 0}') ;;
      export-csv) image=$(($(stat -c %s "$dir/library.csv") + $(stat -c %s "$dir/library-playlists.csv"))) ;;
      export-html) image=$(stat -c %s "$dir/library.html") ;;
    esac
    # The image an action reads when the image column holds what it writes
    # (none for build, and for read and check, whose image is the one read):
    # the last ratio counts every byte the action reads and writes.
    case $action in
      build | read | check) input=0 ;;
      *) input=$(stat -c %s "$dir/library.pdb") ;;
    esac
    report=$(stat -c %s "$dir/$action.report")
    growth=${previous[$action]:-}
    awk -v n="$n" -v a="$action" -v w="$best_wall" -v f="$best_floor" -v c="$best_cpu" -v m="$best_mem" \
        -v q="$request" -v i="$image" -v r="$report" -v p="$growth" -v u="$input" 'BEGIN {
      mb = 1000000; mib = m / 1024; t = (w > 0) ? n / w : 0;
      g = (p != "" && p > 0) ? sprintf("%.1f", w / p) : "";
      x = (f > 0) ? sprintf("%.1f", w / f) : "";
      printf "| %d | %s | %.3f | %.3f | %s | %.3f | %.1f | %.0f | %.1f | %.1f | %.1f | %.2f | %.1f | %.2f | %s |\n",
             n, a, w, f, x, c, mib, t, q / mb, i / mb, r / mb, (m * 1024) / (q + i + r), u / mb,
             (m * 1024) / (q + u + i + r), g }'
    previous[$action]=$best_wall
    walls[$n/$action]=$best_wall
  done
done

# "scan": BENCH_SCAN_FILES tagged files (WAV, AIFF and MP4, each with a cover)
# read on two threads into a build request, artwork folder included (the
# covers are written by the first run and found in place by the others).
# Floor: the same files' bytes read by cat.
scan_files=${BENCH_SCAN_FILES:-2000}
scan_dir=build/bench/scan
rm -rf "$scan_dir"
mkdir -p "$scan_dir"
"$build_dir"/scan/make_sample_music "$scan_dir/stick" "$scan_files"
printf '{"action":"scan","root":"%s","output":"%s","artworkFolder":"art"}' \
  "$scan_dir/stick" "$scan_dir/stick/library.pdb" >"$scan_dir/scan.json"
scan_bytes=$(find "$scan_dir/stick/music" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
best_scan="" best_cat=""
for _ in $(seq "$runs"); do
  { time "$build_dir"/src/dovrel <"$scan_dir/scan.json" >"$scan_dir/scan.out"; } 2>"$scan_dir/scan.time"
  read -r wall _ <"$scan_dir/scan.time"
  if [ -z "$best_scan" ] || awk "BEGIN {exit !($wall < $best_scan)}"; then best_scan=$wall; fi
  { time find "$scan_dir/stick/music" -type f -print0 | xargs -0 cat >/dev/null; } 2>"$scan_dir/cat.time"
  read -r wall _ <"$scan_dir/cat.time"
  if [ -z "$best_cat" ] || awk "BEGIN {exit !($wall < $best_cat)}"; then best_cat=$wall; fi
done
echo
echo "| files | MB | action | wall (s) | files/s | floor: cat (s) | floor files/s | wall / floor |"
echo "|---:|---:|---|---:|---:|---:|---:|---:|"
awk -v n="$scan_files" -v b="$scan_bytes" -v w="$best_scan" -v f="$best_cat" 'BEGIN {
  printf "| %d | %.1f | scan | %.3f | %.0f | %.3f | %.0f | %s |\n", n, b / 1000000, w, (w > 0) ? n / w : 0, f,
         (f > 0) ? n / f : 0, (f > 0) ? sprintf("%.1f", w / f) : "" }'
echo
echo "Exports beside \"read\" (wall / wall of read at the same size; the target is at most 2):"
for n in "${sizes[@]}"; do
  line="- $n tracks:"
  for format in m3u8 csv html; do
    line+=$(awk -v e="${walls[$n/export-$format]}" -v r="${walls[$n/read]}" -v f="$format" \
              'BEGIN {printf " %s %.1f", f, (r > 0) ? e / r : 0}')
  done
  echo "$line"
done
echo
echo "\"check\" beside \"read\" and \"salvage\" beside \"build\" (wall / wall at the same size; the target is at most 1.5):"
for n in "${sizes[@]}"; do
  awk -v n="$n" -v c="${walls[$n/check]}" -v r="${walls[$n/read]}" -v s="${walls[$n/salvage]}" \
      -v b="${walls[$n/build]}" 'BEGIN {printf "- %d tracks: check %.2f, salvage %.2f\n", n, (r > 0) ? c / r : 0,
                                         (b > 0) ? s / b : 0}'
done
echo
echo "One setTrack beside a patch that changes nothing (wall / wall; the target is at most 1.5):"
for n in "${sizes[@]}"; do
  awk -v e="${walls[$n/edit]}" -v p="${walls[$n/patch-unchanged]}" -v n="$n" \
    'BEGIN {printf "- %d tracks: %.2f\n", n, (p > 0) ? e / p : 0}'
done
# The page of the largest library in headless Chromium: the time from the
# start of loading to the first rows drawn, and to the whole page working.
largest=${sizes[-1]}
page=build/bench/$largest/library.html
if figures=$(python3 tests/browser/html_view.py measure "$page" 3 2>/dev/null); then
  read -r first ready <<<"$figures"
  echo
  echo "The page of $largest tracks ($(awk -v b="$(stat -c %s "$page")" 'BEGIN {printf "%.1f", b / 1000000}') MB) in"\
       "headless Chromium, best of 3: first rows at $first ms (target: within 2000 ms), the whole page working"\
       "(search, sorting, tree) at $ready ms."
else
  echo
  echo "Headless Chromium could not start: no page figures (apt-get install chromium)."
fi

# Crafted ids: 40,000 tracks with random ids against ids that are multiples
# of the bucket count an identity-hashed table of them ends with (42,043 in
# the C++ standard library here, times 2) and of 2^16; the patch gives every
# track a tempo. Each figure is the best of BENCH_RUNS, beside random's.
if [ "${BENCH_CRAFTED:-1}" != 0 ]; then
  crafted_n=40000
  echo
  echo "Crafted ids, $crafted_n tracks (best of $runs; cpu = user + system of the best run; target: within 1.5 × of random):"
  echo
  echo "| ids | action | wall (s) | cpu (s) | cpu / cpu of random ids |"
  echo "|---|---|---:|---:|---:|"
  declare -A crafted_cpu
  for ids in random 84086 65536; do
    dir=build/bench/crafted-$ids
    mkdir -p "$dir"
    "$build_dir"/bench/generate_library "$crafted_n" 1 "$dir" "$ids"
    for action in build patch; do
      best_wall="" best_cpu=""
      for _ in $(seq "$runs"); do
        { time "$build_dir"/src/dovrel <"$dir/$action.json" >/dev/null; } 2>"$dir/$action.time"
        read -r wall user sys <"$dir/$action.time"
        if [ -z "$best_wall" ] || awk "BEGIN {exit !($wall < $best_wall)}"; then
          best_wall=$wall best_cpu=$(awk "BEGIN {print $user + $sys}")
        fi
      done
      [ "$ids" = random ] && crafted_cpu[$action]=$best_cpu
      case $ids in random) label=random ;; 84086) label="multiples of 84,086" ;; *) label="multiples of 2^16" ;; esac
      awk -v l="$label" -v a="$action" -v w="$best_wall" -v c="$best_cpu" -v r="${crafted_cpu[$action]}" \
        'BEGIN {printf "| %s | %s | %.3f | %.3f | %.2f |\n", l, a, w, c, (r > 0) ? c / r : 0}'
    done
  done
  if [ -f "$build_dir/python/vantrel_pdb/__init__.py" ]; then
    echo
    echo "Python add_track and commit, $crafted_n tracks:"
    /usr/bin/python3 python/benchmarks/add_tracks.py "$build_dir/python" "$crafted_n" "$runs"
  else
    echo
    echo "No Python module in $build_dir (pybind11 missing): no add_track figures."
  fi
fi

#!/usr/bin/env bash
# The benchmark's libraries (bench/generate_library), built and patched by
# dovrel, check clean, and their salvage is lossless: the read report of the
# salvaged file is the input's, byte for byte, and the salvaged file checks
# clean too.
# Usage: check_salvage.sh DOVREL GENERATE_LIBRARY WORK_DIR
set -euo pipefail
dovrel=$1 generate=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
failed=0
run() { "$dovrel" <<<"$1"; }
clean='"findings":[],"ok":true}'
for tracks in 1000 3000; do
  dir=$work/$tracks
  mkdir -p "$dir"
  "$generate" "$tracks" 7 "$dir"
  "$dovrel" <"$dir/build.json" >/dev/null
  "$dovrel" <"$dir/patch.json" >/dev/null
  for name in library patched; do
    input=$dir/$name.pdb output=$dir/$name.salvaged.pdb
    line=$(run "{\"action\":\"check\",\"input\":\"$input\"}")
    if [[ $line != *"$clean" || $line != *'"errors":0,'*'"warnings":0}'* ]]; then
      echo "check of $input: $line" >&2
      failed=1
    fi
    line=$(run "{\"action\":\"salvage\",\"input\":\"$input\",\"output\":\"$output\"}")
    if [[ $line != *"\"lost\":{\"albums\":0,\"artists\":0,\"artwork\":0,\"colors\":0,\"genres\":0,\"historyEntries\":0,\"historyPlaylists\":0,\"keys\":0,\"kind16\":0,\"labels\":0,\"playlistEntries\":0,\"playlistTree\":0,\"tracks\":0}}" ]]; then
      echo "salvage of $input lost rows: $line" >&2
      failed=1
    fi
    run "{\"action\":\"read\",\"input\":\"$input\"}" >"$dir/$name.report"
    run "{\"action\":\"read\",\"input\":\"$output\"}" >"$dir/$name.salvaged.report"
    if ! cmp -s "$dir/$name.report" "$dir/$name.salvaged.report"; then
      echo "salvage of $input reads otherwise than the input" >&2
      failed=1
    fi
    line=$(run "{\"action\":\"check\",\"input\":\"$output\"}")
    if [[ $line != *"$clean" ]]; then
      echo "check of $output: $line" >&2
      failed=1
    fi
  done
  # The patch's deleted rows are gone from the salvaged file.
  if (($(stat -c %s "$dir/patched.salvaged.pdb") >= $(stat -c %s "$dir/patched.pdb"))); then
    echo "salvage of $dir/patched.pdb did not compact it" >&2
    failed=1
  fi
done
if ((failed)); then
  echo "check and salvage of the benchmark libraries: FAILED"
  exit 1
fi
echo "check and salvage of the benchmark libraries: 4 passed, 0 failed"

#!/usr/bin/env bash
# The main job on the bundled examples: installs what is missing, builds the
# release binaries, builds examples/library.json into out/library.pdb and
# prints the report; then makes a small stick of tagged audio files in
# out/stick (make_sample_music), scans it with examples/scan.json, keeps the
# printed build request in out/stick-request.json, pipes it into dovrel and
# prints the report of the stick's database.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target dovrel make_sample_music >&2
mkdir -p out
build/release/src/dovrel < examples/library.json

rm -rf out/stick
build/release/scan/make_sample_music out/stick
build/release/src/dovrel < examples/scan.json | tee out/stick-request.json | build/release/src/dovrel

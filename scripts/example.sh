#!/usr/bin/env bash
# The main job on the bundled example: installs what is missing, builds the
# release binary, builds examples/library.json into out/library.pdb and
# prints the report.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target dovrel >&2
mkdir -p out
build/release/src/dovrel < examples/library.json

#!/usr/bin/env bash
# Runs the whole test suite: installs what is missing, then configures,
# builds and tests each preset: by default the release build and the
# sanitizer build, which between them run every test (asan is the debug
# build with AddressSanitizer and UndefinedBehaviorSanitizer; the few tests
# that cannot run under it run in release). The plain debug preset is the
# quick one for work in progress: `scripts/test.sh debug`.
# Usage: scripts/test.sh [preset ...]   (default: release asan)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
presets=("$@")
((${#presets[@]})) || presets=(release asan)
jobs=$(nproc 2>/dev/null || echo 2)

for preset in "${presets[@]}"; do
  echo "== ${preset}: configure, build, test" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# CI (which sets CI=true) adds a brief fuzz run: 20 s per target, then the
# saved regression inputs. Local runs leave it to scripts/fuzz.sh.
if [ -n "${CI:-}" ]; then
  echo "== fuzz: 20 s per target" >&2
  scripts/fuzz.sh 20
  # A short crash and concurrency run (well under a minute): killed builds
  # and patches, concurrent in-place patches.
  echo "== crash test, short" >&2
  scripts/crash-test.sh --short build/release/src/dovrel
fi

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any named as arguments
# (the fuzzing toolchain, say), when any is missing. dpkg-dev and file serve
# the Debian packages (dpkg-buildflags, dpkg-shlibdeps, CPack's search for
# binaries). libtag1-dev is the scanner's TagLib; flac and lame encode the
# FLAC and MP3 files its tests make.
# Usage: scripts/setup.sh [PACKAGE ...]
set -euo pipefail

packages=(g++ cmake make pkgconf dpkg-dev file python3 python3-jsonschema libsimdjson-dev libgtest-dev libbenchmark-dev
  libtag1-dev flac lame  # the scanner (scan/) and the audio files of its tests
  python3-dev pybind11-dev python3-pytest  # the Python module (python/) and its tests
  chromium  # the browser test of the exported HTML page (tests/browser/)
  "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

#!/usr/bin/env bash
# The main job on the bundled examples: installs what is missing, builds the
# release binaries, builds examples/library.json into out/library.pdb and
# prints the report; then exports the library as playlists (out/lists/),
# CSV (out/library.csv, out/library-playlists.csv) and a web page
# (out/library.html, with thumbnails from out/mount/art/), and saves a
# screenshot of the page in headless Chromium as out/library.png. Last it
# makes a small stick of tagged audio files in out/stick (make_sample_music),
# scans it with examples/scan.json, keeps the printed build request in
# out/stick-request.json, pipes it into dovrel and prints the report of the
# stick's database.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target dovrel make_sample_music >&2
mkdir -p out
dovrel=build/release/src/dovrel
"$dovrel" < examples/library.json
# Stand-in artwork on a stand-in stick: a small coloured JPEG for each
# artwork path of the example, made by the browser.
mapfile -t art < <(python3 -c 'import json, sys
print("\n".join(sorted({t["artworkPath"] for t in json.load(open("examples/library.json"))["tracks"]} - {""})))')
python3 tests/browser/html_view.py make-art out/mount "${art[@]}" ||
  echo "no browser: the page is made without thumbnails" >&2
for format in m3u8 csv html; do
  "$dovrel" < "examples/export-$format.json"
done
if python3 tests/browser/html_view.py screenshot out/library.html out/library.png; then
  echo "screenshot of out/library.html: out/library.png" >&2
fi

rm -rf out/stick
build/release/scan/make_sample_music out/stick
"$dovrel" < examples/scan.json | tee out/stick-request.json | "$dovrel"

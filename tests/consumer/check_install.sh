#!/usr/bin/env bash
# Installs the built tree into a temporary prefix and builds the library tour
# of examples/ against it twice, through find_package and through
# pkg-config. Each build runs on the database that the installed dovrel
# builds from examples/library.json; dovrel "read" then checks what the tour
# saved, and the two builds must print and save the same bytes.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
work=$(cd "$work" && pwd)  # absolute: cmake and dovrel run elsewhere
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# The installed tool and manual page.
"$prefix/bin/dovrel" --version
test -f "$prefix/share/man/man1/dovrel.1"
test -f "$prefix/share/bash-completion/completions/dovrel"
request=$(sed "s#\"out/library.pdb\"#\"$work/library.pdb\"#" "$source/examples/library.json")
"$prefix/bin/dovrel" <<<"$request" >/dev/null

# The Python package, in builds that have it: installed under /usr, the
# interpreter would find it; it imports from the prefix, with its stubs
# beside it, and reads what dovrel built.
package=$(find "$prefix" -path '*/vantrel_pdb/__init__.py' -print -quit)
if [ -n "$package" ]; then
  site=$(dirname "$(dirname "$package")")
  /usr/bin/python3 -c 'import sys; assert "/usr/" + sys.argv[1] in sys.path, sys.argv[1]' "${site#"$prefix"/}"
  test -f "$site/vantrel_pdb/__init__.pyi" && test -f "$site/vantrel_pdb/py.typed"
  PYTHONPATH=$site /usr/bin/python3 -c '
import sys, vantrel_pdb
assert len(vantrel_pdb.open(sys.argv[1]).tracks) == 30' "$work/library.pdb"
fi

# find_package(vantrel_pdb CONFIG)
cmake -S "$source/examples" -B "$work/tour-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/tour-cmake" >/dev/null
"$work/tour-cmake/library_tour" "$work/library.pdb" "$work/cmake.pdb" >"$work/cmake.txt"

# pkg-config: the consumer chooses C++23 itself, as the .pc file leaves it to it
pc_dir=$(dirname "$(find "$prefix" -name vantrel_pdb.pc -print -quit)")
flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs vantrel_pdb)
# shellcheck disable=SC2086
g++ -std=c++23 "$source/examples/library_tour.cc" -o "$work/library_tour_pc" $flags
"$work/library_tour_pc" "$work/library.pdb" "$work/pc.pdb" >"$work/pc.txt"
cmp "$work/pc.txt" "$work/cmake.txt"
cmp "$work/pc.pdb" "$work/cmake.pdb"

# The listing resolves names, and the new track has FLAC's file type.
grep -q $'^  101\tEko Atlantic\tNadia Okonkwo\tLagos Nights\tAfro House\tAm\t118.00$' "$work/cmake.txt"
grep -q '^tracks: 30 ' "$work/cmake.txt"
grep -q '^    file type 5, artwork /art/harbour-lights.jpg$' "$work/cmake.txt"

# What dovrel reads back from the saved file.
printf '{"action": "read", "input": "%s"}' "$work/cmake.pdb" | "$prefix/bin/dovrel" >"$work/read.json"
/usr/bin/python3 - "$work/read.json" <<'EOF'
import json, sys
report = json.load(open(sys.argv[1]))
tracks = {t["id"]: t for t in report["tracks"]}
assert sorted(tracks) == [102, 106, 9001], sorted(tracks)
new = tracks[9001]
expected = {"title": "Harbour Lights", "artist": "Mira Solberg", "album": "Low Tide",
            "genre": "Deep House", "key": "Dm", "artworkPath": "/art/harbour-lights.jpg",
            "audioPath": "/music/mira-solberg/low-tide/harbour-lights.flac", "bpm": 121.25,
            "duration": 372, "bitrate": 1411, "comment": "added by library_tour"}
for key, value in expected.items():
    assert new[key] == value, (key, new[key], value)
assert tracks[106]["bpm"] == 127.5, tracks[106]["bpm"]
assert tracks[102]["bpm"] == 120.0 and tracks[102]["artworkPath"] == "/art/102.jpg", tracks[102]
playlists = {p["id"]: p["tracks"] for p in report["playlists"]}
assert sorted(playlists) == [10, 11, 12, 13, 14, 21, 22], sorted(playlists)
assert playlists[12] == [106, 102, 102], playlists[12]
EOF
echo "install check: 1 passed, 0 failed"

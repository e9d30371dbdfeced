#!/usr/bin/env bash
# Installs the built tree into a temporary prefix and builds a separate
# consumer against it twice, through find_package and through pkg-config,
# then lists the tracks of a database that the installed dovrel builds.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# The installed tool and manual page.
"$prefix/bin/dovrel" --version
test -f "$prefix/share/man/man1/dovrel.1"
request=$(sed "s#\"out/library.pdb\"#\"$work/library.pdb\"#" "$source/examples/library.json")
"$prefix/bin/dovrel" <<<"$request" >"$work/report.json"
expected=$(grep -c '"audioPath"' "$source/examples/library.json")

# find_package(vantrel_pdb CONFIG)
cmake -S "$source/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/list_tracks" "$work/library.pdb" >"$work/cmake-list.txt"
test "$(wc -l <"$work/cmake-list.txt")" -eq "$expected"
grep -q $'^101\tEko Atlantic$' "$work/cmake-list.txt"

# pkg-config
pc_dir=$(dirname "$(find "$prefix" -name vantrel_pdb.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs vantrel_pdb)
# shellcheck disable=SC2086
g++ "$source/tests/consumer/list_tracks.cc" -o "$work/list_tracks_pc" $flags
"$work/list_tracks_pc" "$work/library.pdb" | cmp - "$work/cmake-list.txt"
echo "install check: 1 passed, 0 failed"

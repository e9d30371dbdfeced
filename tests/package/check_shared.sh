#!/usr/bin/env bash
# Builds the library shared (as a package would) with the tool linked to
# it, checks the SONAME, that the exported symbols are the public API's and
# none of the internals', and runs the tool on the example request.
# Usage: check_shared.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
cmake -S "$source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DDOVREL_WERROR=ON \
      -DDOVREL_BUILD_TESTS=OFF -DDOVREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$work/build" -j "$(nproc 2>/dev/null || echo 2)" --target dovrel >/dev/null

version=$(sed -n 's/^project(dovrel VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
soversion=${version%.*}
lib=$work/build/vantrel-pdb/libvantrel_pdb.so.$version
test -f "$lib"
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libvantrel_pdb.so.$soversion" ] || { echo "SONAME is '$soname'" >&2; exit 1; }
ldd "$work/build/src/dovrel" | grep -q "libvantrel_pdb.so.$soversion" || { echo "dovrel is not linked to $soname" >&2; exit 1; }

nm -DC --defined-only "$lib" >"$work/symbols.txt"
for public in 'vantrel_pdb::Library::open' 'vantrel_pdb::validate' 'vantrel_pdb::PdbEditor::add_track' \
              'vantrel_pdb::Database::from_bytes' 'vantrel_pdb::write_file' 'vantrel_pdb::Catalog::Catalog'; do
  grep -qF "$public" "$work/symbols.txt" || { echo "not exported: $public" >&2; exit 1; }
done
for internal in 'IndexedLookup' 'EditorLookup' 'attach_artwork' 'vantrel_pdb::keep_only' 'locate_string' \
                'check_track_row'; do
  if grep -qF "$internal" "$work/symbols.txt"; then echo "exported, but internal: $internal" >&2; exit 1; fi
done

request=$(sed "s#\"out/library.pdb\"#\"$work/library.pdb\"#" "$source/examples/library.json")
"$work/build/src/dovrel" <<<"$request" | grep -q '"version":1}$'
echo "shared library check: 1 passed, 0 failed"

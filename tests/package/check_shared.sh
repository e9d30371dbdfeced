#!/usr/bin/env bash
# Builds the library shared (as a package would) with the tool linked to
# it, checks the SONAME, that the exported symbols are the public API's and
# none of the internals' (no offset constant, editor or test seam), that the
# installed include directory holds the public headers alone and none of
# them names an offset or a coding helper, and runs the tool on the example
# request.
# Usage: check_shared.sh SOURCE_DIR WORK_DIR
set -euo pipefail
# No "grep -q" after a pipe here: it stops reading at the first match, the
# writer may then die of SIGPIPE, and pipefail turns that into a failure.
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
ldd "$work/build/src/dovrel" | grep "libvantrel_pdb.so.$soversion" >/dev/null || { echo "dovrel is not linked to $soname" >&2; exit 1; }

nm -DC --defined-only "$lib" >"$work/symbols.txt"
for public in 'vantrel_pdb::Library::open(' 'vantrel_pdb::Library::open_borrowed(' 'vantrel_pdb::Library::track_rows(' \
              'vantrel_pdb::TrackView::append_text(' 'vantrel_pdb::TrackTable::info(' 'vantrel_pdb::PdbError::message' \
              'vantrel_pdb::write_file(' 'vantrel_pdb::read_database_file(' 'vantrel_pdb::validate_file_start(' \
              'vantrel_pdb::install_temp_file_cleanup(' 'vantrel_pdb::advise_huge_pages(' 'vantrel_pdb::check(' \
              'vantrel_pdb::salvage(' 'vantrel_pdb::finding_kinds(' 'vantrel_pdb::Library::add_history(' \
              'vantrel_pdb::TargetLock::TargetLock(' 'vantrel_pdb::DirectoryLock::lock_all('; do
  grep -qF "$public" "$work/symbols.txt" || { echo "not exported: $public" >&2; exit 1; }
done
# The editor, the reader's records and walks, the check's and the
# salvage's internals, the format's layout and coding, the test seams: none
# of it is the API.
for internal in 'PdbEditor' 'EditorLookup' 'IndexedLookup' 'editor_with_lookup' 'attach_artwork' \
                'vantrel_pdb::keep_only' 'vantrel_pdb::Database' 'vantrel_pdb::Catalog' 'vantrel_pdb::validate(' \
                'locate_string' 'check_track_row' 'append_slot_text' 'decode_string' 'encode_string' 'row_offsets' \
                'vantrel_pdb::format::' 'table_kind' 'track_row::' 'Offset' 'decode_fixed' 'encode_fixed' 'require_bytes' \
                'ForTesting' 'register_temp_file' 'make_blank_image' 'IdMap' 'recover_rows' 'FindingSink' 'HeapMap' \
                'check_track_fits' 'append_history'; do
  if grep -qF "$internal" "$work/symbols.txt"; then echo "exported, but internal: $internal" >&2; exit 1; fi
done

# Installed: the public headers and nothing else, each compiling on its own.
cmake --install "$work/build" --prefix "$work/prefix" --component dev >/dev/null
(cd "$work/prefix/include/vantrel_pdb" && ls) >"$work/headers.txt"
printf '%s\n' api.h bytes.h error.h files.h id_hash.h library.h reading.h | cmp - "$work/headers.txt" ||
  { echo "installed headers: $(tr '\n' ' ' <"$work/headers.txt")" >&2; exit 1; }
if grep -rnE 'Offset|encode_fixed|decode_fixed|PdbEditor|ForTesting|table_kind' "$work/prefix/include"; then
  echo "an installed header names an internal" >&2
  exit 1
fi
for header in "$work"/prefix/include/vantrel_pdb/*.h; do
  echo "#include <vantrel_pdb/$(basename "$header")>" |
    g++ -std=c++23 -fsyntax-only -Wall -Wextra -Werror -I"$work/prefix/include" -x c++ - ||
    { echo "$header does not compile on its own" >&2; exit 1; }
done

request=$(sed "s#\"out/library.pdb\"#\"$work/library.pdb\"#" "$source/examples/library.json")
"$work/build/src/dovrel" <<<"$request" | grep '"version":1}$' >/dev/null
echo "shared library check: 1 passed, 0 failed"

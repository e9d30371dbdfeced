#!/usr/bin/env bash
# Makes the Debian packages with scripts/package.sh and checks them as a
# packager would: names, versions, fields and dependencies; the files of
# each package; stripped and hardened binaries; an install and a purge with
# dpkg in a scratch root, which leaves nothing behind; the tool run from an
# unpacked root on the example request; the library tour built against the
# -dev package through pkg-config (shared and static) and find_package;
# the Python module imported from the unpacked root; and lintian, errors and warnings included, when lintian is installed.
# Usage: check_deb.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
work=$(cd "$work" && pwd)
"$source/scripts/package.sh" "$work/build" >/dev/null
debs=$work/build/debs
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
project_version=$(sed -n 's/^project(dovrel VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
version=$project_version-1
soversion=${project_version%.*}
runtime=libvantrel-pdb$soversion
checked=0

# Like grep -q, but reads its whole input: grep -q stops at the first match,
# and under pipefail the writer it leaves behind (killed by SIGPIPE) would
# fail the pipeline, turning a match into a miss.
found() { grep "$@" >/dev/null; }
fail() { echo "$*" >&2; echo "package check: $checked passed, 1 failed"; exit 1; }
deb_of() { echo "$debs/${1}_${version}_$arch.deb"; }

# The packages, their fields, and exactly these files each (directories aside).
libdir=usr/lib/$triplet
python_version=$(/usr/bin/python3 -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
next_python=${python_version%.*}.$((${python_version#*.} + 1))
pydir=usr/lib/python3/dist-packages/vantrel_pdb
extension=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
declare -A files=(
  [dovrel]="usr/bin/dovrel usr/share/man/man1/dovrel.1.gz usr/share/bash-completion/completions/dovrel
            usr/share/dovrel/request.schema.json
            usr/share/dovrel/report.schema.json usr/share/dovrel/summary.schema.json
            usr/share/dovrel/export.schema.json usr/share/dovrel/check.schema.json
            usr/share/dovrel/salvage.schema.json"
  [$runtime]="$libdir/libvantrel_pdb.so.$soversion $libdir/libvantrel_pdb.so.$project_version"
  [libvantrel-pdb-dev]="$libdir/libvantrel_pdb.a $libdir/libvantrel_pdb.so $libdir/pkgconfig/vantrel_pdb.pc
            $libdir/cmake/vantrel_pdb/vantrel_pdbConfig.cmake $libdir/cmake/vantrel_pdb/vantrel_pdbConfigVersion.cmake
            $libdir/cmake/vantrel_pdb/vantrel_pdbTargets.cmake $libdir/cmake/vantrel_pdb/vantrel_pdbTargets-none.cmake
            $(cd "$source/vantrel-pdb/include" && find vantrel_pdb -name '*.h' -printf 'usr/include/%p\n')"
  [python3-vantrel-pdb]="$pydir/__init__.py $pydir/__init__.pyi $pydir/py.typed $pydir/_vantrel_pdb$extension"
)
declare -A depends=(
  [dovrel]="$runtime (= $version)|libc6|libstdc++6|libsimdjson|libtag1v5"
  [$runtime]="libc6|libstdc++6"
  [libvantrel-pdb-dev]="$runtime (= $version)"
  [python3-vantrel-pdb]="$runtime (= $version)|python3 (>= $python_version~)|python3 (<< $next_python)|libstdc++6"
)
for package in "${!files[@]}"; do
  deb=$(deb_of "$package")
  [ -f "$deb" ] || fail "missing package $(basename "$deb"); made: $(ls "$debs")"
  [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "$deb: wrong Package field"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: wrong Version field"
  [ "$(dpkg-deb -f "$deb" Maintainer)" = "dovrel developers <dovrel@example.org>" ] || fail "$deb: Maintainer"
  description=$(dpkg-deb -f "$deb" Description)
  (($(wc -l <<<"$description") > 2)) || fail "$package: no extended description"
  IFS='|' read -ra wanted <<<"${depends[$package]}"
  for dependency in "${wanted[@]}"; do
    dpkg-deb -f "$deb" Depends | found -F "$dependency" || fail "$package does not depend on $dependency"
  done
  expected=$(printf '%s\n' ${files[$package]} "usr/share/doc/$package/copyright" \
               "usr/share/doc/$package/changelog.Debian.gz" "usr/share/lintian/overrides/$package" | sort)
  actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}' | sort)
  [ "$actual" = "$expected" ] || fail "$package: files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"
  checked=$((checked + 1))
done
ls "$debs"/*.deb | grep -vqE "/(dovrel|$runtime|libvantrel-pdb-dev|python3-vantrel-pdb)_" &&
  fail "unexpected package in $(ls "$debs")"
# The runtime package runs ldconfig through the trigger, with no scripts.
[ "$(dpkg-deb -I "$(deb_of "$runtime")" triggers)" = "activate-noawait ldconfig" ] || fail "no ldconfig trigger"
dpkg-deb -I "$(deb_of "$runtime")" postinst >/dev/null 2>&1 && fail "$runtime has a postinst"
dpkg-deb -I "$(deb_of "$runtime")" shlibs | found -F "libvantrel_pdb $soversion $runtime (= $version)" ||
  fail "shlibs does not name $runtime"

# Unpacked: stripped, hardened, and the tool runs.
root=$work/root
for package in "${!files[@]}"; do dpkg-deb -x "$(deb_of "$package")" "$root"; done
for binary in "$root/usr/bin/dovrel" "$root/$libdir/libvantrel_pdb.so.$project_version" \
              "$root/$pydir/_vantrel_pdb$extension"; do
  readelf -SW "$binary" | found -E '\.(debug_info|comment) ' && fail "$binary is not stripped"
  readelf -dW "$binary" | found 'BIND_NOW' || fail "$binary is not linked with -z now"
  readelf -lW "$binary" | found 'GNU_RELRO' || fail "$binary has no RELRO segment"
  nm -D "$binary" | found ' U __stack_chk_fail@' || fail "$binary is built without the stack protector"
done
readelf -SW "$root/$libdir/libvantrel_pdb.a" | found '\.debug_info ' && fail "the static library keeps debug data"
# _FORTIFY_SOURCE: the library's bounded formatting goes through the checked form.
nm -D "$root/$libdir/libvantrel_pdb.so.$project_version" | found ' U __snprintf_chk@' ||
  fail "the library calls no fortified function"
zcat "$root/usr/share/doc/dovrel/changelog.Debian.gz" | sed -n 1p | found -F "dovrel ($version) " ||
  fail "changelog is not at $version"
export LD_LIBRARY_PATH=$root/$libdir
"$root/usr/bin/dovrel" --version | found -x "dovrel $project_version" || fail "the unpacked dovrel does not run"
request=$(sed "s#\"out/library.pdb\"#\"$work/library.pdb\"#" "$source/examples/library.json")
"$root/usr/bin/dovrel" <<<"$request" | found '"version":1}$' || fail "the unpacked dovrel cannot build"
checked=$((checked + 1))

# The -dev package as a C++23 consumer sees it: pkg-config (the shared
# library, then the static one) and the CMake package.
pc="env PKG_CONFIG_PATH=$root/$libdir/pkgconfig pkg-config"
# shellcheck disable=SC2046
g++ -std=c++23 "$source/examples/library_tour.cc" -o "$work/tour-shared" $($pc --cflags --libs vantrel_pdb)
ldd "$work/tour-shared" | found "$root/$libdir/libvantrel_pdb.so.$soversion" || fail "tour not linked to $runtime"
# shellcheck disable=SC2046
g++ -std=c++23 "$source/examples/library_tour.cc" -o "$work/tour-static" $($pc --cflags vantrel_pdb) \
    "$root/$libdir/libvantrel_pdb.a"
ldd "$work/tour-static" | found libvantrel_pdb && fail "static tour still needs the shared library"
cmake -S "$source/examples" -B "$work/tour-cmake" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/tour-cmake" >/dev/null
for tour in "$work/tour-shared" "$work/tour-static" "$work/tour-cmake/library_tour"; do
  "$tour" "$work/library.pdb" "$work/tour.pdb" >"$work/tour.txt" || fail "$tour failed"
  grep -q '^tracks: 30 ' "$work/tour.txt" || fail "$tour printed an unexpected listing"
done
# The module from the unpacked root reads the file the unpacked tool built
# (-I: neither PYTHONPATH nor the user's site-packages; the root comes first).
/usr/bin/python3 -I -c "
import sys
sys.path.insert(0, '$root/usr/lib/python3/dist-packages')
import vantrel_pdb
assert vantrel_pdb.__file__.startswith('$root/'), vantrel_pdb.__file__
assert vantrel_pdb.__version__ == '$project_version', vantrel_pdb.__version__
assert len(vantrel_pdb.open('$work/library.pdb').tracks) == 30
" || fail "the unpacked Python module does not import or read"
unset LD_LIBRARY_PATH
checked=$((checked + 1))

# Installed and purged by dpkg in a scratch root: no files are left.
admin=$work/dpkg-root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" && touch "$admin/status"
dpkg_root=(dpkg --root="$work/dpkg-root" --force-depends --force-not-root --log=/dev/null)
"${dpkg_root[@]}" -i "$(deb_of "$runtime")" "$(deb_of libvantrel-pdb-dev)" "$(deb_of dovrel)" \
  "$(deb_of python3-vantrel-pdb)" >"$work/dpkg.log" 2>&1 ||
  fail "dpkg -i failed: $(cat "$work/dpkg.log")"
"${dpkg_root[@]}" -P dovrel libvantrel-pdb-dev python3-vantrel-pdb "$runtime" >>"$work/dpkg.log" 2>&1 || fail "dpkg -P failed"
left=$(find "$work/dpkg-root" -mindepth 1 -not -path "$work/dpkg-root/var*")
[ -z "$left" ] || fail "left after purge: $left"
checked=$((checked + 1))

# lintian is optional: without it this part is skipped with a message.
if command -v lintian >/dev/null; then
  lintian --pedantic --fail-on error,warning "$debs"/*.deb 2>/dev/null || fail "lintian found errors or warnings"
  checked=$((checked + 1))
else
  echo "lintian is not installed: lintian check skipped (apt-get install lintian)"
fi
echo "package check: $checked passed, 0 failed"

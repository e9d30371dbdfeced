#!/usr/bin/env bash
# Makes the Debian packages with scripts/package.sh and checks them as a
# packager would: names, versions, fields and dependencies; the files of
# each package; stripped and hardened binaries; an install and a purge with
# dpkg in a scratch root, which leaves nothing behind; the tool run from an
# unpacked root on the example request; the library tour built against the
# -dev package through pkg-config (shared and static) and find_package;
# and lintian, errors and warnings included, when lintian is installed.
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

fail() { echo "$*" >&2; echo "package check: $checked passed, 1 failed"; exit 1; }
deb_of() { echo "$debs/${1}_${version}_$arch.deb"; }

# The packages, their fields, and exactly these files each (directories aside).
libdir=usr/lib/$triplet
declare -A files=(
  [dovrel]="usr/bin/dovrel usr/share/man/man1/dovrel.1.gz usr/share/dovrel/request.schema.json
            usr/share/dovrel/report.schema.json"
  [$runtime]="$libdir/libvantrel_pdb.so.$soversion $libdir/libvantrel_pdb.so.$project_version"
  [libvantrel-pdb-dev]="$libdir/libvantrel_pdb.a $libdir/libvantrel_pdb.so $libdir/pkgconfig/vantrel_pdb.pc
            $libdir/cmake/vantrel_pdb/vantrel_pdbConfig.cmake $libdir/cmake/vantrel_pdb/vantrel_pdbConfigVersion.cmake
            $libdir/cmake/vantrel_pdb/vantrel_pdbTargets.cmake $libdir/cmake/vantrel_pdb/vantrel_pdbTargets-none.cmake
            $(cd "$source/vantrel-pdb/include" && find vantrel_pdb -name '*.h' -printf 'usr/include/%p\n')"
)
declare -A depends=(
  [dovrel]="$runtime (= $version)|libc6|libstdc++6|libsimdjson"
  [$runtime]="libc6|libstdc++6"
  [libvantrel-pdb-dev]="$runtime (= $version)"
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
    dpkg-deb -f "$deb" Depends | grep -qF "$dependency" || fail "$package does not depend on $dependency"
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
dpkg-deb -I "$(deb_of "$runtime")" shlibs | grep -qF "libvantrel_pdb $soversion $runtime (= $version)" ||
  fail "shlibs does not name $runtime"

# Unpacked: stripped, hardened, and the tool runs.
root=$work/root
for package in "${!files[@]}"; do dpkg-deb -x "$(deb_of "$package")" "$root"; done
for binary in "$root/usr/bin/dovrel" "$root/$libdir/libvantrel_pdb.so.$project_version"; do
  readelf -SW "$binary" | grep -qE '\.(debug_info|comment) ' && fail "$binary is not stripped"
  readelf -dW "$binary" | grep -q 'BIND_NOW' || fail "$binary is not linked with -z now"
  readelf -lW "$binary" | grep -q 'GNU_RELRO' || fail "$binary has no RELRO segment"
  nm -D "$binary" | grep -q ' U __stack_chk_fail@' || fail "$binary is built without the stack protector"
done
readelf -SW "$root/$libdir/libvantrel_pdb.a" | grep -q '\.debug_info ' && fail "the static library keeps debug data"
# _FORTIFY_SOURCE: the library's bounded formatting goes through the checked form.
nm -D "$root/$libdir/libvantrel_pdb.so.$project_version" | grep -q ' U __snprintf_chk@' ||
  fail "the library calls no fortified function"
zcat "$root/usr/share/doc/dovrel/changelog.Debian.gz" | head -n 1 | grep -qF "dovrel ($version) " ||
  fail "changelog is not at $version"
export LD_LIBRARY_PATH=$root/$libdir
"$root/usr/bin/dovrel" --version | grep -qx "dovrel $project_version" || fail "the unpacked dovrel does not run"
request=$(sed "s#\"out/library.pdb\"#\"$work/library.pdb\"#" "$source/examples/library.json")
"$root/usr/bin/dovrel" <<<"$request" | grep -q '"version":1}$' || fail "the unpacked dovrel cannot build"
checked=$((checked + 1))

# The -dev package as a C++23 consumer sees it: pkg-config (the shared
# library, then the static one) and the CMake package.
pc="env PKG_CONFIG_PATH=$root/$libdir/pkgconfig pkg-config"
# shellcheck disable=SC2046
g++ -std=c++23 "$source/examples/library_tour.cc" -o "$work/tour-shared" $($pc --cflags --libs vantrel_pdb)
ldd "$work/tour-shared" | grep -q "$root/$libdir/libvantrel_pdb.so.$soversion" || fail "tour not linked to $runtime"
# shellcheck disable=SC2046
g++ -std=c++23 "$source/examples/library_tour.cc" -o "$work/tour-static" $($pc --cflags vantrel_pdb) \
    "$root/$libdir/libvantrel_pdb.a"
ldd "$work/tour-static" | grep -q libvantrel_pdb && fail "static tour still needs the shared library"
cmake -S "$source/examples" -B "$work/tour-cmake" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/tour-cmake" >/dev/null
for tour in "$work/tour-shared" "$work/tour-static" "$work/tour-cmake/library_tour"; do
  "$tour" "$work/library.pdb" "$work/tour.pdb" >"$work/tour.txt" || fail "$tour failed"
  grep -q '^tracks: 30 ' "$work/tour.txt" || fail "$tour printed an unexpected listing"
done
unset LD_LIBRARY_PATH
checked=$((checked + 1))

# Installed and purged by dpkg in a scratch root: no files are left.
admin=$work/dpkg-root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" && touch "$admin/status"
dpkg_root=(dpkg --root="$work/dpkg-root" --force-depends --force-not-root --log=/dev/null)
"${dpkg_root[@]}" -i "$(deb_of "$runtime")" "$(deb_of libvantrel-pdb-dev)" "$(deb_of dovrel)" >"$work/dpkg.log" 2>&1 ||
  fail "dpkg -i failed: $(cat "$work/dpkg.log")"
"${dpkg_root[@]}" -P dovrel libvantrel-pdb-dev "$runtime" >>"$work/dpkg.log" 2>&1 || fail "dpkg -P failed"
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

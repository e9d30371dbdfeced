#!/usr/bin/env bash
# Builds the Debian package with CPack, checks its name and dependencies,
# unpacks it into a temporary root and runs the installed dovrel on the
# example request.
# Usage: check_deb.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work/cpack" >/dev/null)
deb=$(ls "$work"/cpack/dovrel_*_*.deb)
case "$(basename "$deb")" in
  dovrel_[0-9]*.[0-9]*.[0-9]*_"$(dpkg --print-architecture)".deb) ;;
  *) echo "unexpected package name $deb" >&2; exit 1 ;;
esac
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libsimdjson; do
  grep -q "$lib" <<<"$depends" || { echo "missing dependency on $lib" >&2; exit 1; }
done
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/dovrel" --version
test -f "$work/root/usr/share/man/man1/dovrel.1"
request=$(sed "s#\"out/library.pdb\"#\"$work/library.pdb\"#" "$source/examples/library.json")
"$work/root/usr/bin/dovrel" <<<"$request" | grep -q '"version":1}$'
echo "package check: 1 passed, 0 failed"

#!/usr/bin/env bash
# Makes the Debian packages (dovrel, libvantrel-pdb0.1, libvantrel-pdb-dev,
# python3-vantrel-pdb) in BUILD_DIR/debs from one shared build of this tree: Debian's build
# flags (dpkg-buildflags, with every hardening feature: fortify, stack
# protector, relro and bindnow), installed under /usr, warnings as errors.
# The Python package needs python3-dev and pybind11-dev; VANTREL_PDB_PYTHON=OFF
# in the environment leaves it out.
# Usage: scripts/package.sh [BUILD_DIR]   (default: build/package)
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source/build/package}
jobs=$(nproc 2>/dev/null || echo 2)
((jobs <= 2)) || jobs=2  # the machine is shared: two jobs at most

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)

# Build type "None": the optimisation and debug flags are Debian's alone.
cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
      -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" -DBUILD_SHARED_LIBS=ON -DDOVREL_DEBIAN_PACKAGE=ON \
      -DVANTREL_PDB_PYTHON="${VANTREL_PDB_PYTHON:-ON}" \
      -DDOVREL_WERROR=ON -DDOVREL_BUILD_TESTS=OFF -DDOVREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null
rm -rf "$build/debs"
(cd "$build" && cpack -B "$build/debs" >/dev/null)
rm -rf "$build/debs/_CPack_Packages"
ls "$build"/debs/*.deb

#!/usr/bin/env bash
# Finishes the packages CPack made as Debian's own tools would: strips the
# binaries the way dh_strip does (no debug data, no .comment or .note
# sections; static libraries keep their symbols), and gives a package with
# a shared library the ldconfig trigger in place of CPack's postinst and
# postrm that call ldconfig. Then it rewrites md5sums and Installed-Size.
# Runs from CPack's post-build hook (cmake/DebianFinish.cmake).
# Usage: finish-debs.sh DEB ...
set -euo pipefail

strip_tree() {
  local root=$1 file
  while IFS= read -r -d '' file; do
    case $file in
      *.a)
        strip --strip-debug --remove-section=.comment --remove-section=.note --enable-deterministic-archives "$file" ;;
      *.so | *.so.*)
        strip --strip-unneeded --remove-section=.comment --remove-section=.note "$file" ;;
      *)
        # Other ELF files are programs; anything else is left alone.
        if [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
          strip --remove-section=.comment --remove-section=.note "$file"
        fi ;;
    esac
  done < <(find "$root" -path "$root/DEBIAN" -prune -o -type f -print0)
}

for deb in "$@"; do
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' EXIT
  chmod 755 "$tree"  # the root directory of the package, as dpkg-deb records it
  dpkg-deb -R "$deb" "$tree"
  strip_tree "$tree"
  if [ -f "$tree/DEBIAN/triggers" ]; then
    # The trigger runs ldconfig once per dpkg run; the scripts would again.
    for script in postinst postrm; do
      if [ -f "$tree/DEBIAN/$script" ] &&
         ! grep -Eqv '^(#!/bin/sh|set -e|if \[ "\$1" = "[a-z]+" \]; then|[[:space:]]*ldconfig|fi|)$' "$tree/DEBIAN/$script"; then
        rm "$tree/DEBIAN/$script"
      fi
    done
  fi
  (cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | LC_ALL=C sort | xargs -r md5sum) \
    >"$tree/DEBIAN/md5sums"
  size=$(du -sk --exclude=DEBIAN "$tree" | cut -f1)
  sed -i "s/^Installed-Size: .*/Installed-Size: $size/" "$tree/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$tree" "$deb" >/dev/null
  rm -rf "$tree"
  trap - EXIT
done

#!/usr/bin/env bash
# Builds the Debian packages of a source tree with dpkg-buildpackage, in a copy
# of the tree (what git tracks or would track, uncommitted work included), so
# that the tree gets no build files and the packages land in OUT_DIR.
# Usage: build-debs.sh [--version V] SOURCE_DIR OUT_DIR [dpkg-buildpackage options]
# --version adds a changelog entry for version V to the copy first.
set -euo pipefail
version=
if [ "$1" = --version ]; then version=$2; shift 2; fi
source=$(realpath "$1") out=$2
shift 2
rm -rf "$out"
mkdir -p "$out/sensormidi"
(cd "$source" && git ls-files -z -co --exclude-standard) |
    while IFS= read -r -d '' f; do [ ! -e "$source/$f" ] || printf '%s\0' "$f"; done |
    tar -C "$source" --null -T - -cf - | tar -C "$out/sensormidi" -xf -
cd "$out/sensormidi"
if [ -n "$version" ]; then
    { printf 'sensormidi (%s) unstable; urgency=medium\n\n  * Rebuilt as a newer version.\n\n' "$version"
      printf ' -- %s  %s\n\n' "$(dpkg-parsechangelog -S Maintainer)" "$(date -R)"
      cat debian/changelog; } >debian/changelog.new
    mv debian/changelog.new debian/changelog
fi
dpkg-buildpackage -us -uc "$@" >"$out/build.log" 2>&1 || { tail -n 60 "$out/build.log"; exit 1; }

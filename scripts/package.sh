#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# package.sh <output dir>
#
# Builds the Debian source and binary packages of this source tree with
# debhelper (dpkg-buildpackage, recipe in debian/) and leaves in <output dir>:
# the upstream tarball tarn-utils_<upstream>.orig.tar.gz, the .dsc and
# .debian.tar.xz of the source package, the .deb files (the -dbgsym ones
# included), and the .buildinfo and .changes files.
#
# The source format is 3.0 (quilt): the upstream tarball is made here from
# the tree, less debian/, and debian/ goes into the .debian.tar.xz.
# dpkg-buildpackage builds inside the source tree and writes its results
# into the tree's parent directory. So that neither the checkout nor the
# directory above it is touched, the tracked files are copied to
# <output dir>/src/tarn-utils-<upstream>/ and built there; the copy is
# removed once the packages are out. A tree that is not a git checkout is
# copied whole, less its build directories.
#
# Everything is reproducible: the same sources give the same bytes in any
# directory. The tarball has its files in name order, owned by root, with
# the date of debian/changelog and normalised modes; debhelper takes
# SOURCE_DATE_EPOCH from the same date, and dpkg-buildflags maps the build
# path away with -ffile-prefix-map. The compiler and linker flags are
# Debian's own (hardening included): CFLAGS, CXXFLAGS, CPPFLAGS and LDFLAGS
# of the caller are ignored; use DEB_CXXFLAGS_APPEND and the like to change
# them on purpose. DEB_BUILD_OPTIONS is heeded (nocheck skips the unit
# tests that the build runs otherwise).
set -euo pipefail

die() {
    echo "package.sh: $*" >&2
    exit 1
}

if [ $# -ne 1 ] || [ -z "$1" ]; then die "usage: package.sh <output dir>"; fi

source_dir=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$source_dir/debian/control" ] || die "no debian/control in $source_dir"
for tool in dpkg-buildpackage dpkg-parsechangelog dh; do
    command -v "$tool" >/dev/null 2>&1 ||
        die "$tool is missing: install dpkg-dev and debhelper (./dev.sh package does)"
done

out=$(realpath -m -- "$1")
case $out/ in
"$source_dir"/build* | "$source_dir"/out/*) ;; # ignored by git and by the copy below
"$source_dir"/*) die "the output directory must not be inside the source tree, except under build*/ or out/: $out" ;;
esac
mkdir -p "$out" || die "cannot create the output directory $out"

version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version) ||
    die "cannot read the version from debian/changelog"
timestamp=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Timestamp)
# <upstream>-<Debian revision>, and the upstream part is the project's
# version: a release adds a changelog entry <new version>-1.
upstream=${version%-*}
project_version=$(sed -n '/^project(tarn-utils/,/)/s/^ *VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
[ "$upstream" != "$version" ] ||
    die "debian/changelog says $version, which has no Debian revision (e.g. $version-1)"
[ "$upstream" = "$project_version" ] ||
    die "debian/changelog says $version, CMakeLists.txt says ${project_version:-no version}: add a changelog entry (dch -v $project_version-1)"
tree=$out/src/tarn-utils-$upstream
orig=tarn-utils_$upstream.orig.tar.gz

# Only what this script writes is removed, never anything else in <output dir>.
rm -rf "$out/src"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.buildinfo "$out"/*.changes "$out"/*.dsc \
    "$out"/*.orig.tar.gz "$out"/*.debian.tar.xz
mkdir -p "$tree"

echo "package.sh: copying the sources of tarn-utils $version to $tree"
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1 &&
    [ "$(git -C "$source_dir" rev-parse --show-toplevel)" = "$source_dir" ]; then
    # Tracked files as they are in the work tree, plus new files not yet
    # added (but not ignored ones); a deleted tracked file stays out.
    (
        cd "$source_dir"
        git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do
                if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
            done |
            tar --null --no-recursion -T - -cf -
    ) | tar -xf - -C "$tree" || die "copying the sources failed"
else
    tar -C "$source_dir" --anchored --exclude='./build*' --exclude=./out --exclude=./.git \
        -cf - . | tar -xf - -C "$tree" || die "copying the sources failed"
fi

echo "package.sh: making the upstream tarball $orig"
# --mode: the work tree's modes depend on the umask; keep only whether a
# file is executable.
tar -C "$out/src" --sort=name --format=gnu --mtime="@$timestamp" --owner=0 --group=0 \
    --numeric-owner --mode='u=rwX,go=rX' --anchored --exclude="tarn-utils-$upstream/debian" \
    -cf - "tarn-utils-$upstream" | gzip -9 -n >"$out/src/$orig" ||
    die "making the upstream tarball failed"

unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
jobs=$(nproc 2>/dev/null || echo 2)
echo "package.sh: dpkg-buildpackage in $tree"
(cd "$tree" && dpkg-buildpackage -us -uc -j"$jobs") || die "dpkg-buildpackage failed (build tree kept in $tree)"

shopt -s nullglob
results=("$out"/src/*.deb "$out"/src/*.ddeb "$out"/src/*.buildinfo "$out"/src/*.changes
    "$out"/src/*.dsc "$out/src/$orig" "$out"/src/*.debian.tar.xz)
shopt -u nullglob
[ ${#results[@]} -gt 0 ] || die "dpkg-buildpackage left no packages in $out/src"
mv "${results[@]}" "$out"/
rm -rf "$out/src"
echo "package.sh: packages in $out:"
(cd "$out" && ls -1 -- *.dsc *.deb)

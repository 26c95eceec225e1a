#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# package.sh <output dir>
#
# Builds the Debian packages of this source tree with debhelper
# (dpkg-buildpackage -b, recipe in debian/) and leaves the .deb files, the
# -dbgsym ones included, and the .buildinfo and .changes files directly in
# <output dir>.
#
# dpkg-buildpackage builds inside the source tree and writes its results
# into the tree's parent directory. So that neither the checkout nor the
# directory above it is touched, the tracked files are copied to
# <output dir>/src/tarn-utils-<version>/ and built there; the copy is
# removed once the packages are out. A tree that is not a git checkout is
# copied whole, less its build directories.
#
# The packages are reproducible: the same sources give the same bytes in any
# directory (debhelper takes SOURCE_DATE_EPOCH from debian/changelog, and
# dpkg-buildflags maps the build path away with -ffile-prefix-map). The
# compiler and linker flags are Debian's own (hardening included): CFLAGS,
# CXXFLAGS, CPPFLAGS and LDFLAGS of the caller are ignored; use
# DEB_CXXFLAGS_APPEND and the like to change them on purpose.
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
# The package version is the project's: a release bumps both together.
project_version=$(sed -n '/^project(tarn-utils/,/)/s/^ *VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
[ "$version" = "$project_version" ] ||
    die "debian/changelog says $version, CMakeLists.txt says ${project_version:-no version}: add a changelog entry (dch -v $project_version)"
tree=$out/src/tarn-utils-$version

# Only what this script writes is removed, never anything else in <output dir>.
rm -rf "$out/src"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.buildinfo "$out"/*.changes
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

unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
jobs=$(nproc 2>/dev/null || echo 2)
echo "package.sh: dpkg-buildpackage -b in $tree"
(cd "$tree" && dpkg-buildpackage -b -us -uc -j"$jobs") || die "dpkg-buildpackage failed (build tree kept in $tree)"

shopt -s nullglob
results=("$out"/src/*.deb "$out"/src/*.ddeb "$out"/src/*.buildinfo "$out"/src/*.changes)
shopt -u nullglob
[ ${#results[@]} -gt 0 ] || die "dpkg-buildpackage left no packages in $out/src"
mv "${results[@]}" "$out"/
rm -rf "$out/src"
echo "package.sh: packages in $out:"
(cd "$out" && ls -1 -- *.deb)

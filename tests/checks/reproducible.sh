#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# reproducible.sh <packages dir> <scratch dir>
#
# Builds the packages of this source tree a second time, into <scratch dir>
# (another path than the first build), with scripts/package.sh, and fails
# unless every .deb and the source package (upstream tarball, .debian.tar.xz,
# .dsc) of <packages dir> come out byte for byte the same, and no file is
# missing or extra. The second build skips the unit tests (nocheck), which
# must change nothing in the packages, and saves the time they take.
set -euo pipefail

die() {
    echo "reproducible.sh: $*" >&2
    exit 1
}

[ $# -eq 2 ] || die "usage: reproducible.sh <packages dir> <scratch dir>"
first=$(cd "$1" && pwd) || die "no packages directory $1"
second=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$second"
DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }nocheck" \
    "$source_dir/scripts/package.sh" "$second" >"${second%/}.log" 2>&1 || {
    tail -n 40 "${second%/}.log" >&2
    die "the second build failed (log: ${second%/}.log)"
}

sums() { (cd "$1" && sha256sum -- *.deb *.dsc *.tar.*); }
[ -n "$(cd "$first" && echo *.deb)" ] || die "no .deb files in $first"
if ! diff -u <(sums "$first") <(sums "$second") >"${second%/}.diff"; then
    cat "${second%/}.diff" >&2
    # Show where a differing package differs, to start the search.
    for deb in "$first"/*.deb; do
        other=$second/$(basename "$deb")
        if [ ! -f "$other" ] || cmp -s "$deb" "$other"; then continue; fi
        echo "--- $(basename "$deb"): contents, first build vs second" >&2
        diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$other") >&2 || true
        diff <(dpkg-deb -I "$deb") <(dpkg-deb -I "$other") >&2 || true
    done
    die "two builds of the same sources gave different packages"
fi
echo "reproducible.sh: identical: $(cd "$first" && echo *.dsc *.tar.* *.deb)"

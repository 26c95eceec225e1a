#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# lintian.sh <dir>
#
# Runs lintian, pedantic and experimental tags included, on every .deb and
# .changes file in <dir> (scripts/package.sh's output; the .changes file
# brings the source package along) and fails on any error (E:) or warning
# (W:). Info, pedantic and experimental tags are printed but pass: the
# README's packaging section says which are left and why. Exits 77 (skipped)
# when lintian is not installed.
set -euo pipefail

die() {
    echo "lintian.sh: $*" >&2
    exit 1
}

[ $# -eq 1 ] || die "usage: lintian.sh <dir with the packages>"
dir=$1

if ! command -v lintian >/dev/null 2>&1; then
    echo "lintian.sh: lintian is not installed (apt-get install lintian): skipped"
    exit 77
fi

shopt -s nullglob
debs=("$dir"/*.deb)
changes=("$dir"/*.changes)
shopt -u nullglob
[ ${#debs[@]} -gt 0 ] || die "no .deb files in $dir"
[ ${#changes[@]} -gt 0 ] || die "no .changes file in $dir"

# debian/control declares the Standards-Version of the archive the packages
# are for (unstable). An older lintian (Debian 12's knows 4.6.2 at most) warns
# that the version is newer than it knows, which says that lintian is out of
# date, not the packages: that one tag is left out there, and only there.
suppress=()
declared=$(sed -n 's/^Standards-Version: *//p' "$(dirname "$0")/../../debian/control")
known=$(grep -o '"version" *: *"[0-9.]*"' /usr/share/lintian/data/debian-policy/releases.json 2>/dev/null |
    head -n 1 | grep -o '[0-9][0-9.]*' || true)
if [ -n "$known" ] && dpkg --compare-versions "$declared" gt "$known"; then
    echo "lintian.sh: this lintian knows Standards-Version $known at most, debian/control says $declared:" \
        "newer-standards-version left out"
    suppress=(--suppress-tags newer-standards-version)
fi

# lintian's own exit status covers errors only, and not every kind of
# failure to run; the tags are what counts.
status=0
report=$(lintian --display-info --pedantic --display-experimental --fail-on error,warning \
    "${suppress[@]}" "${debs[@]}" "${changes[@]}" 2>&1) || status=$?
echo "lintian on: $(cd "$dir" && echo *.deb *.changes)"
[ -z "$report" ] || echo "$report"

bad=$(grep -E '^[EW]: ' <<<"$report" || true)
[ -z "$bad" ] || die "lintian reports $(wc -l <<<"$bad") error or warning tag(s):"$'\n'"$bad"
[ "$status" -eq 0 ] || die "lintian failed (exit status $status)"
echo "lintian.sh: no errors or warnings"

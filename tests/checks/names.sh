#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# names.sh <directory> <library name> <version> [--only <regex>] [--not <regex>]...
#
# Checks the file names a client and the dynamic linker rely on, e.g. for
# libtarn-utils 4.0.0 in <directory>:
#   libtarn-utils.so -> libtarn-utils.so.4 -> libtarn-utils.so.4.0.0
# with SONAME libtarn-utils.so.4, and the library's NEEDED entries: every one
# must match the --only pattern (when given) and none a --not pattern.
set -euo pipefail

dir=$1 name=$2 version=$3
shift 3
only='' nots=()
while [ $# -gt 0 ]; do
    case $1 in
    --only) only=$2 ;;
    --not) nots+=("$2") ;;
    *) echo "names.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done

readelf=${READELF:-readelf}
major=${version%%.*}
linker=$name.so soname=$name.so.$major real=$name.so.$version
failures=0
fail() {
    echo "$*" >&2
    failures=$((failures + 1))
}

expect_link() {
    local link=$dir/$1 target=$2
    if [ ! -L "$link" ]; then
        fail "$1 is missing or not a symbolic link"
    elif [ "$(readlink "$link")" != "$target" ]; then
        fail "$1 points to $(readlink "$link"), expected $target"
    fi
}
expect_link "$linker" "$soname"
expect_link "$soname" "$real"
if [ ! -f "$dir/$real" ] || [ -L "$dir/$real" ]; then
    echo "$real is missing or not a regular file" >&2
    exit 1
fi

dynamic=$("$readelf" -d "$dir/$real")
actual_soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
[ "$actual_soname" = "$soname" ] || fail "$real has SONAME '$actual_soname', expected $soname"

mapfile -t needed < <(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
for library in "${needed[@]}"; do
    if [ -n "$only" ] && ! [[ $library =~ $only ]]; then
        fail "$real needs $library, which it must not (allowed: $only)"
    fi
    for pattern in "${nots[@]}"; do
        if [[ $library =~ $pattern ]]; then
            fail "$real needs $library, which it must not"
        fi
    done
done

[ "$failures" -eq 0 ] || exit 1
echo "$real: SONAME $soname, links $linker -> $soname -> $real, needs ${needed[*]}"

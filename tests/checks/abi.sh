#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# abi.sh check|update <shared library> <record> <public headers dir>
#
# The ABI guard. `update` writes the library's ABI (libabigail's abidw) to
# <record>, which lives in the repository; `check` compares a fresh build
# with that record (abidiff). Added functions and types pass; a removed or
# changed one fails. Only a GCC build with debug information and without a
# sanitizer runtime can be compared, since the record describes such a
# build (Clang's debug information describes the same ABI differently):
# `check` skips others (exit 77), `update` refuses them.
set -euo pipefail

mode=$1 library=$2 record=$3 headers=$4
name=$(basename "$record" .abi)

for tool in abidw abidiff readelf; do
    command -v "$tool" >/dev/null ||
        { echo "abi.sh: $tool not found (Debian packages abigail-tools, binutils; ./dev.sh test installs them)" >&2; exit 1; }
done

[ -f "$library" ] || { echo "abi.sh: no such library: $library" >&2; exit 1; }

# The options shared by recording and checking. Locations, paths and the
# NEEDED list are left out so that the record only changes with the ABI;
# undefined symbols and types outside the public headers are not ours.
abidw_options=(--no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed
               --type-id-style hash --drop-undefined-syms
               --headers-dir "$headers" --drop-private-types)

not_comparable() {
    local sections dynamic comment
    sections=$(readelf -S "$library") && dynamic=$(readelf -d "$library") &&
        comment=$(readelf -p .comment "$library" 2>/dev/null) ||
        { echo "abi.sh: cannot read $library" >&2; exit 1; }
    if ! grep -q '\.debug_info' <<<"$sections"; then
        echo "$library has no debug information (build type RelWithDebInfo or Debug needed)"
    elif grep -Eq 'NEEDED.*\[lib(a|ub|t|l|hwa)san\.so' <<<"$dynamic"; then
        echo "$library is a sanitizer build"
    elif grep -q 'clang version' <<<"$comment"; then
        echo "$library was compiled by Clang, the record by GCC"
    else
        return 1
    fi
}

case $mode in
update)
    if reason=$(not_comparable); then
        echo "abi.sh: $reason; record the ABI from a plain build (./dev.sh abi-update)" >&2
        exit 1
    fi
    mkdir -p "$(dirname "$record")"
    abidw "${abidw_options[@]}" --out-file "$record" "$library"
    echo "recorded the ABI of $library in $record"
    ;;
check)
    if reason=$(not_comparable); then
        echo "skipped: $reason, which cannot be compared with $record"
        exit 77
    fi
    if [ ! -f "$record" ]; then
        echo "No ABI record $record for $library: run ./dev.sh abi-update and commit it." >&2
        exit 1
    fi
    fresh=$(mktemp)
    trap 'rm -f "$fresh"' EXIT
    abidw "${abidw_options[@]}" --out-file "$fresh" "$library"

    # abidiff's status is a bit mask: 1 error, 2 usage error, 4 the ABI
    # changed, 8 the change is incompatible (e.g. a removed symbol). A
    # changed signature or type layout only sets 4, like an addition does,
    # so 4 is judged again with additions ignored.
    status=0
    abidiff "$record" "$fresh" || status=$?
    if [ $((status & 3)) -ne 0 ]; then
        echo "abi.sh: abidiff failed (status $status)" >&2
        exit 1
    fi
    if [ $((status & 4)) -ne 0 ]; then
        if [ $((status & 8)) -eq 0 ]; then
            status=0
            abidiff --no-added-syms "$record" "$fresh" >/dev/null || status=$?
        fi
        if [ $((status & 4)) -ne 0 ]; then
            cat >&2 <<MESSAGE

The ABI of $name changed incompatibly (see above): programs built against
$name would break. Either restore compatibility, or bump the major version:
VERSION 5.0.0 in CMakeLists.txt (SONAME and package names move to 5), the
namespaces become \`inline namespace v5\`, then ./dev.sh abi-update records
the new ABI.
MESSAGE
            exit 1
        fi
        echo "Compatible additions only (above). Record them with ./dev.sh abi-update and raise the minor version."
    else
        echo "The ABI of $name matches $record."
    fi
    ;;
*)
    echo "usage: abi.sh check|update <shared library> <record> <public headers dir>" >&2
    exit 2
    ;;
esac

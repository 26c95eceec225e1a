#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# abi.sh [--self-test] <target> <library> <source dir> <work dir> [cmake option]...
#
# The ABI guard. It builds the libraries again from the commit named in
# <source dir>/abi/baseline (the release whose ABI every later 4.x keeps),
# with the compiler, flags and build type of the build under test (the cmake
# options), and compares that build's lib<target> with <library> through
# libabigail's abidiff, which reads each one's debug information and public
# headers. Added functions and types pass; a removed or changed one fails.
# As both sides come from the same toolchain, only our own changes can
# differ; a new compiler, standard library, fmt or libabigail changes both
# alike.
#
# The baseline build is kept in <work dir>/baseline-<commit>/, built once per
# commit and set of options; concurrent checks share it under a lock, held
# until the comparison is done.
# With --self-test, the guard checks itself: the baseline's sources with two
# deliberate incompatible changes (an exported function of the environment
# library gains a parameter, the logging library's Logger a data member) are
# built as well, and lib<target> of that build must fail the comparison, so
# that a libabigail that stops seeing such changes cannot pass unnoticed.
# <library> then only decides whether the build is one that is checked.
#
# Skipped (exit 77), with the reason: a build without debug information or
# with a sanitizer runtime, and a source tree without the git history that
# holds the baseline (a release tarball, a package build, a shallow clone).
set -euo pipefail

self_test=0
[ "${1:-}" != --self-test ] || { self_test=1; shift; }
target=$1 library=$2 source_dir=$3 work=$4
shift 4
cmake_options=("$@")
cmake=${CMAKE_COMMAND:-cmake}
name=$(basename "$library")

die() {
    echo "abi.sh: $*" >&2
    exit 1
}
skip() {
    echo "skipped: $*"
    exit 77
}

for tool in abidiff readelf flock; do
    command -v "$tool" >/dev/null ||
        die "$tool not found (Debian packages abigail-tools, binutils, util-linux; ./dev.sh test installs them)"
done
[ -f "$library" ] || die "no such library: $library"

sections=$(readelf -S "$library") || die "cannot read $library"
dynamic=$(readelf -d "$library") || die "cannot read $library"
grep -q '\.debug_info' <<<"$sections" ||
    skip "$library has no debug information (build type RelWithDebInfo or Debug needed)"
! grep -Eq 'NEEDED.*\[lib(a|ub|t|l|hwa)san\.so' <<<"$dynamic" ||
    skip "$library is a sanitizer build; the plain build checks the ABI"

# The baseline: the first word of the first line that is not a comment.
baseline_file=$source_dir/abi/baseline
[ -f "$baseline_file" ] || die "no $baseline_file naming the ABI baseline commit"
commit=$(sed -n '/^[[:space:]]*[^#[:space:]]/{s/^[[:space:]]*\([^[:space:]]*\).*/\1/p;q}' "$baseline_file")
[[ $commit =~ ^[0-9a-f]{40}$ ]] || die "$baseline_file names no commit (40 hex digits): '$commit'"

# The history must be this source tree's own: a tarball unpacked inside some
# other checkout must not borrow that one's.
command -v git >/dev/null || skip "git not found, so no history to build the ABI baseline from"
git=(git -c "safe.directory=$source_dir" -C "$source_dir")
if ! top=$("${git[@]}" rev-parse --show-toplevel 2>/dev/null) ||
    [ "$(cd "$top" && pwd -P)" != "$(cd "$source_dir" && pwd -P)" ]; then
    skip "$source_dir is not a git checkout (a release tarball or a package build), so there is" \
        "no history to build the ABI baseline $commit from"
fi
"${git[@]}" cat-file -e "$commit^{commit}" 2>/dev/null ||
    skip "the ABI baseline $commit is not in this clone's history (a shallow clone?" \
        "git fetch --unshallow brings it)"

# The baseline build: the libraries only, from the committed tree.
cache=$work/baseline-$commit
mkdir -p "$work"
exec 9>"$cache.lock"
flock 9
if [ ! -f "$cache/src.done" ]; then
    rm -rf "$cache"
    mkdir -p "$cache/src"
    "${git[@]}" archive --format=tar "$commit" | tar -x -C "$cache/src"
    touch "$cache/src.done"
fi
options=("${cmake_options[@]}" -DTARN_UTILS_BUILD_TESTS=OFF -DTARN_UTILS_BUILD_EXAMPLES=OFF
         -DTARN_UTILS_BUILD_BENCH=OFF -DTARN_UTILS_BUILD_FUZZERS=OFF)

# build_libraries <what> <dir>: configures <dir>/src into <dir>/build (anew
# when the options changed) and builds it, quietly unless it fails.
build_libraries() {
    if [ "$(cat "$2/options" 2>/dev/null)" != "$(printf '%s\n' "${options[@]}")" ]; then
        rm -rf "$2/build" "$2/options"
        echo "building $1 in $2/build"
        "$cmake" -S "$2/src" -B "$2/build" "${options[@]}" >"$2/configure.log" 2>&1 ||
            { cat "$2/configure.log" >&2; die "configuring $1 failed"; }
        printf '%s\n' "${options[@]}" >"$2/options"
    fi
    "$cmake" --build "$2/build" --parallel 2 >"$2/build.log" 2>&1 ||
        { cat "$2/build.log" >&2; die "building $1 failed"; }
}
# library_of <dir>: lib<target> of the build in <dir>.
library_of() {
    local found
    found=$(find "$1/build" -name "lib$target.so.*" -type f -print -quit)
    [ -n "$found" ] || die "no lib$target in $1/build"
    echo "$found"
}

build_libraries "the ABI baseline ${commit:0:12}" "$cache"
old_library=$(library_of "$cache")

if [ "$self_test" = 1 ]; then
    # change <file> <sed expression> <what it must leave in the file>
    change() {
        sed -i "$2" "$broken/src/$1"
        grep -qF "$3" "$broken/src/$1" ||
            die "the self-test's change no longer applies to $1 of ${commit:0:12}: adapt it"
    }
    broken=$work/broken-$commit
    if [ ! -f "$broken/src.done" ]; then
        rm -rf "$broken"
        mkdir -p "$broken"
        cp -a "$cache/src" "$broken/src"
        change include/tarn/utils/env.hpp \
            's/bool unsetenv(const std::string& name);/bool unsetenv(const std::string\& name, int = 0);/' \
            'unsetenv(const std::string& name, int = 0);'
        change src/env/process_env.cpp \
            's/^bool unsetenv(const std::string& name) {/bool unsetenv(const std::string\& name, int) {/' \
            'bool unsetenv(const std::string& name, int) {'
        change include/tarn/utils/log/logger.hpp \
            's/^\( *\)OwnedImpl<LoggerData> data_;/&\n\1int selfTest_ = 0;/' 'int selfTest_ = 0;'
        touch "$broken/src.done"
    fi
    build_libraries "the ABI baseline with deliberate incompatible changes" "$broken"
    library=$(library_of "$broken")
    name="$(basename "$library") (built with deliberate incompatible changes)"
    source_dir=$broken/src
fi

# abidiff reads both libraries' debug information itself: a comparison of
# two abidw descriptions instead misses a public class that grew with
# libabigail 3.0 (Debian unstable), and the libraries are at hand anyway.
# Types that the public headers do not declare are not part of the ABI.
abidiff_options=(--headers-dir1 "$cache/src/include" --headers-dir2 "$source_dir/include"
                 --drop-private-types)

# abidiff's status is a bit mask: 1 error, 2 usage error, 4 the ABI
# changed, 8 the change is incompatible (e.g. a removed symbol). A changed
# signature or type layout only sets 4, like an addition does, so 4 is
# judged again with additions ignored.
echo "comparing $name with the ABI baseline ${commit:0:12} ($old_library)"
status=0
abidiff "${abidiff_options[@]}" "$old_library" "$library" || status=$?
[ $((status & 3)) -eq 0 ] || die "abidiff failed (status $status)"
changed=$((status & 4))
if [ $((status & 12)) -eq 4 ]; then
    status=0
    abidiff "${abidiff_options[@]}" --no-added-syms "$old_library" "$library" >/dev/null ||
        status=$?
    [ $((status & 3)) -eq 0 ] || die "abidiff failed (status $status)"
fi
if [ "$self_test" = 1 ]; then
    [ $((status & 4)) -ne 0 ] ||
        die "abidiff did not judge $name incompatible, so the ABI guard cannot be trusted here"
    echo "The ABI guard sees the deliberate incompatible change above."
    exit 0
fi
if [ "$changed" -eq 0 ]; then
    echo "The ABI of $name is the baseline's."
    exit 0
fi
if [ $((status & 4)) -eq 0 ]; then
    echo "Compatible additions only (above): raise the minor version."
    exit 0
fi
cat >&2 <<MESSAGE

The ABI of $name changed incompatibly since the baseline ${commit:0:12} (see
above): programs built against it would break. Either restore
compatibility, or bump the major version: VERSION 5.0.0 in CMakeLists.txt
(SONAME and package names move to 5), the namespaces become \`inline
namespace v5\`; commit that, then ./dev.sh abi-update makes the commit the
new baseline.
MESSAGE
exit 1

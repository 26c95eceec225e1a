#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# dev.sh: one entry point to set up, build and check tarn-utils on the Debian
# releases in support (RELEASES below).
# Every command first installs the Debian packages it needs (as root, or
# through sudo); the builds themselves are the presets of CMakePresets.json,
# each in build/<preset>. What is left here is what CMake cannot do.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    cat <<'USAGE'
usage: ./dev.sh <command>
  demo   build the libraries and the example programs (preset examples)
         and run the examples
  test   build and run the whole test suite (presets dev)
  package
         build the Debian packages with debhelper into build/packages
         and list them
  autopkgtest
         build the Debian packages as package does, then run their
         autopkgtest (debian/tests/) with autopkgtest in a disposable
         minbase chroot of this release (needs root and the archive)
  abi-update
         make the commit checked out the ABI baseline (abi/baseline) that
         the suite's abi.* tests compare with, after a release
  bench [--benchmark_...]...
         build the benchmarks in Release (preset bench), run each with
         repetitions and print the table of ratios project/anchor; the
         flags go to every benchmark program
  sanitize [asan|tsan]
         build and run the suite and the examples with AddressSanitizer and
         UndefinedBehaviorSanitizer (preset asan), then with ThreadSanitizer
         (preset tsan); both by default
  clang  build and run the suite with Clang (preset clang), less the
         Debian package tests
  fuzz [SECONDS]
         build the libFuzzer targets with Clang (preset fuzz) and run each
         for SECONDS (default 60), all at once
  release SUITE [COMMAND [ARGUMENT]...]
         as root: run ./dev.sh COMMAND (default test) in a bare Debian
         system of that release (bookworm, trixie or sid), bootstrapped
         into build/chroot/SUITE on first use and kept, with a clone of
         this checkout and its uncommitted changes
USAGE
}

die() {
    echo "dev.sh: $*" >&2
    exit 1
}

# The line that starts each phase, so a long silent stretch is never a mystery.
phase() {
    echo "dev.sh: $*"
}

# no_arguments <command> [argument]...: the command takes none.
no_arguments() {
    [ $# -le 1 ] || die "$1: unexpected argument '$2' (see ./dev.sh --help)"
}

# The Debian releases in support. Each row: VERSION_CODENAME of
# /etc/os-release (testing and unstable both carry the codename of the
# next release and no VERSION_ID), its suite (as debootstrap and apt name it),
# what the release is called, and the packages it names differently from
# the lists below, as <name>=<its name there>. The lists name packages
# without a version wherever Debian has a name that follows the release's
# default compiler (clang, llvm, libclang-rt-dev), so a row seldom needs
# more than its first three fields.
RELEASES=(
    "bookworm bookworm Debian-12"
    "trixie trixie Debian-13"
    "forky sid Debian-unstable"
)

# The Debian packages every build needs.
BUILD_PACKAGES=(cmake make g++ pkg-config libspdlog-dev)
# What the examples add: logrotate, which rotates the example daemon's log.
DEMO_PACKAGES=("${BUILD_PACKAGES[@]}" logrotate)
# The suite (presets dev, asan, tsan, clang): GoogleTest, libFuzzer's
# FuzzedDataProvider.h for the replay of the seed inputs, readelf and nm,
# abidiff for the ABI guard, git, whose history it builds the baseline
# from, and logrotate for the rotation test and example.
SUITE_PACKAGES=("${BUILD_PACKAGES[@]}" libgtest-dev libclang-rt-dev binutils abigail-tools git logrotate)
# What the benchmarks add (preset bench; the dev suite runs each once).
BENCH_PACKAGES=(libbenchmark-dev)
# What the Debian packages add: debhelper to build them (scripts/package.sh;
# dpkg-buildpackage also insists on build-essential), GoogleTest and
# FuzzedDataProvider.h for the unit tests that the package build runs, and
# lintian for the suite's check of them.
PACKAGE_PACKAGES=(dpkg-dev build-essential debhelper lintian libgtest-dev libclang-rt-dev)
DEV_PACKAGES=("${SUITE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}")
# What the fuzzers add: Clang with libFuzzer and its sanitizer runtimes
# (libclang-rt-dev is the runtime of the default clang), and llvm-symbolizer
# for readable crash reports.
FUZZ_PACKAGES=(clang libclang-rt-dev llvm)

# release_fields <codename>: sets the array `fields` to that release's row
# of RELEASES; fails for a release not in the table.
release_fields() {
    local row
    for row in "${RELEASES[@]}"; do
        read -ra fields <<<"$row"
        [ "${fields[0]}" != "$1" ] || return 0
    done
    fields=()
    return 1
}

# host_codename: VERSION_CODENAME of this system, empty when unknown.
host_codename() {
    # shellcheck source=/dev/null
    (. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}") || true
}

# supported_releases: "Debian 12 (bookworm), ..." for messages.
supported_releases() {
    local row fields list=()
    for row in "${RELEASES[@]}"; do
        read -ra fields <<<"$row"
        list+=("${fields[2]//-/ } (${fields[1]})")
    done
    local IFS=,
    list=("${list[*]}")
    echo "${list[0]//,/, }"
}

# release_packages <package>...: prints each name as this release knows it.
release_packages() {
    local codename fields name swap
    codename=$(host_codename)
    if ! release_fields "$codename"; then
        echo "dev.sh: ${codename:-this system} is not a Debian release in support" \
            "($(supported_releases)); trying the package names of the newest" >&2
    fi
    for name in "$@"; do
        for swap in "${fields[@]:3}"; do
            [ "${swap%%=*}" != "$name" ] || name=${swap#*=}
        done
        echo "$name"
    done
}

# ensure_packages <package>...: installs the missing ones with apt-get, or
# says exactly how to when this user cannot.
ensure_packages() {
    local missing=() package wanted
    mapfile -t wanted < <(release_packages "$@")
    for package in "${wanted[@]}"; do
        if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        phase "installing: nothing, every package needed is there"
        return 0
    fi

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
            sudo=(sudo)
        else
            echo "dev.sh: missing packages: ${missing[*]}" >&2
            echo "dev.sh: install them with:" >&2
            echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
            exit 1
        fi
    fi
    phase "installing ${missing[*]}"
    "${sudo[@]}" apt-get update -q || die "apt-get update failed"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}" || die "apt-get install failed"
}

jobs() { nproc 2>/dev/null || echo 2; }

# configure <preset>, build <build preset> [cmake --build option]...,
# run_tests <test preset> [command prefix]...
configure() {
    phase "configuring (preset $1)"
    cmake --preset "$1" >/dev/null || die "configuring preset $1 failed"
}
build() {
    local preset=$1
    shift
    phase "building (preset $preset)"
    cmake --build --preset "$preset" -j "$(jobs)" "$@" || die "building preset $preset failed"
}
run_tests() {
    local preset=$1
    shift
    phase "testing (preset $preset)"
    "$@" ctest --preset "$preset" -j "$(jobs)" || die "tests of preset $preset failed"
}

cmd_demo() {
    no_arguments demo "$@"
    ensure_packages "${DEMO_PACKAGES[@]}"
    configure examples
    build examples
    phase "running the examples"
    local program
    for program in build/examples/examples/*_demo; do
        echo "=== $(basename "$program")"
        "$program" || die "$(basename "$program") failed"
    done
    echo "=== rotating_daemon, through one rotation by logrotate"
    examples/rotation_demo.sh build/examples/examples/rotating_daemon examples/rotating_daemon.logrotate ||
        die "rotating_daemon failed"
}

cmd_test() {
    no_arguments test "$@"
    ensure_packages "${DEV_PACKAGES[@]}"
    configure dev
    build dev
    run_tests dev
    echo "dev.sh: all tests passed"
}

cmd_sanitize() {
    [ $# -le 1 ] || die "sanitize: unexpected argument '$2' (asan, tsan or nothing for both)"
    local which=${1:-all}
    case $which in
    all | asan | tsan) ;;
    *) die "sanitize: unknown choice '$which' (asan, tsan or nothing for both)" ;;
    esac
    ensure_packages "${SUITE_PACKAGES[@]}"
    if [ "$which" != tsan ]; then
        configure asan
        build asan
        run_tests asan
    fi
    if [ "$which" != asan ]; then
        configure tsan
        build tsan
        # Without address randomisation where the kernel's is too wide.
        run_tests tsan scripts/no-aslr.sh
    fi
    echo "dev.sh: sanitizer runs are clean"
}

# The suite built with Clang, a second compiler's view of our code; the
# Debian package tests are left to the GCC suite, since debhelper builds
# with the default compiler whatever the preset says.
cmd_clang() {
    no_arguments clang "$@"
    ensure_packages "${SUITE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" clang
    configure clang
    build clang
    run_tests clang
    echo "dev.sh: the Clang suite passed"
}

# Each benchmark program runs every case's two sides in random interleaved
# order, in many short repetitions, so a disturbance on the machine hits both
# alike; the table compares medians. Extra flags go to every program
# (e.g. --benchmark_filter=env) and may override these.
cmd_bench() {
    local arg program results=()
    for arg in "$@"; do
        [[ $arg == --benchmark_* ]] || die "bench: unexpected argument '$arg' (only --benchmark_... flags)"
    done
    ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
    configure bench
    build bench
    for program in build/bench/bench/*_bench; do
        [ -f "$program" ] && [ -x "$program" ] || continue
        phase "running $(basename "$program")"
        "$program" --benchmark_repetitions=20 --benchmark_min_time=0.25 \
            --benchmark_enable_random_interleaving=true \
            --benchmark_report_aggregates_only=true \
            --benchmark_out="$program.csv" --benchmark_out_format=csv "$@" ||
            die "$(basename "$program") failed"
        results+=("$program.csv")
    done
    [ ${#results[@]} -gt 0 ] || die "no benchmark programs in build/bench/bench"
    echo
    bench/ratios.sh "${results[@]}"
}

# The fuzzers run side by side for SECONDS each (scripts/fuzz.sh); what
# they find is kept in build/fuzz/corpus/ and build/fuzz/artifacts/.
cmd_fuzz() {
    [ $# -le 1 ] || die "fuzz: unexpected argument '$2' (only SECONDS)"
    local seconds=${1:-60}
    [[ $seconds =~ ^[1-9][0-9]*$ ]] || die "fuzz: SECONDS must be a positive number, not '$seconds'"
    ensure_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
    configure fuzz
    build fuzz
    phase "fuzzing for ${seconds}s"
    scripts/fuzz.sh build/fuzz "$seconds" || die "fuzzing failed"
}

# The Debian packages come from scripts/package.sh, which the suite's
# package test uses as well.
cmd_package() {
    no_arguments package "$@"
    ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    phase "building the packages into build/packages"
    scripts/package.sh build/packages || die "building the packages failed"
    echo "dev.sh: packages:"
    ls -1 build/packages/*.deb
}

# The packages' own tests as Debian runs them after every upload of a
# dependency: autopkgtest installs the packages into a chroot made for the
# run (scripts/autopkgtest.sh), never into this system.
cmd_autopkgtest() {
    no_arguments autopkgtest "$@"
    local fields
    release_fields "$(host_codename)" ||
        die "autopkgtest: $(host_codename) is not a Debian release in support ($(supported_releases))"
    ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" autopkgtest debootstrap
    phase "building the packages into build/packages"
    scripts/package.sh build/packages || die "building the packages failed"
    phase "running their autopkgtest in a ${fields[1]} chroot"
    scripts/autopkgtest.sh build/packages build/autopkgtest "${fields[1]}" || die "autopkgtest failed"
}

# The suite's abi.* tests compare each library with the one built from the
# commit that abi/baseline names. After a release (or a deliberate major
# bump, once committed), that commit becomes the baseline: the libraries'
# sources must be committed, so that the commit is what was released.
cmd_abi_update() {
    no_arguments abi-update "$@"
    ensure_packages git
    local commit changes
    commit=$(git rev-parse --verify HEAD) || die "abi-update: not a git checkout"
    changes=$(git status --porcelain -- CMakeLists.txt cmake include src)
    [ -z "$changes" ] || die "abi-update: commit the libraries' sources first:"$'\n'"$changes"
    sed -i "s/^[0-9a-f]\{40\}\b.*/$commit $(sed -n 's/^ *VERSION //p' CMakeLists.txt | head -n1)/" abi/baseline
    grep -q "^$commit" abi/baseline || die "abi-update: abi/baseline names no commit to replace"
    phase "the ABI baseline is now $commit; commit abi/baseline"
    git diff --stat -- abi/baseline
}

# ./dev.sh release <suite> [command...]: the command (default test) in a
# bare Debian system of that release, as a new user would meet it. The
# system is bootstrapped once into build/chroot/<suite> (debootstrap
# --variant=minbase) and kept for the next run; the checkout is cloned into
# it at /src/tarn-utils with its whole history, and uncommitted changes of
# the work tree are copied over the clone, so what runs is what is here.
cmd_release() {
    [ $# -ge 1 ] || die "release: which release? $(supported_releases)"
    local suite=$1 fields row known=""
    shift
    for row in "${RELEASES[@]}"; do
        read -ra fields <<<"$row"
        [ "${fields[1]}" != "$suite" ] || known=1
    done
    [ -n "$known" ] || die "release: unknown release '$suite', not one of $(supported_releases)"
    [ $# -gt 0 ] || set -- test
    [ "$1" != release ] || die "release: a release inside a release is not supported"
    [ "$(id -u)" -eq 0 ] || die "release: needs root (debootstrap, mount and chroot)"
    ensure_packages debootstrap

    local root=$PWD/build/chroot/$suite
    mkdir -p build/chroot
    # One run per chroot at a time: the mounts are shared.
    exec 9>"$root.lock"
    flock -n 9 || die "release: another ./dev.sh release $suite is running"
    if [ ! -d "$root" ]; then
        # Made under another name and renamed when complete, so that an
        # interrupted bootstrap is never taken for a usable system.
        unmount_below "$root.new"
        rm -rf "$root.new"
        phase "bootstrapping Debian $suite into $root"
        debootstrap --variant=minbase "$suite" "$root.new" "${TARN_UTILS_MIRROR:-http://deb.debian.org/debian}" \
            >"$root.log" 2>&1 || die "debootstrap failed (log: $root.log)"
        mv "$root.new" "$root"
    fi
    # The index of unstable is often past its Valid-Until date: no harm for
    # building and testing, and nothing else accepts it.
    if [ "$suite" = sid ]; then
        echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99tarn-utils-valid-until"
    fi
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"

    copy_checkout "$root/src/tarn-utils"

    trap 'unmount_below "'"$root"'"' EXIT
    trap 'exit 130' INT TERM HUP
    mountpoint -q "$root/proc" || mount -t proc proc "$root/proc" || die "cannot mount $root/proc"
    # A devpts instance of its own: the chroot's /dev/ptmx opens the one at
    # its side, so a terminal opened inside appears in the chroot's /dev/pts.
    mountpoint -q "$root/dev/pts" ||
        mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts" ||
        die "cannot mount $root/dev/pts"

    phase "Debian $suite: ./dev.sh $* in $root/src/tarn-utils"
    local start=$SECONDS status=0
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root TERM="${TERM:-dumb}" ${CMAKE_BUILD_PARALLEL_LEVEL:+CMAKE_BUILD_PARALLEL_LEVEL="$CMAKE_BUILD_PARALLEL_LEVEL"} \
        /bin/bash -c 'cd /src/tarn-utils && exec ./dev.sh "$@"' dev.sh "$@" || status=$?
    unmount_below "$root"
    trap - EXIT
    [ $status -eq 0 ] || die "Debian $suite: ./dev.sh $* failed after $((SECONDS - start))s"
    phase "Debian $suite: ./dev.sh $* passed in $((SECONDS - start))s"
}

# unmount_below <dir>: unmounts everything mounted at or below <dir>,
# deepest first, and fails unless nothing is left. Called before anything
# under a chroot is removed: rm -rf through a mounted /proc or /dev/pts
# would reach the host's.
unmount_below() {
    local mounts target
    mapfile -t mounts < <(awk -v dir="$1" '$2 == dir || index($2, dir "/") == 1 { print $2 }' /proc/self/mounts | sort -r)
    for target in "${mounts[@]}"; do
        umount "$target" 2>/dev/null || umount --lazy "$target" || die "cannot unmount $target"
    done
    ! awk -v dir="$1" '$2 == dir || index($2, dir "/") == 1 { found = 1 } END { exit !found }' /proc/self/mounts ||
        die "something is still mounted below $1"
}

# copy_checkout <dir>: <dir> becomes a clone of this checkout at HEAD, with
# the whole history (tags included) and the uncommitted changes of the work
# tree on top; ignored files in <dir> (its build directories) stay. A tree
# that is not a git checkout is copied as it is, less build*/.
copy_checkout() {
    local dir=$1 head file
    if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
        [ "$(git rev-parse --show-toplevel)" != "$PWD" ]; then
        phase "copying the source tree (not a git checkout) to $dir"
        mkdir -p "$dir"
        find "$dir" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf {} +
        tar --anchored --exclude='./build*' --exclude=./out -cf - . | tar -xf - -C "$dir" ||
            die "copying the sources failed"
        return 0
    fi
    head=$(git rev-parse HEAD)
    [ "$(git rev-parse --is-shallow-repository)" = false ] ||
        echo "dev.sh: warning: this checkout is shallow, so is its clone (git fetch --unshallow)" >&2
    [ -d "$dir/.git" ] || git clone --quiet --no-checkout "$PWD" "$dir" || die "cloning into $dir failed"
    # The checkout may have moved since the clone was made.
    if ! git -C "$dir" remote set-url origin "$PWD" ||
        ! git -C "$dir" fetch --quiet --force --tags origin '+refs/heads/*:refs/remotes/origin/*' ||
        ! git -C "$dir" fetch --quiet origin HEAD ||
        ! git -C "$dir" checkout --quiet --force --detach "$head" ||
        ! git -C "$dir" clean -q -ffd; then
        die "updating the clone in $dir failed"
    fi
    if [ -n "$(git status --porcelain)" ]; then
        phase "with the uncommitted changes of the work tree"
        git ls-files -z --modified --others --exclude-standard |
            while IFS= read -r -d '' file; do
                if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
            done | tar --null --no-recursion -T - -cf - | tar -xf - -C "$dir" ||
            die "copying the uncommitted changes failed"
        git ls-files -z --deleted | (cd "$dir" && xargs -0 -r rm -f --)
    fi
}

[ $# -gt 0 ] || {
    usage >&2
    exit 2
}
command=$1
shift
case $command in
demo) cmd_demo "$@" ;;
test) cmd_test "$@" ;;
package) cmd_package "$@" ;;
autopkgtest) cmd_autopkgtest "$@" ;;
abi-update) cmd_abi_update "$@" ;;
bench) cmd_bench "$@" ;;
sanitize) cmd_sanitize "$@" ;;
fuzz) cmd_fuzz "$@" ;;
clang) cmd_clang "$@" ;;
release) cmd_release "$@" ;;
-h | --help | help) usage ;;
*)
    echo "dev.sh: unknown command '$command' (see ./dev.sh --help)" >&2
    exit 2
    ;;
esac

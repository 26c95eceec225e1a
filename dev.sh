#!/usr/bin/env bash
# dev.sh: one entry point to set up, build and check tarn-utils on Debian 12.
# Every command first installs what it needs (as root, or through sudo), then
# works in an out-of-source build directory.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    cat <<'USAGE'
usage: ./dev.sh <command>
  demo   build and run the example programs
  test   build and run the whole test suite
  package
         build the Debian packages with debhelper into
         build-package/packages and list them
  abi-update
         record the ABI of each library in abi/, after a deliberate change
  bench [benchmark flag]...
         build the benchmarks in Release (build-bench), run each with
         repetitions and print the table of ratios project/anchor
  sanitize [asan|tsan]
         build the suite and the examples with AddressSanitizer and
         UndefinedBehaviorSanitizer (build-asan), then with ThreadSanitizer
         (build-tsan), and run them there; both by default
  fuzz [SECONDS]
         build the libFuzzer targets with Clang (build-fuzz) and run each
         for SECONDS (default 60), both at once
USAGE
}

die() {
    echo "dev.sh: $*" >&2
    exit 1
}

# Where the default build goes; set TARN_UTILS_BUILD_DIR to keep several apart.
BUILD_DIR=${TARN_UTILS_BUILD_DIR:-build}

# The Debian packages every build needs.
BASE_PACKAGES=(cmake make g++ pkg-config libgtest-dev libspdlog-dev)
# The suite's library checks: readelf and nm, abidw and abidiff for the ABI
# guard.
BASE_PACKAGES+=(binutils abigail-tools)
# Building the Debian packages (scripts/package.sh), and the suite's checks of
# them (lintian).
PACKAGE_PACKAGES=(dpkg-dev debhelper lintian)
# What building the benchmarks adds.
BENCH_PACKAGES=(libbenchmark-dev)
# What the fuzzers add: Clang with libFuzzer and its sanitizer runtimes, and
# llvm-symbolizer for readable crash reports.
FUZZ_PACKAGES=(clang libclang-rt-14-dev llvm)

# ensure_packages <package>...: installs the missing ones with apt-get, or
# says exactly how to when this user cannot.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

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
    echo "dev.sh: installing ${missing[*]}"
    "${sudo[@]}" apt-get update -q || die "apt-get update failed"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}" || die "apt-get install failed"
}

jobs() { nproc 2>/dev/null || echo 2; }

# configure_and_build <build dir> [cmake option]...
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" || die "configuring $dir failed"
    cmake --build "$dir" -j "$(jobs)" || die "building $dir failed"
}

cmd_demo() {
    ensure_packages "${BASE_PACKAGES[@]}"
    configure_and_build "$BUILD_DIR" -DTARN_UTILS_BUILD_EXAMPLES=ON
    local program
    for program in "$BUILD_DIR"/examples/*_demo; do
        echo "=== $(basename "$program")"
        "$program" || die "$(basename "$program") failed"
    done
}

cmd_test() {
    ensure_packages "${BASE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    configure_and_build "$BUILD_DIR" -DTARN_UTILS_BUILD_TESTS=ON -DTARN_UTILS_BUILD_EXAMPLES=ON \
        -DTARN_UTILS_BUILD_BENCH=ON
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(jobs)" || die "tests failed"
    echo "dev.sh: all tests passed"
}

# Every report is fatal and shows where it came from. Leaks are reported at
# exit, so a test that leaks fails.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# sanitized_suite <build dir> <sanitizers> [command prefix]...: builds tests
# and examples with the sanitizers and runs both, each under the prefix.
sanitized_suite() {
    local dir=$1 sanitizers=$2 program
    shift 2
    echo "=== $sanitizers: $dir"
    configure_and_build "$dir" -DTARN_UTILS_SANITIZE="$sanitizers" \
        -DTARN_UTILS_BUILD_TESTS=ON -DTARN_UTILS_BUILD_EXAMPLES=ON
    "$@" ctest --test-dir "$dir" --output-on-failure -j "$(jobs)" ||
        die "tests failed under -fsanitize=$sanitizers"
    for program in "$dir"/examples/*_demo; do
        [ -x "$program" ] || continue
        "$@" "$program" >"$program.out" 2>&1 || {
            cat "$program.out" >&2
            die "$(basename "$program") failed under -fsanitize=$sanitizers"
        }
    done
}

cmd_sanitize() {
    ensure_packages "${BASE_PACKAGES[@]}"
    local which=${1:-all}
    case $which in
    all | asan | tsan) ;;
    *) die "sanitize: unknown choice '$which' (asan, tsan or nothing for both)" ;;
    esac
    if [ "$which" != tsan ]; then
        sanitized_suite build-asan address,undefined
    fi
    if [ "$which" != asan ]; then
        # ThreadSanitizer's shadow memory layout does not fit every address
        # that kernels with more mmap randomness (vm.mmap_rnd_bits > 28) hand
        # out, and it then aborts at start; run without randomisation there.
        local prefix=()
        if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] &&
            setarch "$(uname -m)" -R true 2>/dev/null; then
            prefix=(setarch "$(uname -m)" -R)
        fi
        sanitized_suite build-tsan thread "${prefix[@]}"
    fi
    echo "dev.sh: sanitizer runs are clean"
}

# Each benchmark program runs every case's two sides in random interleaved
# order, in many short repetitions, so a disturbance on the machine hits both
# alike; the table compares medians. Extra arguments go to every program
# (e.g. --benchmark_filter=env) and may override these flags.
cmd_bench() {
    ensure_packages "${BASE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
    local dir=$BUILD_DIR-bench program results=()
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DTARN_UTILS_BUILD_BENCH=ON \
        -DTARN_UTILS_BUILD_TESTS=OFF -DTARN_UTILS_BUILD_EXAMPLES=OFF
    for program in "$dir"/bench/*_bench; do
        [ -f "$program" ] && [ -x "$program" ] || continue
        echo "=== $(basename "$program")"
        "$program" --benchmark_repetitions=20 --benchmark_min_time=0.25 \
            --benchmark_enable_random_interleaving=true \
            --benchmark_report_aggregates_only=true \
            --benchmark_out="$program.csv" --benchmark_out_format=csv "$@" ||
            die "$(basename "$program") failed"
        results+=("$program.csv")
    done
    [ ${#results[@]} -gt 0 ] || die "no benchmark programs in $dir/bench"
    echo
    bench/ratios.sh "${results[@]}"
}

# Each fuzzer starts from its seeds in fuzz/corpus/<fuzzer> and keeps what it
# finds in build-fuzz/corpus/<fuzzer>; an input that breaks a property or
# crashes is kept in build-fuzz/artifacts/.
cmd_fuzz() {
    local seconds=${1:-60} dir=build-fuzz fuzzer pids=() failed=()
    [[ $seconds =~ ^[1-9][0-9]*$ ]] || die "fuzz: SECONDS must be a positive number, not '$seconds'"
    ensure_packages "${BASE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
    configure_and_build "$dir" -DCMAKE_CXX_COMPILER=clang++ -DTARN_UTILS_BUILD_FUZZERS=ON \
        -DTARN_UTILS_BUILD_TESTS=OFF -DTARN_UTILS_BUILD_EXAMPLES=OFF -DTARN_UTILS_BUILD_LOG=OFF
    mkdir -p "$dir/artifacts"
    for fuzzer in env_convert_fuzzer process_env_fuzzer; do
        mkdir -p "$dir/corpus/$fuzzer"
        echo "=== $fuzzer: ${seconds}s"
        "$dir/fuzz/$fuzzer" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
            -artifact_prefix="$dir/artifacts/$fuzzer-" \
            "$dir/corpus/$fuzzer" "fuzz/corpus/$fuzzer" >"$dir/$fuzzer.log" 2>&1 &
        pids+=($!)
    done
    local i=0
    for fuzzer in env_convert_fuzzer process_env_fuzzer; do
        if ! wait "${pids[$i]}"; then
            tail -n 60 "$dir/$fuzzer.log" >&2
            failed+=("$fuzzer")
        fi
        grep -E '^Done [0-9]+ runs' "$dir/$fuzzer.log" | sed "s/^/$fuzzer: /" || true
        i=$((i + 1))
    done
    [ ${#failed[@]} -eq 0 ] ||
        die "fuzzing failed: ${failed[*]} (logs in $dir/*.log, inputs in $dir/artifacts/)"
    echo "dev.sh: fuzzing found nothing"
}

# The Debian packages come from debhelper (debian/) through
# scripts/package.sh, which builds a copy of the sources inside the output
# directory; set TARN_UTILS_PACKAGE_DIR to build them elsewhere.
cmd_package() {
    ensure_packages "${BASE_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    local dir=${TARN_UTILS_PACKAGE_DIR:-build-package}/packages
    scripts/package.sh "$dir" || die "building the packages failed"
    echo "dev.sh: packages:"
    ls -1 "$dir"/*.deb
}

# Records the ABI that the suite's abi.* tests compare against; run it when
# an addition is meant to stay, or after a major version bump.
cmd_abi_update() {
    ensure_packages "${BASE_PACKAGES[@]}"
    configure_and_build "$BUILD_DIR" -DTARN_UTILS_BUILD_TESTS=ON
    cmake --build "$BUILD_DIR" --target abi-update || die "recording the ABI failed"
    git status --short abi/ 2>/dev/null || true
}

case "${1:-}" in
demo) cmd_demo ;;
test) cmd_test ;;
package) cmd_package ;;
abi-update) cmd_abi_update ;;
bench) cmd_bench "${@:2}" ;;
sanitize) cmd_sanitize "${@:2}" ;;
fuzz) cmd_fuzz "${@:2}" ;;
-h | --help | help) usage ;;
*)
    usage >&2
    exit 2
    ;;
esac

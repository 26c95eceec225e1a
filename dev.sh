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
    ensure_packages "${BASE_PACKAGES[@]}"
    configure_and_build "$BUILD_DIR" -DTARN_UTILS_BUILD_TESTS=ON -DTARN_UTILS_BUILD_EXAMPLES=ON
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(jobs)" || die "tests failed"
    echo "dev.sh: all tests passed"
}

case "${1:-}" in
demo) cmd_demo ;;
test) cmd_test ;;
-h | --help | help) usage ;;
*)
    usage >&2
    exit 2
    ;;
esac

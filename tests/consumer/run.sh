#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run.sh <mode> <dir> <scratch dir>
#
# Builds the consumer programs of this directory against tarn-utils as a
# client elsewhere on the machine would, then runs them against the
# installed libraries only.
#   find_package  installs the build <dir> into <scratch>/prefix; the
#                 consumer project finds it with find_package(tarn-utils 4
#                 COMPONENTS ...): an unknown or missing component must
#                 fail by name, or only be reported not found when it is
#                 asked for with OPTIONAL_COMPONENTS
#   pkg_config    installs the build <dir> into <scratch>/prefix and moves
#                 that tree elsewhere; each consumer source is compiled
#                 with g++ and `pkg-config --cflags --libs` of its library
#   add_subdirectory
#                 a parent project without a build type (embed/) embeds
#                 this source tree and builds the consumers; its build
#                 type must stay empty, no tarn-utils test be configured and
#                 nothing be installed unless TARN_UTILS_INSTALL=ON, with
#                 which find_package works as above (<dir> is unused)
#   deb           checks the Debian packages that scripts/package.sh left in
#                 <dir>, unpacks them into <scratch>/root (dpkg -x) and
#                 does find_package and pkg_config against that root
#   system_find_package, system_pkg_config
#                 the same two against the libraries installed in the
#                 system (libtarn-utils-dev), as debian/tests/ does; <dir>
#                 is unused
# TARN_UTILS_VERSION in the environment is the version of this source tree.
set -euo pipefail

mode=$1 dir=$2 scratch=$3
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
cmake=${CMAKE_COMMAND:-cmake}

rm -rf "$scratch"
mkdir -p "$scratch"

die() {
    echo "run.sh: $*" >&2
    exit 1
}

# Each consumer source and the pkg-config module it needs.
declare -A modules=([env_consumer]=tarn-utils [log_consumer]=tarn-utils-log)
# The logging library may be left out of a build (TARN_UTILS_BUILD_LOG=0 in
# the environment says so), never out of the packages.
with_log=1
case $mode in deb | system_*) ;; *) [ "${TARN_UTILS_BUILD_LOG:-1}" = 0 ] && with_log=0 ;; esac

# The components the consumer project asks find_package for.
components=utils
[ "$with_log" = 0 ] || components="utils;utils-log"

# build_with_cmake <prefix path> <build dir>
build_with_cmake() {
    "$cmake" -S "$here" -B "$2" -DCMAKE_PREFIX_PATH="$1" -DCMAKE_BUILD_TYPE=Release \
        "-DTARN_CONSUMER_COMPONENTS=$components"
    "$cmake" --build "$2"
}

# find_components <prefix path> <build dir> <required> <optional> <cmake option> <expected>:
# configures the consumer project with find_package(tarn-utils COMPONENTS
# <required> OPTIONAL_COMPONENTS <optional>) (lists with ';') and the extra
# <cmake option> (may be empty). <expected> is
# either "refuses <component>" (the configuration fails and names it) or
# the words "<component>=found" and "<component>=missing" that the project
# must report.
find_components() {
    local prefix=$1 build=$2 required=$3 optional=$4 option=$5 expected=$6 output status=0 word
    local call="find_package(tarn-utils COMPONENTS ${required//;/ }${optional:+ OPTIONAL_COMPONENTS ${optional//;/ }})"
    rm -rf "$build"   # the cache would remember the previous prefix
    output=$("$cmake" -S "$here" -B "$build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
        "-DTARN_CONSUMER_COMPONENTS=$required" "-DTARN_CONSUMER_OPTIONAL_COMPONENTS=$optional" \
        ${option:+"$option"} 2>&1) ||
        status=$?
    if [[ $expected == "refuses "* ]]; then
        [ "$status" -ne 0 ] || die "$call succeeded:"$'\n'"$output"
        grep -q "'${expected#refuses }'" <<<"$output" ||
            die "$call failed without naming '${expected#refuses }':"$'\n'"$output"
    else
        [ "$status" -eq 0 ] || die "$call failed:"$'\n'"$output"
        for word in $expected; do
            grep -q "tarn-utils component ${word%=*}: ${word#*=}" <<<"${output//not found/missing}" ||
                die "$call: component ${word%=*} is not ${word#*=}:"$'\n'"$output"
        done
    fi
    echo "$call${option:+ with $option}: ${expected//=/ }"
}

# without_log <prefix> <copy>: a copy of an installed prefix as a build
# without the logging library installs it.
without_log() {
    rm -rf "$2"
    cp -a "$1" "$2"
    find "$2" \( -name 'libtarn-utils-log.*' -o -name 'tarn-utils-log-targets*.cmake' \
        -o -name tarn-utils-log.pc -o -path '*/tarn/utils/log' \) -prune -exec rm -r {} +
    [ -z "$(find "$2" -name '*tarn-utils-log*')" ] || die "logging library left in $2"
}

# build_with_pkg_config <build dir>: PKG_CONFIG_* point at the libraries.
build_with_pkg_config() {
    local out=$1 program module flags
    mkdir -p "$out"
    for program in "${!modules[@]}"; do
        module=${modules[$program]}
        [ "$module" = tarn-utils-log ] && [ "$with_log" = 0 ] && continue
        pkg-config --exists "$module" || die "pkg-config does not find $module"
        pkg-config --validate "$module"
        [ "$(pkg-config --modversion "$module")" = "$(pkg-config --modversion tarn-utils)" ] ||
            die "$module and tarn-utils differ in version"
        flags=$(pkg-config --cflags --libs "$module")
        echo "$program: ${CXX:-g++} -std=c++17 $flags"
        # shellcheck disable=SC2086 # the flags are words
        "${CXX:-g++}" -std=c++17 ${CXXFLAGS:-} -o "$out/$program" "$here/$program.cpp" \
            ${LDFLAGS:-} $flags
    done
}

# run_consumers <build dir> [<library dir>]: the programs must run from the
# installed libraries, not from a build tree; without a library directory,
# from the system's.
run_consumers() {
    local program ran=0
    for program in "$1"/*_consumer; do
        [ -x "$program" ] || continue
        echo "running $program"
        if [ -n "${2:-}" ]; then
            LD_LIBRARY_PATH=$2${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$program"
        else
            "$program"
        fi
        ran=$((ran + 1))
    done
    [ "$ran" -gt 0 ] || die "no consumer program was built in $1"
    [ "$with_log" = 0 ] || [ -x "$1/log_consumer" ] || die "log_consumer was not built in $1"
}

# library_dir <root>: where the environment library was installed.
library_dir() {
    local library
    library=$(find "$1" -name 'libtarn-utils.so.*' -print -quit)
    [ -n "$library" ] || die "no libtarn-utils.so.* under $1"
    dirname "$library"
}

# check_debs <dir>: the split, the contents, the dependencies and what
# debhelper adds (Multi-Arch, copyright, ldconfig trigger, shlibs, symbols,
# debug symbols).
check_debs() {
    local version upstream major arch runtime log dev deb
    version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
    upstream=${version%-*}
    major=${version%%.*}
    arch=$(dpkg --print-architecture)
    runtime=$1/libtarn-utils${major}_${version}_$arch.deb
    log=$1/libtarn-utils-log${major}_${version}_$arch.deb
    dev=$1/libtarn-utils-dev_${version}_$arch.deb
    for deb in "$runtime" "$log" "$dev"; do
        [ -f "$deb" ] || die "missing package $(basename "$deb") (built: $(ls "$1"))"
    done
    # Nothing else, apart from the debug symbols of the two libraries.
    for deb in "$1"/*.deb; do
        case $(basename "$deb") in
        "$(basename "$runtime")" | "$(basename "$log")" | "$(basename "$dev")") ;;
        "libtarn-utils${major}-dbgsym_${version}_$arch.deb") ;;
        "libtarn-utils-log${major}-dbgsym_${version}_$arch.deb") ;;
        *) die "unexpected package $(basename "$deb")" ;;
        esac
    done

    # expect <deb> <what> <extended regex> [-v]: a listing line matches, or with -v none does.
    expect() {
        local listing
        listing=$(if [ "$2" = files ]; then dpkg-deb -c "$1"; else dpkg-deb -f "$1" "$2"; fi)
        if [ "${4:-}" = -v ]; then
            ! grep -Eq "$3" <<<"$listing" || die "$(basename "$1"): $2 must not match $3:"$'\n'"$listing"
        else
            grep -Eq "$3" <<<"$listing" || die "$(basename "$1"): $2 must match $3:"$'\n'"$listing"
        fi
    }
    # control <deb> <member>: a file of the package's control area, or nothing.
    control() {
        dpkg-deb --ctrl-tarfile "$1" | tar -xO "./$2" 2>/dev/null || true
    }
    local libdir="\./usr/lib/[^/]+-linux-gnu"
    # A runtime package holds its .so.<major>* files and nothing else.
    expect "$runtime" files "$libdir/libtarn-utils\.so\.$major -> libtarn-utils\.so\.$upstream$"
    expect "$runtime" files "$libdir/libtarn-utils\.so\.$upstream$"
    expect "$log" files "$libdir/libtarn-utils-log\.so\.$major -> libtarn-utils-log\.so\.$upstream$"
    expect "$log" files "$libdir/libtarn-utils-log\.so\.$upstream$"
    for deb in "$runtime" "$log"; do
        expect "$deb" files '\./usr/include|/cmake/|/pkgconfig/|\.so( |$)' -v
    done
    expect "$runtime" files 'tarn-utils-log' -v
    expect "$log" files 'libtarn-utils\.so' -v
    expect "$runtime" Depends 'libc6'
    expect "$runtime" Depends 'spdlog|fmt' -v
    expect "$log" Depends 'libspdlog1'
    # The development package: headers, links, CMake package, pkg-config.
    expect "$dev" files "$libdir/libtarn-utils\.so -> libtarn-utils\.so\.$major$"
    expect "$dev" files "$libdir/libtarn-utils-log\.so -> libtarn-utils-log\.so\.$major$"
    expect "$dev" files '\./usr/include/tarn/utils/env\.hpp$'
    expect "$dev" files '\./usr/include/tarn/utils/log/logger\.hpp$'
    expect "$dev" files "$libdir/cmake/tarn-utils/tarn-utils-config\.cmake$"
    expect "$dev" files "$libdir/pkgconfig/tarn-utils\.pc$"
    expect "$dev" files "$libdir/pkgconfig/tarn-utils-log\.pc$"
    expect "$dev" files ' \./[^ ]*\.so\.[0-9.]+( -> |$)' -v   # no .so.4* file
    expect "$dev" Depends "libtarn-utils$major \(= $version\)"
    expect "$dev" Depends "libtarn-utils-log$major \(= $version\)"
    # At least the spdlog the logging library was built against.
    local spdlog
    spdlog=$(dpkg-query -W -f='${Version}' libspdlog-dev | sed 's/-[^-]*$//; s/[.+]/\\&/g')
    expect "$dev" Depends "libspdlog-dev \(>= $spdlog\)"
    expect "$dev" Section '^libdevel$'
    # Each package has its own synopsis, and installs for several
    # architectures side by side.
    expect "$runtime" Description ' - environment library$'
    expect "$log" Description ' - logging library$'
    expect "$dev" Description ' - development files$'
    for deb in "$runtime" "$log" "$dev"; do
        expect "$deb" Multi-Arch '^same$'
        expect "$deb" files "\./usr/share/doc/$(dpkg-deb -f "$deb" Package)/copyright$"
    done
    for deb in "$runtime" "$log"; do
        expect "$deb" Section '^libs$'
        # dpkg runs ldconfig once through the trigger; a maintainer script
        # that calls it by hand is what the trigger replaces.
        control "$deb" triggers | grep -Eq '^activate-noawait ldconfig$' ||
            die "$(basename "$deb") has no ldconfig trigger"
        for script in preinst postinst prerm postrm; do
            ! control "$deb" "$script" | grep -q ldconfig ||
                die "$(basename "$deb"): $script calls ldconfig"
        done
    done
    # Packages built against a 4.x need at least that 4.x (a minor release
    # may add symbols); the symbols files say which 4.x each symbol needs.
    control "$runtime" shlibs | grep -Fxq "libtarn-utils $major libtarn-utils$major (>= $upstream)" ||
        die "$(basename "$runtime"): wrong shlibs: $(control "$runtime" shlibs)"
    control "$log" shlibs | grep -Fxq "libtarn-utils-log $major libtarn-utils-log$major (>= $upstream)" ||
        die "$(basename "$log"): wrong shlibs: $(control "$log" shlibs)"
    control "$runtime" symbols | grep -Fxq "libtarn-utils.so.$major libtarn-utils$major #MINVER#" ||
        die "$(basename "$runtime") has no symbols file"
    control "$log" symbols | grep -Fxq "libtarn-utils-log.so.$major libtarn-utils-log$major #MINVER#" ||
        die "$(basename "$log") has no symbols file"
    echo "packages checked: $(cd "$1" && echo *.deb)"
}

# check_debug_symbols <dir> <root>: each -dbgsym package in <dir> holds the
# debug information of exactly the library its runtime package installed
# into <root>, found by build ID as a debugger looks for it.
check_debug_symbols() {
    local deb library id
    for deb in "$1"/*-dbgsym_*.deb; do
        [ -f "$deb" ] || continue
        library=$(find "$2" -name "$(dpkg-deb -f "$deb" Package | sed 's/[0-9]*-dbgsym$//').so.*.*.*" -print -quit)
        [ -n "$library" ] || die "$(basename "$deb"): no library of its runtime package"
        id=$(readelf -n "$library" | sed -n 's/^ *Build ID: //p')
        [ "$(dpkg-deb -f "$deb" Build-Ids)" = "$id" ] ||
            die "$(basename "$deb"): Build-Ids is not $id, the build ID of $library"
        [ -f "$2/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] ||
            die "$(basename "$deb"): no usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
        dpkg-deb -f "$deb" Depends | grep -Fq "$(dpkg-deb -f "$deb" Package | sed 's/-dbgsym$//') (= " ||
            die "$(basename "$deb") does not depend on its runtime package at its version"
        echo "debug symbols of $library: $(basename "$deb")"
    done
}

case $mode in
find_package | pkg_config)
    prefix=$scratch/prefix
    "$cmake" --install "$dir" --prefix "$prefix" >/dev/null
    if [ "$mode" = pkg_config ]; then
        # An installed tree still works after it is moved elsewhere.
        mv "$prefix" "$scratch/moved"
        prefix=$scratch/moved
    fi
    # Headers without their library would promise a target that is not there.
    [ "$with_log" = 1 ] || [ ! -e "$prefix/include/tarn/utils/log" ] ||
        die "the logging headers were installed without the logging library"
    libdir=$(library_dir "$prefix")
    if [ "$mode" = find_package ]; then
        build_with_cmake "$prefix" "$scratch/build"
        # A missing component fails find_package when it is required, and
        # only sets tarn-utils_<component>_FOUND false when it is optional.
        no_log=$scratch/prefix-no-log
        without_log "$prefix" "$no_log"
        if [ "$with_log" = 1 ]; then
            find_components "$prefix" "$scratch/build-components" utils utils-log "" \
                "utils=found utils-log=found"
            # An optional utils-log also needs spdlog to be found.
            find_components "$prefix" "$scratch/build-components" utils utils-log \
                -DCMAKE_DISABLE_FIND_PACKAGE_spdlog=ON "utils=found utils-log=missing"
        fi
        while read -r where required optional expected; do
            find_components "$where" "$scratch/build-components" "$required" "${optional#-}" "" \
                "$expected"
        done <<CASES
$prefix    utils;frobnicate  -             refuses frobnicate
$prefix    utils             frobnicate    utils=found frobnicate=missing
$no_log    utils;utils-log   -             refuses utils-log
$no_log    utils             utils-log     utils=found utils-log=missing
CASES
        # The last case builds: a missing optional component leaves the rest usable.
        "$cmake" --build "$scratch/build-components" >/dev/null
    else
        PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH} \
            build_with_pkg_config "$scratch/build"
    fi
    run_consumers "$scratch/build" "$libdir"
    ;;
add_subdirectory)
    build=$scratch/build
    "$cmake" -S "$here/embed" -B "$build" -DTARN_UTILS_SOURCE_DIR="$source_dir" \
        -DTARN_UTILS_BUILD_LOG="$with_log"
    # The parent's build type, in the cache and as the build saw it.
    grep -qx 'CMAKE_BUILD_TYPE:STRING=' "$build/CMakeCache.txt" ||
        die "embedding tarn-utils changed the parent's build type: $(grep '^CMAKE_BUILD_TYPE:' "$build/CMakeCache.txt")"
    # enable_testing() anywhere would have left a CTestTestfile.cmake.
    tests=$(find "$build" -name CTestTestfile.cmake)
    [ -z "$tests" ] || die "embedding tarn-utils configured tests:"$'\n'"$tests"
    "$cmake" --build "$build"
    run_consumers "$build" "$(library_dir "$build")"

    # An embedded tarn-utils installs nothing of its own (the parent
    # installs nothing either) unless the parent asks for it with
    # TARN_UTILS_INSTALL, and then the installed package works.
    "$cmake" --install "$build" --prefix "$scratch/installed-default" >/dev/null
    [ -z "$(find "$scratch/installed-default" ! -type d 2>/dev/null)" ] ||
        die "embedded, tarn-utils installed:"$'\n'"$(find "$scratch/installed-default" ! -type d)"
    "$cmake" -S "$here/embed" -B "$build" -DTARN_UTILS_INSTALL=ON >/dev/null
    "$cmake" --build "$build" >/dev/null
    prefix=$scratch/installed
    "$cmake" --install "$build" --prefix "$prefix" >/dev/null
    build_with_cmake "$prefix" "$scratch/build-installed"
    run_consumers "$scratch/build-installed" "$(library_dir "$prefix")"
    ;;
deb)
    check_debs "$dir"
    root=$scratch/root
    for deb in "$dir"/*.deb; do
        dpkg -x "$deb" "$root"
    done
    libdir=$(library_dir "$root")
    check_debug_symbols "$dir" "$root"

    # The CMake package computes its prefix from its own location.
    build_with_cmake "$root/usr" "$scratch/build-cmake"
    run_consumers "$scratch/build-cmake" "$libdir"

    # The pkg-config files name /usr: the sysroot puts <root> before their
    # paths. pkg-config leaves out -I/usr/include and -L of the system's
    # library directory by default, which would drop the unpacked ones too.
    PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 \
        PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH} \
        build_with_pkg_config "$scratch/build-pkg_config"
    run_consumers "$scratch/build-pkg_config" "$libdir"
    ;;
system_find_package)
    build_with_cmake "" "$scratch/build"
    run_consumers "$scratch/build"
    ;;
system_pkg_config)
    build_with_pkg_config "$scratch/build"
    run_consumers "$scratch/build"
    ;;
*)
    die "unknown mode '$mode' (find_package, pkg_config, add_subdirectory, deb, system_find_package or system_pkg_config)"
    ;;
esac

#!/usr/bin/env bash
# package.sh <output dir>
#
# Builds the Debian packages of this source tree and leaves the .deb files
# directly in <output dir> (made if missing; .deb files already there are
# replaced). The build itself happens in <output dir>/build, configured by
# the package preset (prefix /usr, and so the multiarch library directory);
# CPack then splits it into packages (cmake/TarnPackaging.cmake).
set -euo pipefail

die() {
    echo "package.sh: $*" >&2
    exit 1
}

[ $# -eq 1 ] || die "usage: scripts/package.sh <output dir>"
source_dir=$(cd "$(dirname "$0")/.." && pwd)
cmake=${CMAKE_COMMAND:-cmake}
cpack=$(dirname "$(command -v "$cmake")")/cpack
[ -x "$cpack" ] || die "cpack not found next to $cmake"

mkdir -p "$1"
out=$(cd "$1" && pwd)
build=$out/build
rm -f "$out"/*.deb

"$cmake" -S "$source_dir" -B "$build" --preset package || die "configuring $build failed"
"$cmake" --build "$build" -j "$(nproc 2>/dev/null || echo 2)" || die "building $build failed"
rm -rf "$build/cpack"
"$cpack" --config "$build/CPackConfig.cmake" -B "$build/cpack" || die "cpack failed"
mv "$build"/cpack/*.deb "$out"/ || die "cpack made no .deb files"
ls -1 "$out"/*.deb

#!/usr/bin/env bash
# run.sh <mode> <tarn-utils build dir> <scratch dir>
#
# Installs the given build into <scratch>/prefix, then configures, builds and
# runs the consumer project against that prefix only.
#   find_package  the consumer finds the package with find_package(tarn-utils 4)
set -euo pipefail

mode=$1 build=$2 scratch=$3
here=$(cd "$(dirname "$0")" && pwd)
cmake=${CMAKE_COMMAND:-cmake}

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

case $mode in
find_package)
    "$cmake" -S "$here" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
    "$cmake" --build "$scratch/build"
    ;;
*)
    echo "run.sh: unknown mode '$mode'" >&2
    exit 2
    ;;
esac

# The consumer must run from the installed prefix, not from the build tree.
export LD_LIBRARY_PATH=$prefix/lib:$prefix/lib64${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
for program in "$scratch"/build/*_consumer; do
    echo "running $(basename "$program")"
    "$program"
done

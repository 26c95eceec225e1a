#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# autopkgtest.sh <packages dir> <scratch dir> <suite>
#
# Runs the autopkgtest of debian/tests/ with the real autopkgtest against the
# packages that scripts/package.sh left in <packages dir> (its .changes
# file), in a disposable chroot: a minbase Debian <suite> (the release the
# packages were built on: bookworm, trixie, sid), made with debootstrap in
# <scratch dir>/chroot, with /proc and /dev/pts
# mounted inside for the run and unmounted afterwards, on failure too, and
# removed at the end. autopkgtest installs the packages and the tests'
# dependencies there with apt (so it needs the network to the archive), never
# into this machine. Needs root, for debootstrap and chroot.
set -euo pipefail

die() {
    echo "autopkgtest.sh: $*" >&2
    exit 1
}

[ $# -eq 3 ] || die "usage: autopkgtest.sh <packages dir> <scratch dir> <suite>"
packages=$(cd "$1" && pwd) || die "no packages directory $1"
scratch=$(realpath -m -- "$2")
[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot)"
for tool in autopkgtest debootstrap; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool is missing (./dev.sh autopkgtest installs it)"
done
shopt -s nullglob
changes=("$packages"/*.changes)
shopt -u nullglob
[ ${#changes[@]} -eq 1 ] || die "expected one .changes file in $packages, found ${#changes[@]}"

release=$3
root=$scratch/chroot

unmount_all() {
    local point
    for point in "$root/dev/pts" "$root/proc"; do
        if mountpoint -q "$point" 2>/dev/null; then umount "$point" || umount -l "$point"; fi
    done
}
clean_up() {
    unmount_all
    # Only ever remove the chroot when nothing is mounted inside any more.
    if ! grep -qF " $root/" /proc/self/mounts; then rm -rf "$root"; fi
}
trap clean_up EXIT

clean_up
mkdir -p "$scratch"
echo "autopkgtest.sh: debootstrap $release into $root"
debootstrap --variant=minbase "$release" "$root" >"$scratch/debootstrap.log" 2>&1 || {
    tail -n 20 "$scratch/debootstrap.log" >&2
    die "debootstrap $release failed (log: $scratch/debootstrap.log)"
}
if [ "$release" = sid ]; then
    # The index of unstable may be past its Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99no-check-valid-until"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"

echo "autopkgtest.sh: autopkgtest $(basename "${changes[0]}") -- chroot $root"
status=0
autopkgtest --output-dir "$scratch/results" "${changes[0]}" -- chroot "$root" || status=$?
# 0: all passed; 2: at least one skipped, none failed; 8: no tests.
case $status in
0 | 2) echo "autopkgtest.sh: passed (results in $scratch/results)" ;;
*) die "autopkgtest failed with status $status (results in $scratch/results)" ;;
esac

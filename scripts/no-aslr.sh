#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# no-aslr.sh <command> [argument]...
#
# Runs the command without address randomisation where ThreadSanitizer needs
# that: its shadow memory layout does not fit every address that kernels
# with more mmap randomness (vm.mmap_rnd_bits > 28) hand out, and a TSan
# program then aborts at start. Elsewhere the command runs as it is. Child
# processes inherit the setting, so `no-aslr.sh ctest ...` covers a suite.
set -euo pipefail

[ $# -gt 0 ] || {
    echo "usage: scripts/no-aslr.sh <command> [argument]..." >&2
    exit 2
}
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] &&
    setarch "$(uname -m)" -R true 2>/dev/null; then
    exec setarch "$(uname -m)" -R "$@"
fi
exec "$@"

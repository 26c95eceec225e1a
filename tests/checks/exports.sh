#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# exports.sh <shared library> <namespace> [<symbol>...]
#
# Fails when the library exports a symbol outside <namespace> (for example
# tarn::utils::v4). Allowed besides the namespace's own functions and
# variables: what the ABI of its classes consists of (vtable, VTT, typeinfo,
# typeinfo name, thunks). Each <symbol> given (demangled) must be exported:
# a client needs the typeinfo of a class it catches or casts to. Anything
# else, typically a standard-library, spdlog or fmt template instantiated
# inside the library, would become part of our ABI by accident, and a client
# could bind to our copy of it.
set -euo pipefail

library=$1 namespace=$2
shift 2
nm=${NM:-nm}

symbols=$("$nm" -D --defined-only --demangle "$library" | cut -d' ' -f3-) ||
    { echo "exports.sh: cannot read the dynamic symbols of $library" >&2; exit 1; }

ours=0 stray=()
while IFS= read -r symbol; do
    [ -n "$symbol" ] || continue
    name=$symbol
    for prefix in "vtable for " "VTT for " "typeinfo name for " "typeinfo for " \
                  "non-virtual thunk to " "virtual thunk to "; do
        name=${name#"$prefix"}
    done
    if [[ $name == "$namespace::"* ]]; then
        ours=$((ours + 1))
    else
        stray+=("$symbol")
    fi
done <<<"$symbols"

if [ ${#stray[@]} -gt 0 ]; then
    echo "$library exports ${#stray[@]} symbol(s) outside $namespace:" >&2
    printf '  %s\n' "${stray[@]}" >&2
    echo "Keep them out of the dynamic symbol table (hidden visibility, cmake/tarn-utils.map)." >&2
    exit 1
fi
for required in "$@"; do
    grep -Fxq -- "$required" <<<"$symbols" ||
        { echo "$library does not export $required" >&2; exit 1; }
done
if [ "$ours" -eq 0 ]; then
    echo "$library exports nothing from $namespace: is the export macro missing?" >&2
    exit 1
fi
echo "$library: $ours symbols, all in $namespace"

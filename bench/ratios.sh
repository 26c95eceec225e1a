#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ratios.sh <results.csv>...: the table of ratios project/anchor from Google
# Benchmark CSV output (--benchmark_out_format=csv) of repeated runs.
#
# Each case is a pair of benchmarks, "<case>/project" and "<case>/anchor"; the
# ratio is of their medians. Single-threaded cases compare the CPU time of the
# benchmark thread, which other processes on the machine disturb least;
# cases run on several threads (their names hold "/real_time") compare wall
# time, since time spent waiting for a lock is part of what they measure.
set -euo pipefail

[ $# -gt 0 ] || {
    echo "usage: $0 <results.csv>..." >&2
    exit 2
}

awk -F, '
BEGIN {
    # The most each ratio may be: what the project may cost over the anchor.
    # Known cases come in this order, any others after them.
    known("log_file_info_flushed", 1.08)
    known("log_file_trace", 1.10)
    known("log_file_info_4threads", 1.05)
    known("log_console_below_threshold", 1.15)
    known("env_snapshot", 1.25)
    known("env_printenv", 1.10)
    known("env_strings_to_map", 1.20)
    known("env_map_to_strings", 1.20)
}
function known(c, limit) {
    target[c] = limit
    seen[c] = 1
    order[++cases] = c
}
$1 ~ /_median"$/ {
    name = $1
    gsub(/"/, "", name)
    sub(/_median$/, "", name)
    n = split(name, part, "/")
    if (n < 2 || (part[2] != "project" && part[2] != "anchor")) next
    time = (name ~ /\/real_time/) ? $3 : $4
    if (!(part[1] in seen)) {
        seen[part[1]] = 1
        order[++cases] = part[1]
    }
    value[part[1], part[2]] = time
    found++
    unit[part[1]] = $5
}
END {
    if (found == 0) {
        print "ratios.sh: no medians found (run with --benchmark_repetitions)" > "/dev/stderr"
        exit 1
    }
    format = "| %-28s | %12s | %12s | %6s | %-11s |\n"
    printf format, "case", "project", "anchor", "ratio", "target"
    printf "|%s|%s|%s|%s|%s|\n", "------------------------------", "-------------:",
        "-------------:", "-------:", "-------------"
    over = 0
    for (i = 1; i <= cases; i++) {
        c = order[i]
        if (!((c, "project") in value) && !((c, "anchor") in value)) continue
        if (!((c, "project") in value) || !((c, "anchor") in value)) {
            printf "ratios.sh: %s lacks a side\n", c > "/dev/stderr"
            continue
        }
        ratio = value[c, "project"] / value[c, "anchor"]
        limit = (c in target) ? sprintf("%.2f", target[c]) : "-"
        # Compared as printed, so a shown 1.08 never counts as over 1.08.
        mark = (c in target && sprintf("%.2f", ratio) + 0 > target[c]) ? " (over)" : ""
        if (mark != "") over++
        printf format, c, sprintf("%.4g %s", value[c, "project"], unit[c]),
            sprintf("%.4g %s", value[c, "anchor"], unit[c]), sprintf("%.2f", ratio), limit mark
    }
    if (over) printf "\n%d case(s) over target\n", over
}' "$@"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# rotation_demo.sh <rotating_daemon> <rotating_daemon.logrotate> [logrotate]
#
# Runs rotating_daemon through one rotation by Debian's logrotate, with the
# example configuration pointed at a scratch directory: the daemon logs, the
# file is rotated, the daemon reopens its log on SIGHUP and logs on. Then it
# shows each file and checks that every request was logged exactly once.
set -euo pipefail

[ $# -ge 2 ] && [ $# -le 3 ] || {
    echo "usage: rotation_demo.sh <rotating_daemon> <rotating_daemon.logrotate> [logrotate]" >&2
    exit 2
}
daemon=$1
template=$2
logrotate=${3:-$(PATH=$PATH:/usr/sbin:/sbin command -v logrotate || true)}
[ -n "$logrotate" ] || {
    echo "rotation_demo.sh: logrotate is not installed (Debian package logrotate)" >&2
    exit 77
}

dir=$(mktemp -d /tmp/tarn-rotation-demo-XXXXXX)
pid=
cleanup() {
    [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

# wait_for <what> <command>...: up to five seconds.
wait_for() {
    local what=$1 tries=0
    shift
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -le 50 ] || {
            echo "rotation_demo.sh: gave up waiting for $what" >&2
            exit 1
        }
        sleep 0.1
    done
}

sed -e "s|/var/log/rotating-daemon/daemon.log|$dir/daemon.log|g" \
    -e "s|/run/rotating-daemon.pid|$dir/daemon.pid|g" "$template" >"$dir/logrotate.conf"
echo "-- the configuration, pointed at $dir:"
grep -v '^#' "$dir/logrotate.conf"

"$daemon" "$dir/daemon.log" "$dir/daemon.pid" &
pid=$!
wait_for "the daemon's pid file" test -s "$dir/daemon.pid"
sleep 0.3

echo "-- logrotate -f: rename daemon.log, create a new one, send SIGHUP"
"$logrotate" -s "$dir/logrotate.state" -f "$dir/logrotate.conf"
wait_for "the reopened log" grep -q 'reopened on SIGHUP' "$dir/daemon.log"
sleep 0.3
kill -TERM "$pid"
wait "$pid"
pid=

for file in "$dir"/daemon.log.1 "$dir"/daemon.log; do
    echo "-- $(basename "$file"): $(wc -l <"$file") records, first and last:"
    head -n 1 "$file"
    tail -n 1 "$file"
done

requests=$(sed -n 's/.*stopped after \([0-9]*\) requests$/\1/p' "$dir/daemon.log")
logged=$(cat "$dir"/daemon.log.1 "$dir"/daemon.log | grep -o 'handled request [0-9]*$' | sort -u | wc -l)
all=$(cat "$dir"/daemon.log.1 "$dir"/daemon.log | grep -c 'handled request [0-9]*$')
echo "-- $requests requests handled, $logged of them in the two files, $all records of them in all"
[ "$requests" = "$logged" ] && [ "$logged" = "$all" ] || {
    echo "rotation_demo.sh: records were lost or written twice" >&2
    exit 1
}

#!/usr/bin/env bash
# Runs the daemon in the foreground on etc/cvxsensors-demo.cfg: this host's
# CPU, memory, load, network, disk and TCP figures every second, exported to
# the test collector on a free loopback port, which prints every record it
# decodes. Ctrl-C stops both.
#
#   bash scripts/demo.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
daemon=$build/src/cvxsensors
collector=$build/tests/tools/ipfix_collector
for program in "$daemon" "$collector"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program not found; build first (cmake --build $build)" >&2
        exit 1
    fi
done

work=$(mktemp -d)
collector_pid=
forward_pid=
cleanup() {
    trap - EXIT INT TERM
    if [ -n "$collector_pid" ]; then
        kill -TERM "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
    fi
    if [ -n "$forward_pid" ]; then
        wait "$forward_pid" 2>/dev/null || true
    fi
    exec 3<&- 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# Ctrl-C reaches the daemon and the collector themselves (same process
# group); the script only waits for them to finish.
trap ':' INT TERM

# The collector's first line names the port it bound; the rest is passed
# through line by line.
mkfifo "$work/collector"
stdbuf -oL "$collector" -p 0 -v >"$work/collector" &
collector_pid=$!
exec 3<"$work/collector"
read -r word port <&3 || true
if [ "${word:-}" != port ] || [ -z "${port:-}" ]; then
    echo "demo: the collector did not start" >&2
    exit 1
fi
cat <&3 &
forward_pid=$!

sed -e "s|@PORT@|$port|" -e "s|@PIDDIR@|$work|" etc/cvxsensors-demo.cfg >"$work/cvxsensors.cfg"
echo "demo: collector on 127.0.0.1:$port; daemon configuration $work/cvxsensors.cfg; Ctrl-C stops"
status=0
"$daemon" -C "$work/cvxsensors.cfg" || status=$?
exit "$status"

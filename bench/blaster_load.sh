#!/bin/bash
# Load test of the export path: runs the daemon in blaster mode (blasterperiod
# 1 us, a large sample limit) against the test collector on loopback for a
# fixed time, then prints the records and bytes per second the collector
# received and the CPU seconds the daemon used.
#
#   bench/blaster_load.sh [-b BUILD_DIR] [-s SECONDS] [-t metric|top-proc] [-n MAXCOUNTER]
#
# BUILD_DIR is a configured and built tree (default: build), holding
# src/cvxsensors and tests/tools/ipfix_collector. Use an optimised build
# without sanitizers for figures worth comparing.
set -euo pipefail

build=build
seconds=10
type=metric
maxcounter=1000000000
while getopts "b:s:t:n:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        s) seconds=$OPTARG ;;
        t) type=$OPTARG ;;
        n) maxcounter=$OPTARG ;;
        *) sed -n '2,10p' "$0" >&2; exit 2 ;;
    esac
done
daemon=$build/src/cvxsensors
collector=$build/tests/tools/ipfix_collector
for prog in "$daemon" "$collector"; do
    [[ -x $prog ]] || { echo "missing $prog: build it first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/vlm-bench-XXXXXX)
collectorPid=
daemonPid=
cleanup() {
    [[ -n $daemonPid ]] && kill "$daemonPid" 2>/dev/null || true
    [[ -n $collectorPid ]] && kill "$collectorPid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The collector's per-message lines go to a file; its first line on standard
# output is the port it listens on.
"$collector" -p 0 -o "$work/collector.out" > "$work/port" &
collectorPid=$!
for _ in $(seq 100); do
    [[ -s $work/port ]] && break
    sleep 0.05
done
port=$(awk '/^port /{print $2; exit}' "$work/port")
[[ -n $port ]] || { echo "collector did not start" >&2; exit 1; }

cat > "$work/blaster.cfg" <<CFG
daemonize = F
logfile = "$work/daemon.log"
loglevel = "info"
piddir = "$work"
collectors = {
  host = "127.0.0.1"
  port = "$port"
}
blaster = {
  blastertype = "$type"
  blasterperiod = 1
}
CFG

VELMAR_BLASTER_MAXCOUNTER=$maxcounter "$daemon" -C "$work/blaster.cfg" > "$work/daemon.out" 2>&1 &
daemonPid=$!
start=$(date +%s.%N)
sleep "$seconds"
# CPU time of the daemon (all threads), read just before it is stopped.
read -r utime stime < <(awk '{print $14, $15}' "/proc/$daemonPid/stat")
kill -TERM "$daemonPid"
end=$(date +%s.%N)
wait "$daemonPid" || true
daemonPid=

# Once the daemon's connection is reported closed the collector has read
# everything that was sent.
for _ in $(seq 600); do
    grep -q "^connection 1 closed" "$work/collector.out" 2>/dev/null && break
    sleep 0.05
done
kill -TERM "$collectorPid"
wait "$collectorPid" || true
collectorPid=

ticks=$(getconf CLK_TCK)
awk -v start="$start" -v end="$end" -v ut="$utime" -v st="$stime" -v hz="$ticks" '
    /^message / { for (i = 1; i <= NF; ++i) if ($i ~ /^length=/) { sub("length=", "", $i); bytes += $i } }
    /^summary / { summary = $0; for (i = 1; i <= NF; ++i) if ($i ~ /^records=/) { sub("records=", "", $i); records = $i } }
    END {
        t = end - start
        printf "run            %.2f s\n", t
        printf "records        %d (%.0f records/s)\n", records, records / t
        printf "bytes          %d (%.1f MB/s)\n", bytes, bytes / t / 1e6
        printf "daemon CPU     %.2f s (user %.2f, system %.2f)\n", (ut + st) / hz, ut / hz, st / hz
        print summary
    }' "$work/collector.out"
grep -E "ERROR" "$work/collector.out" | grep -v "its metadata says 0" | head -3 || true

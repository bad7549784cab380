#!/bin/bash
# Load test of the export path: runs the daemon in blaster mode (blasterperiod
# 1 us, a large sample limit) against the test collector on loopback for a
# fixed time, then prints the records and bytes per second the collector
# received and the CPU seconds the daemon (and the collector) used. A
# collector near one CPU second per second is the limit, not the daemon.
#
#   bench/blaster_load.sh [-b BUILD_DIR] [-s SECONDS] [-t metric|top-proc] [-n MAXCOUNTER] [-q]
#
# BUILD_DIR is a configured and built tree (default: build), holding
# src/cvxsensors and tests/tools/ipfix_collector. Use an optimised build
# without sanitizers for figures worth comparing.
#
# The collector prints a line per message and set and flushes every piece of
# it, which costs it more than decoding; at high rates it becomes the limit.
# With -q it prints none of those lines (it still decodes and checks every
# message, many per read): the daemon then runs to its sample limit
# (-n, default 100000) and the time is taken until it reports that limit.
# The daemon is then stopped, and the records and bytes are the totals the
# collector reports when the daemon's connection has closed, so they count
# only what arrived; the collector's exit status still tells whether every
# message decoded cleanly.
set -euo pipefail

build=build
seconds=10
type=metric
maxcounter=
quiet=false
while getopts "b:s:t:n:q" opt; do
    case $opt in
        b) build=$OPTARG ;;
        s) seconds=$OPTARG ;;
        t) type=$OPTARG ;;
        n) maxcounter=$OPTARG ;;
        q) quiet=true ;;
        *) sed -n '2,20p' "$0" >&2; exit 2 ;;
    esac
done
if [[ -z $maxcounter ]]; then
    if $quiet; then maxcounter=100000; else maxcounter=1000000000; fi
fi
daemon=$build/src/cvxsensors
collector=$build/tests/tools/ipfix_collector
for prog in "$daemon" "$collector"; do
    [[ -x $prog ]] || { echo "missing $prog: build it first" >&2; exit 2; }
done

tmpRoot=/tmp
[[ -d /dev/shm && -w /dev/shm ]] && tmpRoot=/dev/shm
work=$(mktemp -d "$tmpRoot/vlm-bench-XXXXXX")
collectorPid=
daemonPid=
cleanup() {
    [[ -n $daemonPid ]] && kill "$daemonPid" 2>/dev/null || true
    [[ -n $collectorPid ]] && kill "$collectorPid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The collector writes a line per message and set, flushed as written: on a
# disk file that costs it more than the decoding, so the work directory is
# in memory where possible. Its first line on standard output is the port.
# With -q it writes only a line per closed connection and its summary.
out=$work/collector.out
quietFlag=()
$quiet && quietFlag=(-q)
"$collector" -p 0 "${quietFlag[@]}" -o "$out" > "$work/port" &
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
ticks=$(getconf CLK_TCK)

if $quiet; then
    until grep -q "blaster generated" "$work/daemon.log" 2>/dev/null; do
        kill -0 "$daemonPid" 2>/dev/null || { echo "the daemon ended early" >&2; exit 1; }
        sleep 0.005
    done
    end=$(date +%s.%N)
    read -r utime stime < <(awk '{print $14, $15}' "/proc/$daemonPid/stat")
    kill -TERM "$daemonPid"
    wait "$daemonPid" || true
    daemonPid=
    # The daemon closed its connection as it stopped; the collector reports it
    # once it has read and decoded everything that was sent.
    closed=
    for _ in $(seq 1200); do
        closed=$(grep -m1 "^connection 1 closed" "$out" || true)
        [[ -n $closed ]] && break
        kill -0 "$collectorPid" 2>/dev/null || break
        sleep 0.05
    done
    [[ -n $closed ]] || { echo "the collector did not report the connection's end" >&2; exit 1; }
    read -r cutime cstime < <(awk '{print $14, $15}' "/proc/$collectorPid/stat")
    kill -TERM "$collectorPid"
    status=0
    wait "$collectorPid" || status=$?
    collectorPid=
    field() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" <<<"$closed"; }
    records=$(field records)
    bytes=$(field bytes)
    messages=$(field messages)
    awk -v start="$start" -v end="$end" -v ut="$utime" -v st="$stime" -v hz="$ticks" \
        -v cut="$cutime" -v cst="$cstime" -v bytes="$bytes" -v records="$records" \
        -v messages="$messages" 'BEGIN {
        t = end - start
        printf "run            %.2f s (to the sample limit)\n", t
        printf "records        %d (%.0f records/s, received by the collector)\n", records, records / t
        printf "bytes          %d (%.1f MB/s, %d messages, received by the collector)\n", bytes, bytes / t / 1e6, messages
        printf "daemon CPU     %.2f s (user %.2f, system %.2f)\n", (ut + st) / hz, ut / hz, st / hz
        printf "collector CPU  %.2f s\n", (cut + cst) / hz
    }'
    # The top-process report field has no length in its metadata row, which
    # the collector counts as an error.
    [[ $status -eq 0 || $type == top-proc ]] || echo "collector reported decoding errors (status $status)"
    exit 0
fi

sleep "$seconds"
# CPU time of the daemon (all threads), read just before it is stopped.
read -r utime stime < <(awk '{print $14, $15}' "/proc/$daemonPid/stat")
read -r cutime cstime < <(awk '{print $14, $15}' "/proc/$collectorPid/stat")
kill -TERM "$daemonPid"
end=$(date +%s.%N)
wait "$daemonPid" || true
daemonPid=

# Once the daemon's connection is reported closed the collector has read
# everything that was sent.
for _ in $(seq 600); do
    grep -q "^connection 1 closed" "$work/collector.out" && break
    sleep 0.05
done
kill -TERM "$collectorPid"
wait "$collectorPid" || true
collectorPid=

awk -v start="$start" -v end="$end" -v ut="$utime" -v st="$stime" -v hz="$ticks" \
    -v cut="$cutime" -v cst="$cstime" '
    /^message / { for (i = 1; i <= NF; ++i) if ($i ~ /^length=/) { sub("length=", "", $i); bytes += $i } }
    /^summary / { summary = $0; for (i = 1; i <= NF; ++i) if ($i ~ /^records=/) { sub("records=", "", $i); records = $i } }
    # A report field has no length in its metadata row, which the collector flags.
    /^ERROR / && !/its metadata says 0/ { if (errors++ < 3) errorLines = errorLines $0 "\n" }
    END {
        t = end - start
        printf "run            %.2f s\n", t
        printf "records        %d (%.0f records/s)\n", records, records / t
        printf "bytes          %d (%.1f MB/s)\n", bytes, bytes / t / 1e6
        printf "daemon CPU     %.2f s (user %.2f, system %.2f)\n", (ut + st) / hz, ut / hz, st / hz
        printf "collector CPU  %.2f s\n", (cut + cst) / hz
        print summary
        printf "%s", errorLines
    }' "$work/collector.out"

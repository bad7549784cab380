#!/bin/bash
# Host cost of the daemon beside collectd: both sample the same sources at the
# same intervals for the same time (CPU, memory, network, disk I/O and load
# every second; TCP connections and free space every 10 s), each under
# /usr/bin/time -v, and the script prints the CPU seconds and peak resident
# size of both and their ratios (daemon / collectd).
#
#   bench/host_cost.sh [-b BUILD_DIR] [-s SECONDS]
#
# BUILD_DIR is a configured and built tree (default: build), holding
# src/cvxsensors and tests/tools/ipfix_collector; use the plain optimised build
# (no sanitizers), which links the C++ runtime into the programs. SECONDS
# defaults to 60. Without collectd (Debian's collectd-core) only the daemon's
# figures are printed.
#
# The daemon exports to the test collector on loopback; collectd sends its
# values to a UDP port on loopback with its network plugin. Neither receiver
# is measured. Where a cpuacct cgroup can be made, each program also runs in
# its own, so that the CPU of the tool children the daemon starts (df), which
# it does not wait for, is counted too; the "cgroup CPU" line shows it.
set -euo pipefail

build=build
seconds=60
while getopts "b:s:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        s) seconds=$OPTARG ;;
        *) sed -n '2,20p' "$0" >&2; exit 2 ;;
    esac
done
daemon=$build/src/cvxsensors
collector=$build/tests/tools/ipfix_collector
for prog in "$daemon" "$collector" /usr/bin/time; do
    [[ -x $prog ]] || { echo "missing $prog" >&2; exit 2; }
done
collectd=$(command -v collectd || true)
[[ -z $collectd && -x /usr/sbin/collectd ]] && collectd=/usr/sbin/collectd

work=$(mktemp -d /tmp/vlm-hostcost-XXXXXX)
pids=()
groups=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for g in "${groups[@]}"; do rmdir "$g" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A cpuacct cgroup (v1) or a cgroup of the unified hierarchy, when writable.
cgroupRoot=
for root in /sys/fs/cgroup/cpuacct /sys/fs/cgroup/unified /sys/fs/cgroup; do
    if mkdir "$root/vlm-hostcost-$$-probe" 2>/dev/null; then
        rmdir "$root/vlm-hostcost-$$-probe"
        cgroupRoot=$root
        break
    fi
done

"$collector" -p 0 -t $((seconds + 60)) -o /dev/null > "$work/port" &
pids+=($!)
for _ in $(seq 100); do
    [[ -s $work/port ]] && break
    sleep 0.05
done
port=$(awk '/^port /{print $2; exit}' "$work/port")
[[ -n $port ]] || { echo "collector did not start" >&2; exit 1; }

cat > "$work/cvxsensors.cfg" <<CFG
daemonize = F
logfile = "$work/cvxsensors.log"
loglevel = "warning"
piddir = "$work"
delay_initial_poll = F
collectors = {
  host = "127.0.0.1"
  port = "$port"
}
sensors = {
  name = "CPU"
  period = 1
}, {
  name = "Memory"
  period = 1
}, {
  name = "Network"
  period = 1
}, {
  name = "Diskstat"
  period = 1
}, {
  name = "Load"
  period = 1
}, {
  name = "Netstat"
  period = 10
}, {
  name = "DiskFree"
  period = 10
}
CFG

cat > "$work/collectd.conf" <<CONF
BaseDir "$work"
PIDFile "$work/collectd.pid"
Interval 1
LoadPlugin logfile
<Plugin logfile>
  LogLevel "warning"
  File "$work/collectd.log"
</Plugin>
LoadPlugin cpu
LoadPlugin memory
LoadPlugin interface
LoadPlugin disk
LoadPlugin load
<LoadPlugin tcpconns>
  Interval 10
</LoadPlugin>
<Plugin tcpconns>
  AllPortsSummary true
</Plugin>
<LoadPlugin df>
  Interval 10
</LoadPlugin>
LoadPlugin network
<Plugin network>
  Server "127.0.0.1" "25826"
</Plugin>
CONF

# run NAME PROGRAM ARGS...: starts PROGRAM under time -v, in its own cgroup
# when one can be made; sets runPid to the time process.
run() {
    local name=$1; shift
    local group=
    if [[ -n $cgroupRoot ]]; then
        group=$cgroupRoot/vlm-hostcost-$$-$name
        mkdir "$group"
        groups+=("$group")
    fi
    # The shell joins the cgroup before it becomes time, so both programs and
    # all their children are in it from the start.
    bash -c '[[ -n $1 ]] && echo $$ > "$1/cgroup.procs"; shift; exec "$@"' _ "$group" \
        /usr/bin/time -v -o "$work/$name.time" "$@" > "$work/$name.out" 2>&1 &
    runPid=$!
    pids+=("$runPid")
}

# The measured program is the only child of its time process.
childOf() {
    local child=
    for _ in $(seq 100); do
        child=$(cat "/proc/$1/task/$1/children" 2>/dev/null | awk '{print $1}')
        [[ -n $child ]] && break
        sleep 0.05
    done
    echo "$child"
}

# CPU seconds of a cgroup: cpuacct.usage (ns) or cpu.stat usage_usec.
groupCpu() {
    local g=$cgroupRoot/vlm-hostcost-$$-$1
    if [[ -f $g/cpuacct.usage ]]; then
        awk '{printf "%.2f", $1 / 1e9}' "$g/cpuacct.usage"
    elif [[ -f $g/cpu.stat ]]; then
        awk '/^usage_usec/{printf "%.2f", $2 / 1e6}' "$g/cpu.stat"
    fi
}

run cvxsensors "$daemon" -C "$work/cvxsensors.cfg"
daemonTime=$runPid
collectdTime=
if [[ -n $collectd ]]; then
    run collectd "$collectd" -f -C "$work/collectd.conf"
    collectdTime=$runPid
fi
sleep 1
daemonPid=$(childOf "$daemonTime")
collectdPid=
[[ -n $collectdTime ]] && collectdPid=$(childOf "$collectdTime")
sleep "$((seconds - 1))"

for p in $daemonPid $collectdPid; do kill -TERM "$p" 2>/dev/null || true; done
wait "$daemonTime" || echo "cvxsensors ended with an error: $(tail -n 3 "$work/cvxsensors.out")" >&2
[[ -n $collectdTime ]] && { wait "$collectdTime" || echo "collectd ended with an error" >&2; }

# "CPU_SECONDS PEAK_KB" from a time -v report.
figures() {
    awk -F': ' '/User time/{u=$2} /System time/{s=$2} /Maximum resident/{m=$2}
        END {printf "%.2f %d\n", u + s, m}' "$work/$1.time"
}
read -r dCpu dRss < <(figures cvxsensors)
printf "%-12s CPU %6.2f s   peak RSS %6.1f MB" cvxsensors "$dCpu" "$(echo "$dRss" | awk '{print $1 / 1024}')"
[[ -n $cgroupRoot ]] && printf "   cgroup CPU %s s" "$(groupCpu cvxsensors)"
echo
if [[ -z $collectdTime ]]; then
    echo "collectd is not installed (Debian: collectd-core): no comparison"
    exit 0
fi
read -r cCpu cRss < <(figures collectd)
printf "%-12s CPU %6.2f s   peak RSS %6.1f MB" collectd "$cCpu" "$(echo "$cRss" | awk '{print $1 / 1024}')"
[[ -n $cgroupRoot ]] && printf "   cgroup CPU %s s" "$(groupCpu collectd)"
echo
awk -v dc="$dCpu" -v cc="$cCpu" -v dr="$dRss" -v cr="$cRss" 'BEGIN {
    printf "ratio        CPU %.2fx   peak RSS %.2fx   (cvxsensors / collectd, %s s)\n",
        (cc > 0 ? dc / cc : 0), (cr > 0 ? dr / cr : 0), '"$seconds"'
}'
if [[ -n $cgroupRoot ]]; then
    awk -v d="$(groupCpu cvxsensors)" -v c="$(groupCpu collectd)" 'BEGIN {
        if (c > 0) printf "cgroup CPU ratio %.2fx (with tool children)\n", d / c }'
fi

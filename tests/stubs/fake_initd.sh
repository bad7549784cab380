#!/bin/sh
# Stand-in for the daemon's init script, installed by a test as
# <root>/etc/init.d/cvxsensors. Each call appends one line to <self>.log: its
# argument, the start and end times (seconds.nanoseconds) and the targets of
# its open descriptors. It sleeps for the seconds in <self>.sleep when that
# file exists, and exits with the code in <self>.rc (0 without it).
start=$(date +%s.%N)
fds=$(ls -l /proc/$$/fd | sed -n 's/.* -> //p' | tr '\n' ' ')
[ -f "$0.sleep" ] && sleep "$(cat "$0.sleep")"
end=$(date +%s.%N)
echo "$1 $start $end $fds" >> "$0.log"
[ -f "$0.rc" ] && exit "$(cat "$0.rc")"
exit 0

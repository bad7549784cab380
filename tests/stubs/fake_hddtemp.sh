#!/bin/sh
# Stand-in for hddtemp, installed by a test under a platform root (a copy,
# since the sensor wants a set-user-ID file). For "hddtemp -n /dev/<disk>" it
# prints the file <self>.replies/<disk> verbatim (any bad reply a test
# writes there); without one it complains as the tool does for a disk
# without a sensor. <self>.replies/<disk>.hang makes it hang instead, and
# with <self>.replies/<disk>.fork it first leaves a child that ignores
# SIGTERM and holds its output open. Every call appends its arguments to
# <self>.log, and its pid and its child's to <self>.pids.
echo "$*" >> "$0.log"
echo $$ >> "$0.pids"
disk=${2#/dev/}
if [ -e "$0.replies/$disk.fork" ]; then
    (trap '' TERM; exec sleep 600) &
    echo $! >> "$0.pids"
fi
if [ -e "$0.replies/$disk.hang" ]; then exec sleep 600; fi
if [ -f "$0.replies/$disk" ]; then
    cat "$0.replies/$disk"
    exit 0
fi
echo "WARNING: Drive /dev/$disk doesn't seem to have a temperature sensor."
exit 1

#!/bin/sh
# Stand-in for hddtemp, installed by a test under a platform root (a copy,
# since the sensor wants a set-user-ID file). For "hddtemp -n /dev/<disk>" it
# prints the file <self>.replies/<disk> verbatim (any bad reply a test
# writes there); without one it complains as the tool does for a disk
# without a sensor. <self>.replies/<disk>.hang makes it hang instead. Every
# call appends its arguments to <self>.log.
echo "$*" >> "$0.log"
disk=${2#/dev/}
if [ -e "$0.replies/$disk.hang" ]; then exec sleep 600; fi
if [ -f "$0.replies/$disk" ]; then
    cat "$0.replies/$disk"
    exit 0
fi
echo "WARNING: Drive /dev/$disk doesn't seem to have a temperature sensor."
exit 1

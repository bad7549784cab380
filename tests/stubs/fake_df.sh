#!/bin/sh
# Stand-in for df, installed by a test under a platform root: prints the file
# <self>.out verbatim (a fixture, or bad output a test writes there), or hangs
# while <self>.hang exists. With <self>.fork it first leaves a child that
# ignores SIGTERM and holds its output open. Every call appends its arguments
# to <self>.log, and its pid and its child's to <self>.pids.
echo "$*" >> "$0.log"
echo $$ >> "$0.pids"
if [ -e "$0.fork" ]; then
    (trap '' TERM; exec sleep 600) &
    echo $! >> "$0.pids"
fi
if [ -e "$0.hang" ]; then exec sleep 600; fi
[ -f "$0.out" ] && cat "$0.out"
exit 0

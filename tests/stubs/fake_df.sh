#!/bin/sh
# Stand-in for df, installed by a test under a platform root: prints the file
# <self>.out verbatim (a fixture, or bad output a test writes there), or hangs
# while <self>.hang exists. Every call appends its arguments to <self>.log.
echo "$*" >> "$0.log"
if [ -e "$0.hang" ]; then exec sleep 600; fi
[ -f "$0.out" ] && cat "$0.out"
exit 0

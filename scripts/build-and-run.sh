#!/usr/bin/env bash
# Installs what the build needs, builds the daemon and the test collector only
# (scripts/test.sh builds everything else), and runs the daemon in the
# foreground on the demo configuration: sensors of this host, exporting to the
# test collector on loopback, which prints what arrives.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-8}" --target cvxsensors ipfix_collector
exec bash scripts/demo.sh build

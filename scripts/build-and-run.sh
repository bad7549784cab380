#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the daemon in the
# foreground on its embedded default configuration: sensors of this host,
# exporting to the test collector on loopback, which prints what arrives.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j8
if [ ! -x build/src/cvxsensors ]; then
    echo "Built. The daemon is not part of this build yet."
    exit 0
fi
exec bash scripts/demo.sh build

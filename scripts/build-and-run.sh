#!/usr/bin/env bash
# Installs what the build needs, builds every program `cmake --install build`
# copies (the daemon, relays, tools, process-table library and the test
# collector; scripts/test.sh builds the tests too), and runs the daemon in the
# foreground on the demo configuration: sensors of this host, exporting to the
# test collector on loopback, which prints what arrives.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-8}" --target programs
exec bash scripts/demo.sh build

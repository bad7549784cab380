#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Does nothing when every package is already there.
set -euo pipefail
pkgs=(cmake make g++ pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
      clang-14 libclang-rt-14-dev libfixbuf-dev python3 procps)
missing=()
for p in "${pkgs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

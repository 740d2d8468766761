#!/usr/bin/env bash
# Installs the system packages the build, the tests and the example need.
# Safe to run repeatedly: only packages that are missing are installed.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config zlib1g-dev libssl-dev libargon2-dev
          nlohmann-json3-dev libgtest-dev libbenchmark-dev libsqlite3-dev)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -q
    "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

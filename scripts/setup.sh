#!/usr/bin/env bash
# Installs the Debian packages that the named purposes need (default: build).
#   scripts/setup.sh build          the library and the example
#   scripts/setup.sh build test     ... and the tests
#   scripts/setup.sh build bench    ... and the benchmarks
# Safe to run repeatedly: only packages that are missing are installed. Needs
# root or sudo for that; without either it names the missing packages and stops.
set -euo pipefail

# One list per purpose, one package per line.
build_packages=(
    cmake
    ninja-build
    g++
    pkg-config
    zlib1g-dev
    libssl-dev
    libargon2-dev
    nlohmann-json3-dev
)
test_packages=(
    libgtest-dev
    libsqlite3-dev
)
bench_packages=(
    libbenchmark-dev
    libsqlite3-dev
)

purposes=("$@")
[ ${#purposes[@]} -gt 0 ] || purposes=(build)
packages=()
for purpose in "${purposes[@]}"; do
    case "$purpose" in
        build) packages+=("${build_packages[@]}") ;;
        test) packages+=("${test_packages[@]}") ;;
        bench) packages+=("${bench_packages[@]}") ;;
        *) echo "setup.sh: unknown purpose '$purpose' (build, test or bench)" >&2; exit 2 ;;
    esac
done

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "setup.sh: not a Debian system; install the equivalents of: ${packages[*]}" >&2
    exit 1
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        case " ${missing[*]-} " in *" $p "*) ;; *) missing+=("$p") ;; esac
    fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "setup.sh: missing packages; as root run: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

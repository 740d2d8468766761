#!/usr/bin/env bash
# Sets up, builds the library in release mode, installs it into build/release/prefix,
# then compiles examples/quickstart.c and examples/branch.c against that install
# through pkg-config and runs them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build
build="$root/build/release"
prefix="$build/prefix"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEMBREL_TESTS=OFF \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib
cmake --build "$build" --target zembrel
cmake --install "$build" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
for example in quickstart branch; do
    # The rpath lets the programs find libzembrel.so.0 in the prefix when they
    # run; the loader does not search build/release/prefix/lib by itself.
    # shellcheck disable=SC2046 # the flags are meant to split
    cc -std=c11 -Wall -Wextra "$root/examples/$example.c" $(pkg-config --cflags --libs zembrel) \
       -Wl,-rpath,"$prefix/lib" -o "$build/$example"
done
"$build/quickstart"
echo
# branch prints "Execution error: merge conflict ..." twice on purpose: the
# refused merges it shows before the one that succeeds.
"$build/branch"

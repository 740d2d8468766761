#!/usr/bin/env bash
# Sets up, builds the library in release mode, then compiles and runs examples/quickstart.c and examples/branch.c.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEMBREL_TESTS=OFF
cmake --build "$build" --target zembrel
cc -std=c11 -Wall -Wextra -I "$root/ffi" "$root/examples/quickstart.c" \
   -L "$build" -lzembrel -Wl,-rpath,"$build" -o "$build/quickstart"
cc -std=c11 -Wall -Wextra -I "$root/ffi" "$root/examples/branch.c" \
   -L "$build" -lzembrel -Wl,-rpath,"$build" -o "$build/branch"
echo
"$build/branch"
"$build/quickstart"
cc -std=c11 -Wall -Wextra -I "$root/ffi" "$root/examples/branch.c" \
   -L "$build" -lzembrel -Wl,-rpath,"$build" -o "$build/branch"
echo
"$build/branch"

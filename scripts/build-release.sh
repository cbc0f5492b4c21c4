#!/usr/bin/env bash
# Configures and builds the release build (in build/, or the folder given),
# showing the compiler's progress.  The demo, the test command, the
# benchmarks and scripts/devhost --native all build it through here: CMake keeps
# the options of the last configure, so a caller that passed different
# ones (a warning flag, say) would make the next caller rebuild everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/prepare.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMORA_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

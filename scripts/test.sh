#!/usr/bin/env bash
# The whole test suite: builds the module for every interpreter twice (a
# release build, and an AddressSanitizer + UndefinedBehaviorSanitizer build)
# and runs every suite against each.  Extra arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prepare.sh"

jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "== release build"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DVELMORA_WERROR=ON >/dev/null
cmake --build "$root/build" -j "$jobs"
(cd "$root/build" && ctest --output-on-failure -j "$jobs" "$@") || status=1

echo "== sanitizer build (ASan + UBSan)"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_WERROR=ON >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" "$@") || status=1

exit $status

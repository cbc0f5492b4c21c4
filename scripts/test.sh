#!/usr/bin/env bash
# The whole test suite: builds the module for every interpreter twice (a
# release build, and an AddressSanitizer + UndefinedBehaviorSanitizer build)
# and runs every suite against each.  Extra arguments go to ctest.  Ends
# with the unittest counts per build and interpreter.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prepare.sh"
"$root/scripts/check-plugin-root.sh"

jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "== release build"
# Configured exactly as the demo configures it: one after the other
# rebuilds nothing.
"$root/scripts/build-release.sh" "$root/build"
rm -rf "$root/build/test-counts"
(cd "$root/build" && ctest --output-on-failure -j "$jobs" "$@") || status=1

echo "== sanitizer build (ASan + UBSan)"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_WERROR=ON >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
rm -rf "$root/build-asan/test-counts"
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" "$@") || status=1

echo "== unittest counts"
"$root/scripts/test-counts.sh" release "$root/build/test-counts"
"$root/scripts/test-counts.sh" sanitizer "$root/build-asan/test-counts"
exit $status

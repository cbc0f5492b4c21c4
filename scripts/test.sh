#!/usr/bin/env bash
# The whole test suite, every suite against each of four builds:
#   build/          release, for every CPython 3.7 or later found (3.7 and
#                   3.12 required; configure names the ones it did not find),
#                   and the pure-Python implementation under each of them
#   build-asan/     AddressSanitizer + UndefinedBehaviorSanitizer, for 3.7
#                   and 3.12
#   build-debug/    Debug, for the distribution's debug CPython 3.11
#                   (Py_DEBUG), the suites run with -X dev
#   build-hardened/ release with a distribution's hardening flags in
#                   CMAKE_CXX_FLAGS (kept as given), for CPython 3.12
# Extra arguments go to each ctest.  Ends with the unittest counts, one line
# per build and interpreter.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prepare.sh"
"$root/scripts/check-plugin-root.sh"

jobs=$(nproc 2>/dev/null || echo 2)
debug_python=${VELMORA_DEBUG_PYTHON:-/usr/bin/python3.11-dbg}
status=0
started=$SECONDS

interpreters() {
  echo "   for CPython $(awk '{printf "%s%s", sep, substr($1, 3, 1) "." substr($1, 4); sep = ", "}' "$1/interpreters.txt")"
}

echo "== release build"
# Configured exactly as the demo configures it: one after the other
# rebuilds nothing.
"$root/scripts/build-release.sh" "$root/build"
interpreters "$root/build"
rm -rf "$root/build/test-counts" "$root/build/test-counts-pure"
(cd "$root/build" && ctest --output-on-failure -j "$jobs" "$@") || status=1

echo "== sanitizer build (ASan + UBSan)"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON \
      -DVELMORA_WERROR=ON -DVELMORA_PYTHON_MINORS="3.7;3.12" >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
interpreters "$root/build-asan"
rm -rf "$root/build-asan/test-counts"
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" "$@") || status=1

echo "== debug build (debug CPython, -X dev)"
cmake -S "$root" -B "$root/build-debug" -DCMAKE_BUILD_TYPE=Debug -DVELMORA_WERROR=ON \
      -DVELMORA_PYTHONS="$debug_python" >/dev/null
cmake --build "$root/build-debug" -j "$jobs"
interpreters "$root/build-debug"
rm -rf "$root/build-debug/test-counts"
(cd "$root/build-debug" && ctest --output-on-failure -j "$jobs" "$@") || status=1

echo "== hardened build (distribution hardening flags, CPython 3.12)"
hardening="-D_FORTIFY_SOURCE=3 -D_GLIBCXX_ASSERTIONS -fstack-protector-strong -fstack-clash-protection -fcf-protection"
cmake -S "$root" -B "$root/build-hardened" -DCMAKE_BUILD_TYPE=Release -DVELMORA_WERROR=ON \
      -DVELMORA_PYTHON_MINORS=3.12 -DVELMORA_REQUIRED_MINORS=3.12 \
      -DVELMORA_PURE_TESTS=OFF -DCMAKE_CXX_FLAGS="$hardening" >/dev/null
cmake --build "$root/build-hardened" -j "$jobs"
interpreters "$root/build-hardened"
rm -rf "$root/build-hardened/test-counts"
(cd "$root/build-hardened" && ctest --output-on-failure -j "$jobs" "$@") || status=1

echo "== built and tested in $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
echo "== unittest counts"
counts=$("$root/scripts/test-counts.sh" release "$root/build/test-counts"
         "$root/scripts/test-counts.sh" pure "$root/build/test-counts-pure"
         "$root/scripts/test-counts.sh" sanitizer "$root/build-asan/test-counts"
         "$root/scripts/test-counts.sh" debug "$root/build-debug/test-counts"
         "$root/scripts/test-counts.sh" hardened "$root/build-hardened/test-counts")
echo "$counts"
echo "$counts" | "$root/scripts/test-counts.sh" --total
exit $status

#!/usr/bin/env bash
# The demo: builds the module for every CPython 3.7 or later found (3.7 and
# 3.12 required), then runs it under each through the stand-in host against
# a loopback catalogue server, one summary line per part and interpreter.
#   -v  every call and its result as well
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/check-plugin-root.sh"
# Configured exactly as the test command configures it, so that one after
# the other rebuilds nothing; the compiler's progress is shown.
echo "== building the module for every CPython 3.7 or later found (release build in build/)"
"$root/scripts/build-release.sh" "$root/build"
echo
python=$(awk 'NR==1 {print $2}' "$root/build/interpreters.txt")
exec "$python" "$root/demo/run_demo.py" "$@" "$root/build"

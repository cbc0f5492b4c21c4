#!/usr/bin/env bash
# The demo: builds the module for every interpreter found, then runs it
# through the stand-in host against a loopback catalogue server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prepare.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
python=$(awk 'NR==1 {print $2}' "$root/build/interpreters.txt")
exec "$python" "$root/demo/run_demo.py" "$root/build"

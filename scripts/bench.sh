#!/usr/bin/env bash
# Runs every benchmark in bench/ under every built interpreter (release
# build).  Figures are printed; targets are read off them, not asserted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prepare.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data"
while read -r tag python moddir; do
  for bench in "$root"/bench/bench_*.py; do
    echo "== $tag $(basename "$bench")"
    (cd "$work" && TMPDIR="$work" PYTHONDONTWRITEBYTECODE=1 \
      PYTHONPATH="$moddir:$root/tests:$root/tests/fakehost:$root/build/site" \
      "$python" "$bench")
  done
done < "$root/build/interpreters.txt"

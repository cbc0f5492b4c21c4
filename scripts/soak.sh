#!/usr/bin/env bash
# Soak, not part of the test run: every exported function on a success and
# a failure path, 100000 calls each, under every built interpreter (release
# build), printing the time per call, the reference-count drift and the
# memory growth of each (bench/soak.py).  Exits 1 if any case leaks.
#
#   scripts/soak.sh [--rounds N] [function ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/check-plugin-root.sh"
"$root/scripts/build-release.sh" "$root/build" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
while read -r tag python moddir; do
  echo "== $tag"
  (cd "$work" && TMPDIR="$work" PYTHONDONTWRITEBYTECODE=1 \
    PYTHONPATH="$moddir:$root/tests:$root/build/site" \
    "$python" "$root/bench/soak.py" "$@") || status=1
done < "$root/build/interpreters.txt"
exit $status

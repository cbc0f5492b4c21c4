#!/usr/bin/env bash
# Stops early, with one sentence instead of a traceback halfway through,
# when the demo and tests could not put their sample plugins under the
# panel's plugin root (fixed in the module).  Creates nothing that it does
# not remove again.  The folder argument exists for the tests of this check.
set -uo pipefail
target=${1:-/www/server/panel/plugin}

missing=()
path=$target
while [ -n "$path" ] && [ "$path" != / ] && [ ! -d "$path" ]; do
  missing+=("$path")
  path=$(dirname "$path")
done

ok=0
if mkdir -p "$target" 2>/dev/null; then
  probe=$(mktemp -p "$target" .velmora-probe.XXXXXX 2>/dev/null) && rm -f "$probe" && ok=1
fi
for dir in "${missing[@]}"; do   # deepest first
  rmdir "$dir" 2>/dev/null || true
done

if [ "$ok" -ne 1 ]; then
  echo "The demo and tests install sample plugins under $target, which this user cannot create or write to: run them as root, or create that folder and make it writable for $(id -un)." >&2
  exit 1
fi

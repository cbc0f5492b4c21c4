#!/usr/bin/env bash
# Prints one line per interpreter from the counts that tests/suite_runner.py
# left in COUNTS_DIR, e.g. "release 3.12: 131 passed, 0 failed, 2 skipped".
# A suite that started but never wrote its counts (it crashed, was aborted
# or timed out) is named on its interpreter's line.
#
#     scripts/test-counts.sh LABEL COUNTS_DIR
#
# With --total, reads such lines (of several builds) and prints their sum
# alone on a line, "N passed, M failed": a suite that left no counts and a
# build where no suite ran count as failed, so that the sum never reads as
# a success when something did not run.
#
#     scripts/test-counts.sh --total < LINES
set -euo pipefail
if [ "${1:-}" = --total ]; then
  exec awk '
    / passed, / { passed += $3; failed += $5 }
    /; no result from / { sub(/.*; no result from /, ""); failed += split($0, lost, ", ") }
    /: no unittest counts/ { failed += 1 }
    END { printf "%d passed, %d failed\n", passed, failed }'
fi
label=$1
dir=$2
shopt -s nullglob
files=("$dir"/py*)
if [ ${#files[@]} -eq 0 ]; then
  echo "$label: no unittest counts (no suite ran)"
  exit 0
fi
for f in "${files[@]}"; do
  suite=${f##*/}
  tag=${suite%%.*}
  # py312 -> 3.12: the major version is the first digit.
  version="${tag:2:1}.${tag:3}"
  printf '%s %s %s\n' "$version" "${suite#*.}" "$(head -n 1 "$f")"
done | sort -V | awk -v label="$label" '
  {
    v = $1
    if (!(v in seen)) { seen[v] = 1; order[++n] = v }
    if (NF == 6) { passed[v] += $4; failed[v] += $5; skipped[v] += $6 }
    else { lost[v] = lost[v] (lost[v] == "" ? "" : ", ") $2 }
  }
  END {
    for (i = 1; i <= n; i++) {
      v = order[i]
      line = sprintf("%s %s: %d passed, %d failed, %d skipped", label, v, passed[v], failed[v], skipped[v])
      if (lost[v] != "") line = line "; no result from " lost[v]
      print line
    }
  }'

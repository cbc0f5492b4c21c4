#!/usr/bin/env bash
# Line and branch coverage of src/ by the suites, under CPython 3.7 and
# 3.12, merged over both: a gcov-instrumented build in build-coverage/ (or
# the folder given), every suite against each module, then per file and in
# total what gcovr counts, leaving out the branches of exception throws and
# those the compiler proves unreachable.  Ends with every branch still not
# taken (file:line and the line itself), so that what remains can be judged
# one by one.  Not part of the test command.  Extra arguments go to ctest.
#
#     scripts/coverage.sh [BUILD_DIR] [-- CTEST_ARGS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-coverage
if [ $# -gt 0 ] && [ "$1" != -- ]; then
  build=$(mkdir -p "$1" && cd "$1" && pwd)
  shift
fi
[ "${1:-}" = -- ] && shift
"$root/scripts/prepare.sh"
"$root/scripts/check-plugin-root.sh"
jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "== coverage build (gcov) in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVELMORA_WERROR=ON -DVELMORA_COVERAGE=ON \
      -DVELMORA_PYTHON_MINORS="3.7;3.12" -DVELMORA_REQUIRED_MINORS="3.7;3.12" >/dev/null
cmake --build "$build" -j "$jobs"
# Counts of an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
rm -rf "$build/test-counts"
(cd "$build" && ctest --output-on-failure -j "$jobs" "$@") || status=1
"$root/scripts/test-counts.sh" coverage "$build/test-counts"

echo "== coverage of src/ (lines, and branches without throw and unreachable ones)"
gcovr --root "$root" --object-directory "$build" --filter "$root/src/" \
      --exclude-throw-branches --exclude-unreachable-branches -j "$jobs" \
      --json "$build/coverage.json" >/dev/null
/usr/bin/python3 - "$build/coverage.json" "$root" <<'EOF'
import json
import os
import sys

report, root = sys.argv[1], sys.argv[2]
with open(report) as f:
    files = json.load(f)['files']


def share(done, of):
    return '%6.1f %%' % (100.0 * done / of) if of else '     - '


rows, missed = [], []
for entry in sorted(files, key=lambda e: e['file']):
    name = entry['file']
    lines = [l for l in entry['lines'] if not l.get('gcovr/noncode')]
    covered = sum(1 for l in lines if l['count'] > 0)
    branches = taken = 0
    for l in lines:
        for number, b in enumerate(l.get('branches', [])):
            branches += 1
            if b['count'] > 0:
                taken += 1
            else:
                missed.append((name, l['line_number'], number))
    rows.append((name, covered, len(lines), taken, branches))

width = max([len(r[0]) for r in rows] + [5])
print('%-*s  %15s %8s  %15s %8s' % (width, 'File', 'Lines', '', 'Branches', ''))
for name, covered, lines, taken, branches in rows + [
        ('TOTAL',) + tuple(sum(r[i] for r in rows) for i in range(1, 5))]:
    if name == 'TOTAL':
        print('-' * (width + 52))
    print('%-*s  %7d / %5d %s  %7d / %5d %s'
          % (width, name, covered, lines, share(covered, lines), taken, branches,
             share(taken, branches)))

print()
print('Branches not taken (%d): file:line, branch number, the line' % len(missed))
sources = {}
for name, line, number in missed:
    if name not in sources:
        with open(os.path.join(root, name), errors='replace') as f:
            sources[name] = f.read().splitlines()
    text = sources[name][line - 1].strip() if line <= len(sources[name]) else ''
    print('%s:%d: branch %d: %s' % (name, line, number, text))
EOF
exit $status

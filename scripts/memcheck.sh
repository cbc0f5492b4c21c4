#!/usr/bin/env bash
# Runs the suites that exercise the module in process under valgrind's
# memcheck (release build, every built interpreter, PYTHONMALLOC=malloc so
# that every object is a heap block valgrind can see), and fails on any
# error made by the module's library (Velmora*.so) itself, definite leaks
# included: one whose stack reaches the library before any frame of the
# interpreter running Python code.  Errors and leaks further down, made by
# Python code that a module call ran (3.12 never frees the texts it interns
# while loading code, for one), and the interpreters' own are counted too
# but do not fail it.
#
#   scripts/memcheck.sh [suite ...]      default: the suites listed below
#
# Prints one line per interpreter and suite: the suite's test outcome, the
# errors made by the module (and those with it further up the stack), all
# errors, and the bytes definitely lost from blocks the module allocated.
# The suites hand megabyte-long file names to the dynamic loader, which puts
# them on the stack; --max-stackframe keeps valgrind from taking that for a
# switch of stacks.  VELMORA_VALGRIND=1 tells the suites to shrink
# their loops and to skip the tests whose work happens in child processes,
# which valgrind does not follow.  Reports are kept in build/memcheck/
# (VELMORA_MEMCHECK_BUILD names another build folder).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v valgrind >/dev/null; then
  echo "memcheck: installing valgrind"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq valgrind >/dev/null
fi

# The suites that load the module into the test process itself; the others
# (packaging, tooling, the stand-in host) run it only in child processes.
suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
  suites=(test_frame test_catalogue test_plugins test_modules test_crypto
          test_introspection test_reliability test_memory)
fi

jobs=$(nproc 2>/dev/null || echo 2)
build=${VELMORA_MEMCHECK_BUILD:-$root/build}
"$root/scripts/check-plugin-root.sh"
"$root/scripts/build-release.sh" "$build" >/dev/null
out="$build/memcheck"
rm -rf "$out"
mkdir -p "$out"

# One suite under one interpreter; its figures go to $out/<tag>.<suite>.line.
run_one() {
  local tag=$1 python=$2 moddir=$3 suite=$4
  local base="$out/$tag.$suite" started=$SECONDS status=0
  [ -f "$root/tests/$suite.py" ] || { echo "memcheck: no suite $suite" >&2; return 1; }
  (cd "$root/tests" && env PYTHONMALLOC=malloc VELMORA_VALGRIND=1 \
      PYTHONPATH="$moddir:$root/tests:$build/site" PYTHONDONTWRITEBYTECODE=1 PYTHONNOUSERSITE=1 \
      VELMORA_MODULE_DIR="$moddir" VELMORA_SITE_DIR="$build/site" VELMORA_PYTHON="$python" \
      VELMORA_CC="${CC:-cc}" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
      --errors-for-leak-kinds=definite --num-callers=50 --child-silent-after-fork=yes \
      --max-stackframe=8000000 \
      --xml=yes --xml-file="$base.xml" \
      "$python" -m unittest "$suite" </dev/null >"$base.log" 2>&1) || status=$?
  "$python" - "$base.xml" "$tag" "$suite" "$status" $((SECONDS - started)) >"$base.line" <<'EOF'
import re, sys
import xml.etree.ElementTree as ET
path, tag, suite, status, seconds = sys.argv[1:]
ours = re.compile(r'/Velmora[^/]*\.so$')
# Frames of the interpreter running Python code.  A block allocated, or a
# bad access made, below such a frame was the work of Python code (a plugin
# loaded through the module, say); it is the module's own only when the
# stack reaches the module's library first.
EVAL = {'_PyEval_EvalFrameDefault', '_PyEval_EvalFrame', 'PyEval_EvalCode',
        '_PyEval_EvalCodeWithName', 'PyEval_EvalFrameEx'}


def owner(error):
    below, stack = True, error.find('stack')
    for frame in stack.iter('frame') if stack is not None else ():
        if ours.search(frame.findtext('obj') or ''):
            return 'own' if below else 'above'
        name = frame.findtext('fn') or ''
        if name.startswith('tracemalloc_'):
            return None  # tracemalloc's own record of an allocation
        if name in EVAL:
            below = False
    return None


root = ET.parse(path).getroot()
counts = {e.findtext('unique'): int(e.findtext('count')) for e in root.iter('pair')}
errors = {'own': 0, 'above': 0, None: 0}
lost = {'own': 0, 'above': 0, None: 0}
for error in root.iter('error'):
    kind, who = error.findtext('kind'), owner(error)
    if kind.startswith('Leak_'):
        lost[who] += int(error.findtext('xwhat/leakedbytes') or 0)
    else:
        errors[who] += counts.get(error.findtext('unique'), 1)
failed = errors['own'] or lost['own'] or status != '0'
print('%-5s %-19s %s  module errors %d (%d more below Python code it ran)  all errors %d  '
      'module definitely lost %d B (%d B more)  %ss%s'
      % (tag, suite, 'tests ok  ' if status == '0' else 'tests FAIL', errors['own'],
         errors['above'], sum(errors.values()), lost['own'], lost['above'], seconds,
         '  FAILED' if failed else ''))
EOF
}

expected=0
while read -r tag python moddir; do
  for suite in "${suites[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    run_one "$tag" "$python" "$moddir" "$suite" </dev/null &
    expected=$((expected + 1))
  done
done < "$build/interpreters.txt"
wait || true

# Every run leaves one line; a missing line is a run that died.
status=0
cat "$out"/*.line 2>/dev/null || true
if [ "$(cat "$out"/*.line 2>/dev/null | wc -l)" -ne $expected ] ||
   grep -q 'FAILED$' "$out"/*.line; then
  status=1
fi
if [ $status -ne 0 ]; then
  echo "memcheck: FAILED (reports and logs in $out)"
else
  echo "memcheck: no error in the module's frames"
fi
exit $status

#!/usr/bin/env bash
# Benchmarks, for every built interpreter (release build in build-bench/):
#   * one table per interpreter: every exported function, success and
#     failure paths, on the native module and on the pure one (pure/), in
#     ns per call and as a ratio pure / native;
#   * the import: a fresh process's `import Velmora`, native and pure,
#     beside an empty C extension's (median of 15 runs).
# The host is the working stand-in host, devhost/public.py, answering the
# catalogue from a file.  Figures are printed; targets are read off them,
# not asserted.
#
#   scripts/bench.sh [--instructions]
#     --instructions  add callgrind instruction counts per call to the tables
#                     (needs valgrind; skipped with a note where it is missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
table_args=()
for arg in "$@"; do
  case $arg in
    --instructions) table_args+=(--instructions) ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

"$root/scripts/prepare.sh"
build=${VELMORA_BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

callgrind=()
if [ -f /usr/include/valgrind/callgrind.h ]; then
  callgrind=(-DVELMORA_BENCH_CALLGRIND)
elif [ ${#table_args[@]} -gt 0 ]; then
  echo "bench.sh: valgrind/callgrind.h not found (package valgrind); instruction counts will be skipped" >&2
fi

# String hashing is randomised per process, and the short rows' instruction
# counts move by a few percent with it: a fixed seed makes runs comparable.
export PYTHONHASHSEED=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data"
cc=${CC:-cc}
while read -r tag python moddir; do
  # The measuring helper and the empty extension, per interpreter, built
  # with the module's hardening flags and, before 3.8, linked to the
  # interpreter's runtime library as the module is.
  helpers="$build/bench/$tag"
  mkdir -p "$helpers"
  read -r include suffix runtime < <("$python" -c '
import sys, sysconfig, os
v = sysconfig.get_config_vars()
lib = os.path.join(v["LIBDIR"], v["LDLIBRARY"]) if sys.version_info < (3, 8) else "-"
print(sysconfig.get_paths()["include"], v["EXT_SUFFIX"], lib)')
  link=()
  [ "$runtime" != "-" ] && link=("$runtime" "-Wl,-rpath,$(dirname "$runtime")")
  for helper in velmora_bench velmora_empty; do
    "$cc" -O2 -fPIC -shared -fstack-protector-strong -Wl,-z,relro,-z,now -Wl,--as-needed \
      -I"$include" "${callgrind[@]}" -o "$helpers/$helper$suffix" \
      "$root/bench/native/$helper.c" "${link[@]}"
  done

  echo "== $tag"
  (cd "$work" && TMPDIR="$work" PYTHONDONTWRITEBYTECODE=1 VELMORA_CC="$cc" \
    PYTHONPATH="$moddir:$root/devhost:$build/site:$helpers" \
    "$python" "$root/bench/bench_table.py" "${table_args[@]}")
  (cd "$work" && TMPDIR="$work" PYTHONDONTWRITEBYTECODE=1 \
    PYTHONPATH="$root/devhost:$build/site" \
    "$python" "$root/bench/bench_import.py" "$moddir" "$helpers" "${table_args[@]}")
done < "$build/interpreters.txt"

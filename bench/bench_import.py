"""What importing the module costs in a fresh process, beside the pure
implementation's import and an empty C extension built with the same
compiler and flags.

Each run is a new interpreter that first imports everything the module's
initialisation imports (the host's `public`, os, sys, json, importlib,
importlib.util, ctypes), puts the extension's own folder first in sys.path
and then times the import statement alone.  That leaves the loading of the
library, the module's initialisation and its catalogue refresh (a host call
that reads a small answer file, a file write and three printed lines, to
/dev/null here).  The host is devhost/public.py.  Every run gets a
working folder of its own, so the catalogue's cache file is created, not
rewritten: rewriting an existing file costs whatever the file system makes
it cost (milliseconds on ext4 under load), the same for any implementation,
and would drown the figure.  The pure module is imported from a copy
compiled to bytecode first, as an installed one is.  Median of 15 runs
each, in alternation.

With --instructions (and valgrind), callgrind also counts the instructions
of the import statement of each, once, which machine load does not change;
page faults and system calls are not instructions and are not in it.

    python bench_import.py MODULE_DIR EMPTY_DIR [--instructions]

EMPTY_DIR also holds the velmora_bench helper that the count needs.
"""
import glob
import os
import py_compile
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

CHILD = r'''
import os, sys, json, importlib, importlib.util, ctypes, time
import public
sys.path.insert(0, sys.argv[1])
out = sys.stdout
sys.stdout = open(os.devnull, 'w')
start = time.perf_counter()
import {name}
elapsed = time.perf_counter() - start
sys.stdout = out
print(elapsed * 1e6)
'''


COUNTING_CHILD = r'''
import os, sys, json, importlib, importlib.util, ctypes
import public, velmora_bench
sys.path.insert(0, sys.argv[1])
sys.stdout = open(os.devnull, 'w')
velmora_bench.run(lambda: __import__('{name}'), 1, None, 'import')
'''


def workspace(workdir):
    """Prepares `workdir` for one import and returns the environment for
    it: the host's catalogue answer comes from a small file there, so the
    refresh costs what a host call and a file read cost, with no server."""
    os.makedirs(os.path.join(workdir, 'data'))
    answer = os.path.join(workdir, 'catalogue.json')
    with open(answer, 'w') as f:
        f.write('{"list": [], "type": 0}')
    env = dict(os.environ, VELMORA_CATALOGUE_FILE=answer)
    env.pop('VELMORA_CLOUD_OVERRIDE', None)
    return env


def count_import(name, folder, helpers):
    """Instructions of one import statement, under callgrind."""
    out = tempfile.mkdtemp(prefix='velmora-import-cg-')
    try:
        with tempfile.TemporaryDirectory(prefix='velmora-import-') as workdir:
            env = dict(workspace(workdir), PYTHONHASHSEED='0')
            env['PYTHONPATH'] = os.pathsep.join(filter(None, [helpers, env.get('PYTHONPATH')]))
            subprocess.run(['valgrind', '--tool=callgrind', '--collect-atstart=no',
                            '--callgrind-out-file=' + os.path.join(out, 'cg.%p'),
                            sys.executable, '-c', COUNTING_CHILD.format(name=name), folder],
                           cwd=workdir, env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for path in glob.glob(os.path.join(out, 'cg.*')):
            with open(path) as f:
                text = f.read()
            if 'Client Request: import' in text:
                return int(re.search(r'^totals: (\d+)', text, re.M).group(1))
        return None
    finally:
        shutil.rmtree(out, ignore_errors=True)


def one_run(name, folder):
    code = CHILD.format(name=name)
    with tempfile.TemporaryDirectory(prefix='velmora-import-') as workdir:
        env = workspace(workdir)
        result = subprocess.run([sys.executable, '-c', code, folder], cwd=workdir, env=env,
                                stdout=subprocess.PIPE, check=True, universal_newlines=True)
    return float(result.stdout.split()[-1])


def compiled_pure(folder):
    """A copy of pure/Velmora.py in `folder`, with its bytecode beside it."""
    source = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          'pure', 'Velmora.py')
    copy = shutil.copy(source, folder)
    py_compile.compile(copy, doraise=True)
    return folder


def main():
    module_dir, empty_dir = (os.path.abspath(p) for p in sys.argv[1:3])
    instructions = '--instructions' in sys.argv[3:]
    runs = 15
    with tempfile.TemporaryDirectory(prefix='velmora-pure-') as pure_dir:
        compiled_pure(pure_dir)
        imports = (('Velmora', module_dir), ('Velmora', pure_dir), ('velmora_empty', empty_dir))
        times = [[], [], []]
        for _ in range(runs):
            for spent, (name, folder) in zip(times, imports):
                spent.append(one_run(name, folder))
        native, pure, empty = (statistics.median(t) for t in times)
        print('CPython %d.%d.%d import, median of %d fresh processes: Velmora %.0f us, '
              'pure %.0f us, empty C extension %.0f us; native / empty %.2f, pure / native %.2f'
              % (sys.version_info[:3] + (runs, native, pure, empty, native / empty,
                                         pure / native)))
        if not instructions:
            return
        sys.path.insert(0, empty_dir)
        import velmora_bench
        if shutil.which('valgrind') is None or not velmora_bench.has_callgrind():
            print('(--instructions: valgrind or its callgrind.h is missing; import not counted)')
            return
        native, pure, empty = (count_import(name, folder, empty_dir) for name, folder in imports)
    if native and pure and empty:
        print('CPython %d.%d.%d import, instructions: Velmora %d, pure %d, empty C extension %d; '
              'native / empty %.2f, pure / native %.2f'
              % (sys.version_info[:3] + (native, pure, empty, native / empty, pure / native)))


if __name__ == '__main__':
    main()

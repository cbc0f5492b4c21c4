"""Every exported function beside its floor, one table per interpreter.

The floor of a function is the set of calls it is required to make,
written inline in plain Python (velmora_floor.py).  For each case the table
shows the module's time per call, the floor's, and their ratio; with
--instructions it adds callgrind's instruction counts per call, which do not
depend on what else the machine is doing.

Cases cover a success and a failure path of every function, 10 and 200
directory entries for get_module_list and 1, 3 and 100 lines for the field
calls.  The host is devhost/public.py, the working stand-in host, steered
through its environment settings: the catalogue is answered from a file of
the fixture's (a missing file stands for an unreachable cloud), and module
files are loaded afresh at every call, as that host does.  Module and floor
make the same host calls, so the host's cost is in both columns alike.

Needs on PYTHONPATH: the module's folder, bench/, devhost/, the build-local
site folder and the folder holding the velmora_bench helper (scripts/bench.sh
sets all of them up).  Writes only below a temporary folder of its own and
below the plugin root, where it adds and then removes two throw-away plugins.
"""
import argparse
import gc
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PLUGIN_ROOT = '/www/server/panel/plugin'
SO_SUFFIX = '_main.cpython-37m-x86_64-linux-gnu.so'
KEY, IV = 'Qm7TxR2vLp9KdW4s', 'Hn3YcB8uZe5JqA1f'
LINE = 'a stored field value, one line'
CATALOGUE = '{"list": [], "type": 0}'


class Args:
    """The host's request object: `in` and attribute reads."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def __contains__(self, key):
        return key in self.__dict__


class Case:
    def __init__(self, function, label, native, floor, expected=None, setup=None,
                 heavy=False):
        self.function = function
        self.label = label
        self.native = native
        self.floor = floor
        self.expected = expected   # exception class a failure case raises
        self.setup = setup         # puts the host in this case's state
        self.heavy = heavy         # compiles or loads a file on every call


class Fixture:
    """Folders, files and plugins the cases work on."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix='velmora-bench-')
        os.makedirs(os.path.join(self.work, 'data'))
        self.catalogue = self.path('catalogue.json')
        with open(self.catalogue, 'w') as f:
            f.write(CATALOGUE)
        self.plugin_dirs = []
        self.created_roots = []

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def class_dir(self, name, entries):
        """A class directory with `entries` entries: accepted module
        directories (each holding siteModel.py), directories that fail one
        of the name tests, and plain files."""
        base = self.path(name)
        os.makedirs(base)
        kinds = ['mod{:03d}Model', 'site{:03d}Model', 'cron{:03d}', 'bak{:03d}.Model',
                 'notes{:03d}Model']
        for i in range(entries):
            kind = i % len(kinds)
            entry = os.path.join(base, kinds[kind].format(i))
            if kind == 4:
                open(entry, 'w').close()
                continue
            os.makedirs(entry)
            if kind < 2:
                with open(os.path.join(entry, 'siteModel.py'), 'w') as f:
                    f.write('class main:\n    def get_list(self, args):\n        return 1\n')
        return base

    def plugins(self, library):
        path = PLUGIN_ROOT
        while path not in ('/', '') and not os.path.isdir(path):
            self.created_roots.append(path)
            path = os.path.dirname(path)
        tag = str(os.getpid())
        source, compiled = 'vb_source_' + tag, 'vb_compiled_' + tag
        for name in (source, compiled):
            folder = os.path.join(PLUGIN_ROOT, name)
            os.makedirs(folder)
            self.plugin_dirs.append(folder)
        with open(os.path.join(PLUGIN_ROOT, source, source + '_main.py'), 'w') as f:
            f.write('class %s_main:\n    def run(self, args):\n        return 1\n' % source)
        shutil.copyfile(library, os.path.join(PLUGIN_ROOT, compiled, compiled + SO_SUFFIX))
        return source, compiled, 'vb_absent_' + tag

    def remove(self):
        for folder in self.plugin_dirs:
            shutil.rmtree(folder, ignore_errors=True)
        for path in self.created_roots:
            try:
                os.rmdir(path)
            except OSError:
                pass
        shutil.rmtree(self.work, ignore_errors=True)


def compile_library(fixture):
    library = fixture.path('plugin.so')
    env = {k: v for k, v in os.environ.items() if k not in ('LD_PRELOAD', 'PYTHONMALLOC')}
    subprocess.run([os.environ.get('VELMORA_CC') or 'cc', '-shared', '-fPIC', '-o', library,
                    os.path.join(ROOT, 'tests', 'data', 'compiled_plugin.c')],
                   check=True, env=env)
    return library


def build_cases(V, F, public, fixture):
    """(cases, check) where check() asserts that each floor gives what the
    module gives, so that no floor is cheaper by doing less."""
    library = compile_library(fixture)
    source, compiled, absent = fixture.plugins(library)
    small = fixture.class_dir('class10', 10)
    large = fixture.class_dir('class200', 200)
    missing_dir = fixture.path('no-such-dir')
    missing_py = fixture.path('no-such-file.py')
    panel = fixture.path('panel')
    os.makedirs(os.path.join(panel, 'data'))
    bad_panel = fixture.path('bad-panel')
    os.makedirs(os.path.join(bad_panel, 'data'))
    with open(os.path.join(bad_panel, 'data', 'div.pl'), 'w') as f:
        f.write('garbage')
    loadme = fixture.path('loadme.py')
    with open(loadme, 'w') as f:
        f.write('value = 1\n')

    def host(**state):
        settings = dict(VELMORA_CLASS_PATH=small, VELMORA_PANEL_PATH=panel,
                        VELMORA_CATALOGUE_FILE=fixture.catalogue)
        settings.update(state)

        def apply():
            os.environ.update(settings)
        return apply

    unreachable = host(VELMORA_CATALOGUE_FILE=fixture.path('no-answer.json'))
    host()()
    V.__get_db_iv()  # creates the IV file once
    texts = {n: '\n'.join('%s %d' % (LINE, i) for i in range(n)) for n in (1, 3, 100)}
    ciphers = {n: V.db_encrypt(t)['msg'] for n, t in texts.items()}
    enc, dec = getattr(V, '__aes_encrypt'), getattr(V, '__aes_decrypt')
    enc_m, dec_m = getattr(V, '__aes_encrypt_module'), getattr(V, '__aes_decrypt_module')
    cipher_text = enc(LINE, KEY, IV)
    search, named = Args(), Args(model_index='mod000')
    CloudError = public.CloudError

    cases = [
        Case('get_plugin_list', 'cloud', lambda: V.get_plugin_list(),
             lambda: F.floor_get_plugin_list(), setup=host()),
        Case('get_plugin_list', 'cache (force=0)', lambda: V.get_plugin_list(0),
             lambda: F.floor_get_plugin_list(0), setup=host()),
        Case('get_plugin_list', 'cloud unreachable', lambda: V.get_plugin_list(),
             lambda: F.floor_get_plugin_list(), CloudError, unreachable),
        Case('update_plugin_list', 'cloud', lambda: V.update_plugin_list(),
             lambda: F.floor_update_plugin_list(), setup=host()),
        Case('update_plugin_list', 'cloud unreachable', lambda: V.update_plugin_list(),
             lambda: F.floor_update_plugin_list(), CloudError, unreachable),
        Case('plugin_run', 'source entry', lambda: V.plugin_run(source, 'run', search),
             lambda: F.floor_plugin_run(source, 'run', search), setup=host(), heavy=True),
        Case('plugin_run', 'compiled entry',
             lambda: V.plugin_run(compiled, 'twice', Args(_as_parameter_=2)),
             lambda: F.floor_plugin_run(compiled, 'twice', Args(_as_parameter_=2)),
             setup=host(), heavy=True),
        Case('plugin_run', 'missing operation', lambda: V.plugin_run(source, 'absent', search),
             lambda: F.floor_plugin_run(source, 'absent', search), setup=host(), heavy=True),
        Case('plugin_run', 'no entry file', lambda: V.plugin_run(absent, 'run', search),
             lambda: F.floor_plugin_run(absent, 'run', search), setup=host()),
        Case('load_so_plugin', 'library', lambda: V.load_so_plugin(library),
             lambda: F.floor_load_so_plugin(library), heavy=True),
        Case('load_so_plugin', 'missing file', lambda: V.load_so_plugin(missing_dir),
             lambda: F.floor_load_so_plugin(missing_dir), OSError),
        Case('module_run', 'found by search', lambda: V.module_run('site', 'get_list', search),
             lambda: F.floor_module_run('site', 'get_list', search), setup=host(), heavy=True),
        Case('module_run', 'model_index', lambda: V.module_run('site', 'get_list', named),
             lambda: F.floor_module_run('site', 'get_list', named), setup=host(), heavy=True),
        Case('module_run', 'module missing', lambda: V.module_run('nosuch', 'get_list', search),
             lambda: F.floor_module_run('nosuch', 'get_list', search), setup=host()),
        Case('module_run', 'name refused', lambda: V.module_run('a;b', 'get_list', search),
             lambda: F.floor_module_run('a;b', 'get_list', search), setup=host()),
        Case('get_module_list', '10 entries', lambda: V.get_module_list(),
             lambda: F.floor_get_module_list(), setup=host()),
        Case('get_module_list', '200 entries', lambda: V.get_module_list(),
             lambda: F.floor_get_module_list(), setup=host(VELMORA_CLASS_PATH=large)),
        Case('get_module_list', 'missing folder', lambda: V.get_module_list(),
             lambda: F.floor_get_module_list(), FileNotFoundError,
             host(VELMORA_CLASS_PATH=missing_dir)),
        Case('get_module', 'source file', lambda: V.get_module(loadme),
             lambda: F.floor_get_module(loadme), heavy=True),
        Case('get_module', 'missing file', lambda: V.get_module(missing_py),
             lambda: F.floor_get_module(missing_py), FileNotFoundError),
        Case('path_check', 'clean name', lambda: V.path_check('site_manager'),
             lambda: F.floor_path_check('site_manager')),
        Case('path_check', 'refused name', lambda: V.path_check('site;x'),
             lambda: F.floor_path_check('site;x')),
        Case('path_check', 'keyword argument', lambda: V.path_check(path='site_manager'),
             lambda: F.floor_path_check(path='site_manager')),
    ]
    for n in (1, 3, 100):
        cases.append(Case('db_encrypt', '%d line%s' % (n, 's' if n > 1 else ''),
                          lambda t=texts[n]: V.db_encrypt(t),
                          lambda t=texts[n]: F.floor_db_encrypt(t), setup=host()))
    cases.append(Case('db_encrypt', 'not a text', lambda: V.db_encrypt(None),
                      lambda: F.floor_db_encrypt(None), setup=host()))
    for n in (1, 3, 100):
        cases.append(Case('db_decrypt', '%d line%s' % (n, 's' if n > 1 else ''),
                          lambda c=ciphers[n]: V.db_decrypt(c),
                          lambda c=ciphers[n]: F.floor_db_decrypt(c), setup=host()))
    cases += [
        Case('db_decrypt', 'not a cipher text', lambda: V.db_decrypt(LINE),
             lambda: F.floor_db_decrypt(LINE), setup=host()),
        Case('__get_db_sgin', 'key', lambda: getattr(V, '__get_db_sgin')(),
             lambda: F.floor_get_db_sgin()),
        Case('__get_db_iv', 'IV file', lambda: getattr(V, '__get_db_iv')(),
             lambda: F.floor_get_db_iv(), setup=host()),
        Case('__get_db_iv', 'damaged IV file', lambda: getattr(V, '__get_db_iv')(),
             lambda: F.floor_get_db_iv(), ValueError, host(VELMORA_PANEL_PATH=bad_panel)),
        Case('__aes_encrypt_module', 'text', lambda: enc_m(LINE),
             lambda: F.floor_aes_encrypt_module(LINE)),
        Case('__aes_encrypt_module', 'bytes', lambda: enc_m(b'x'),
             lambda: F.floor_aes_encrypt_module(b'x'), AttributeError),
        Case('__aes_decrypt_module', 'cipher text', lambda: dec_m(cipher_text),
             lambda: F.floor_aes_decrypt_module(cipher_text)),
        Case('__aes_decrypt_module', 'bad base64', lambda: dec_m('abc'),
             lambda: F.floor_aes_decrypt_module('abc'), ValueError),
        Case('__aes_encrypt', 'text', lambda: enc(LINE, KEY, IV),
             lambda: F.floor_aes_encrypt(LINE, KEY, IV)),
        Case('__aes_encrypt', 'short key', lambda: enc(LINE, 'short', IV),
             lambda: F.floor_aes_encrypt(LINE, 'short', IV), ValueError),
        Case('__aes_decrypt', 'cipher text', lambda: dec(cipher_text, KEY, IV),
             lambda: F.floor_aes_decrypt(cipher_text, KEY, IV)),
        Case('__aes_decrypt', 'wrong key', lambda: dec(cipher_text, KEY[::-1], IV),
             lambda: F.floor_aes_decrypt(cipher_text, KEY[::-1], IV), ValueError),
    ]
    return cases


def outcome(fn, expected):
    try:
        result = fn()
    except BaseException as e:  # noqa: B902 - compared, not handled
        if expected is None or not isinstance(e, expected):
            raise
        return ('raised', type(e).__name__)
    if isinstance(result, dict):
        return ('returned', result)
    return ('returned', type(result).__name__)


def check(cases):
    for case in cases:
        if case.setup:
            case.setup()
        ours, floor = outcome(case.native, case.expected), outcome(case.floor, case.expected)
        if ours != floor:
            raise SystemExit('floor disagrees with the module for %s %s: %r != %r'
                             % (case.function, case.label, ours, floor))


def measure_time(bench, case, repeat):
    """Minimum ns per call of the module and of the floor, measured in
    alternation so that a change in machine load hits both alike."""
    n = 1
    while True:
        elapsed = bench.run(case.native, n, case.expected)
        if elapsed > 5e6 or n >= 1 << 20:
            break
        n *= 4
    n = max(1, int(n * 10e6 / max(elapsed, 1)))
    best = [float('inf'), float('inf')]
    for _ in range(repeat):
        for i, fn in enumerate((case.native, case.floor)):
            best[i] = min(best[i], bench.run(fn, n, case.expected) / n)
    return best


def callgrind_child(cases, bench, calls, rounds=3):
    """Runs under callgrind: each case's calls, collected and dumped apart,
    in a few alternating rounds.  The smallest round counts: a one-off cost
    (the C allocator consolidating its free lists, say) lands in whichever
    call happens to come first and says nothing about either."""
    for index, case in enumerate(cases):
        if case.setup:
            case.setup()
        n = max(2, calls // 4) if case.heavy else calls
        for fn in (case.native, case.floor):
            bench.run(fn, 5, case.expected)  # caches and specialisation first
        for round_ in range(rounds):
            for which, fn in (('native', case.native), ('floor', case.floor)):
                gc.collect()
                bench.run(fn, n, case.expected, '%d %d %s %d' % (round_, index, which, n))


def read_dumps(folder):
    counts = {}
    for path in glob.glob(os.path.join(folder, 'callgrind.out*')):
        label = total = None
        with open(path) as f:
            for line in f:
                if line.startswith('desc: Trigger: Client Request: '):
                    label = line.split(': ', 2)[2].strip()
                elif line.startswith('summary:') or line.startswith('totals:'):
                    total = int(line.split()[1])
        match = re.search(r'(\d+) (native|floor) (\d+)$', label or '')
        if match and total is not None:
            index, which, n = match.groups()
            key = (int(index), which)
            counts[key] = min(counts.get(key, float('inf')), total / int(n))
    return counts


def count_instructions(calls, only):
    valgrind = shutil.which('valgrind')
    if valgrind is None:
        print('(--instructions: valgrind is not installed; instruction counts skipped)')
        return None
    import velmora_bench
    if not velmora_bench.has_callgrind():
        print('(--instructions: the helper was built without valgrind/callgrind.h; '
              'instruction counts skipped)')
        return None
    folder = tempfile.mkdtemp(prefix='velmora-callgrind-')
    try:
        env = dict(os.environ, PYTHONHASHSEED='0')
        subprocess.run([valgrind, '--tool=callgrind', '--collect-atstart=no',
                        '--callgrind-out-file=' + os.path.join(folder, 'callgrind.out.%p'),
                        sys.executable, os.path.abspath(__file__), '--callgrind-child',
                        '--calls', str(calls)] + (['--only', only] if only else []),
                       check=True, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return read_dumps(folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--instructions', action='store_true',
                        help='add callgrind instruction counts per call')
    parser.add_argument('--repeat', type=int, default=7)
    parser.add_argument('--calls', type=int, default=20,
                        help='calls per case and round under callgrind')
    parser.add_argument('--only', help='run only the cases of this function')
    parser.add_argument('--callgrind-child', action='store_true', help=argparse.SUPPRESS)
    options = parser.parse_args()

    fixture = Fixture()
    # The import refreshes the catalogue: from the fixture's file, never
    # from a server named in the caller's environment.
    os.environ.pop('VELMORA_CLOUD_OVERRIDE', None)
    os.environ['VELMORA_CATALOGUE_FILE'] = fixture.catalogue
    real_stdout = sys.stdout
    os.chdir(fixture.work)
    devnull = open(os.devnull, 'w')
    try:
        # The catalogue prints; its lines go nowhere while measuring.
        sys.stdout = devnull
        import public
        import Velmora
        import velmora_floor
        import velmora_bench
        cases = build_cases(Velmora, velmora_floor, public, fixture)
        if options.only:
            cases = [c for c in cases if c.function == options.only]
        check(cases)
        gc.disable()
        if options.callgrind_child:
            callgrind_child(cases, velmora_bench, options.calls)
            return
        times = []
        for case in cases:
            if case.setup:
                case.setup()
            gc.collect()
            times.append(measure_time(velmora_bench, case, options.repeat))
        gc.enable()
        sys.stdout = real_stdout
        counts = count_instructions(options.calls, options.only) if options.instructions else None
    finally:
        sys.stdout = real_stdout
        devnull.close()
        os.chdir('/')
        fixture.remove()

    version = 'CPython %d.%d.%d' % sys.version_info[:3]
    head = '%-22s %-20s %12s %12s %6s' % ('function', 'case', 'native ns', 'floor ns', 'ratio')
    if counts is not None:
        head += ' %12s %12s %6s' % ('native Ir', 'floor Ir', 'ratio')
    print('\n%s\n%s\n%s' % (version, head, '-' * len(head)))
    for index, (case, (t_native, t_floor)) in enumerate(zip(cases, times)):
        row = '%-22s %-20s %12.0f %12.0f %6.2f' % (
            case.function, case.label, t_native, t_floor, t_native / t_floor)
        if counts is not None:
            i_native, i_floor = counts.get((index, 'native')), counts.get((index, 'floor'))
            if i_native and i_floor:
                row += ' %12.0f %12.0f %6.2f' % (i_native, i_floor, i_native / i_floor)
        print(row)


if __name__ == '__main__':
    main()

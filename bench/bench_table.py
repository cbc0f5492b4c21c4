"""The native module beside the pure one, one table per interpreter.

Both implementations run in this process through the same stand-in host:
the native module as `Velmora`, pure/Velmora.py under a name of its own.
Every case is first called on both and must give the same answer (result,
or exception and its text); then the table shows each one's time per call
and, with --instructions, callgrind's instruction counts per call, which do
not depend on what else the machine is doing.  Ratios are pure / native:
the native module's advantage.

Cases cover a success and a failure path of every function, 10 and 200
directory entries for get_module_list and 1, 3 and 100 lines for the field
calls.  The host is devhost/public.py, the working stand-in host, steered
through its environment settings: the catalogue is answered from a file of
the fixture's (a missing file stands for an unreachable cloud), and module
files are loaded afresh at every call, as that host does.  Both
implementations make the same host calls, so the host's cost is in both
columns alike.  The plugin root, the compiled entry's suffix, the module
key and the messages the failure paths return come from the pure module.

Needs on PYTHONPATH: the native module's folder, devhost/, the build-local
site folder and the folder holding the velmora_bench helper (scripts/bench.sh
sets all of them up).  Writes only below a temporary folder of its own and
below the plugin root, where it adds and then removes two throw-away plugins.
"""
import argparse
import functools
import gc
import glob
import importlib.util
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LINE = 'a stored field value, one line'
CATALOGUE = '{"list": [], "type": 0}'
NAMES = ('native', 'pure')


class Args:
    """The host's request object: `in` and attribute reads."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def __contains__(self, key):
        return key in self.__dict__


class Case:
    """One row: `call(M)` makes the call on implementation M."""

    def __init__(self, function, label, call, expected=None, setup=None, heavy=False,
                 message=None):
        self.function = function
        self.label = label
        self.call = call
        self.expected = expected   # exception class a failure case raises
        self.setup = setup         # puts the host in this case's state
        self.heavy = heavy         # compiles or loads a file on every call
        self.message = message     # the message a refusal row must return

    def bind(self, implementations):
        return [functools.partial(self.call, M) for M in implementations]


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

    def plugins(self, library, root, so_suffix):
        path = root
        while path not in ('/', '') and not os.path.isdir(path):
            self.created_roots.append(path)
            path = os.path.dirname(path)
        tag = str(os.getpid())
        source, compiled = 'vb_source_' + tag, 'vb_compiled_' + tag
        for name in (source, compiled):
            folder = os.path.join(root, name)
            os.makedirs(folder)
            self.plugin_dirs.append(folder)
        with open(os.path.join(root, source, source + '_main.py'), 'w') as f:
            f.write('class %s_main:\n    def run(self, args):\n        return 1\n' % source)
        shutil.copyfile(library, os.path.join(root, compiled, compiled + so_suffix))
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


def build_cases(V, P, public, fixture):
    """Every row, on the fixture; V, the native module, makes the inputs
    the cipher rows decrypt, and P, the pure one, gives the fixed texts."""
    library = compile_library(fixture)
    source, compiled, absent = fixture.plugins(library, P._PLUGIN_ROOT, P._LIBRARY_SUFFIX)
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
    key, iv = P._MODULE_KEY, P._MODULE_IV
    getattr(V, '__get_db_iv')()  # creates the IV file once
    texts = {n: '\n'.join('%s %d' % (LINE, i) for i in range(n)) for n in (1, 3, 100)}
    ciphers = {n: V.db_encrypt(t)['msg'] for n, t in texts.items()}
    cipher_text = getattr(V, '__aes_encrypt')(LINE, key, iv)
    search, named = Args(), Args(model_index='mod000')
    CloudError = public.CloudError

    cases = [
        Case('get_plugin_list', 'cloud', lambda M: M.get_plugin_list(), setup=host()),
        Case('get_plugin_list', 'cache (force=0)', lambda M: M.get_plugin_list(0),
             setup=host()),
        Case('get_plugin_list', 'cloud unreachable', lambda M: M.get_plugin_list(),
             CloudError, unreachable),
        Case('update_plugin_list', 'cloud', lambda M: M.update_plugin_list(), setup=host()),
        Case('update_plugin_list', 'cloud unreachable', lambda M: M.update_plugin_list(),
             CloudError, unreachable),
        Case('plugin_run', 'source entry', lambda M: M.plugin_run(source, 'run', search),
             setup=host(), heavy=True),
        Case('plugin_run', 'compiled entry',
             lambda M: M.plugin_run(compiled, 'twice', Args(_as_parameter_=2)),
             setup=host(), heavy=True),
        Case('plugin_run', 'missing operation', lambda M: M.plugin_run(source, 'absent', search),
             setup=host(), heavy=True,
             message=P._PLUGIN_NO_OPERATION % (source, 'absent')),
        Case('plugin_run', 'no entry file', lambda M: M.plugin_run(absent, 'run', search),
             setup=host(), message=P._PLUGIN_LOAD_FAILED),
        Case('load_so_plugin', 'library', lambda M: M.load_so_plugin(library), heavy=True),
        Case('load_so_plugin', 'missing file', lambda M: M.load_so_plugin(missing_dir),
             OSError),
        Case('module_run', 'found by search', lambda M: M.module_run('site', 'get_list', search),
             setup=host(), heavy=True),
        Case('module_run', 'model_index', lambda M: M.module_run('site', 'get_list', named),
             setup=host(), heavy=True),
        Case('module_run', 'module missing',
             lambda M: M.module_run('nosuch', 'get_list', search), setup=host(),
             message=P._MODULE_MISSING % 'nosuch'),
        Case('module_run', 'name refused', lambda M: M.module_run('a;b', 'get_list', search),
             setup=host(), message=P._MODULE_SPECIAL),
        Case('get_module_list', '10 entries', lambda M: M.get_module_list(), setup=host()),
        Case('get_module_list', '200 entries', lambda M: M.get_module_list(),
             setup=host(VELMORA_CLASS_PATH=large)),
        Case('get_module_list', 'missing folder', lambda M: M.get_module_list(),
             FileNotFoundError, host(VELMORA_CLASS_PATH=missing_dir)),
        Case('get_module', 'source file', lambda M: M.get_module(loadme), heavy=True),
        Case('get_module', 'missing file', lambda M: M.get_module(missing_py),
             FileNotFoundError),
        Case('path_check', 'clean name', lambda M: M.path_check('site_manager')),
        Case('path_check', 'refused name', lambda M: M.path_check('site;x')),
        Case('path_check', 'keyword argument', lambda M: M.path_check(path='site_manager')),
    ]
    for n in (1, 3, 100):
        cases.append(Case('db_encrypt', '%d line%s' % (n, 's' if n > 1 else ''),
                          lambda M, t=texts[n]: M.db_encrypt(t), setup=host()))
    cases.append(Case('db_encrypt', 'not a text', lambda M: M.db_encrypt(None), setup=host()))
    for n in (1, 3, 100):
        cases.append(Case('db_decrypt', '%d line%s' % (n, 's' if n > 1 else ''),
                          lambda M, c=ciphers[n]: M.db_decrypt(c), setup=host()))
    cases += [
        Case('db_decrypt', 'not a cipher text', lambda M: M.db_decrypt(LINE), setup=host()),
        Case('__get_db_sgin', 'key', lambda M: getattr(M, '__get_db_sgin')()),
        Case('__get_db_iv', 'IV file', lambda M: getattr(M, '__get_db_iv')(), setup=host()),
        Case('__get_db_iv', 'damaged IV file', lambda M: getattr(M, '__get_db_iv')(),
             ValueError, host(VELMORA_PANEL_PATH=bad_panel)),
        Case('__aes_encrypt_module', 'text', lambda M: getattr(M, '__aes_encrypt_module')(LINE)),
        Case('__aes_encrypt_module', 'bytes',
             lambda M: getattr(M, '__aes_encrypt_module')(b'x'), AttributeError),
        Case('__aes_decrypt_module', 'cipher text',
             lambda M: getattr(M, '__aes_decrypt_module')(cipher_text)),
        Case('__aes_decrypt_module', 'bad base64',
             lambda M: getattr(M, '__aes_decrypt_module')('abc'), ValueError),
        Case('__aes_encrypt', 'text', lambda M: getattr(M, '__aes_encrypt')(LINE, key, iv)),
        Case('__aes_encrypt', 'short key',
             lambda M: getattr(M, '__aes_encrypt')(LINE, 'short', iv), ValueError),
        Case('__aes_decrypt', 'cipher text',
             lambda M: getattr(M, '__aes_decrypt')(cipher_text, key, iv)),
        Case('__aes_decrypt', 'wrong key',
             lambda M: getattr(M, '__aes_decrypt')(cipher_text, key[::-1], iv), ValueError),
    ]
    return cases


def outcome(fn, expected):
    """What a call gives, in a form two implementations can be compared
    by: plain results as they are, other objects by type, exceptions by
    type and text."""
    try:
        result = fn()
    except BaseException as e:  # noqa: B902 - compared, not handled
        if expected is None or not isinstance(e, expected):
            raise
        return ('raised', type(e).__name__, str(e))
    if result is None or isinstance(result, (dict, list, str, int)):
        return ('returned', result)
    return ('returned', type(result).__name__)


def check(cases, implementations):
    """Each case gives the same answer on both, and a refusal row the
    message it is named for, before anything is timed."""
    for case in cases:
        if case.setup:
            case.setup()
        native, pure = (outcome(fn, case.expected) for fn in case.bind(implementations))
        if native != pure:
            raise SystemExit('the implementations disagree on %s %s: native %r, pure %r'
                             % (case.function, case.label, native, pure))
        if case.message is not None and native[1].get('msg') != case.message:
            raise SystemExit('%s %s returned %r, not its message %r'
                             % (case.function, case.label, native[1], case.message))


def measure_time(bench, fns, expected, repeat):
    """Minimum ns per call of each of `fns` (native, pure), measured in
    alternation so that a change in machine load hits both alike; the
    count is set by the slower, pure one."""
    n = 1
    while True:
        elapsed = bench.run(fns[-1], n, expected)
        if elapsed > 5e6 or n >= 1 << 20:
            break
        n *= 4
    n = max(1, int(n * 10e6 / max(elapsed, 1)))
    best = [float('inf')] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], bench.run(fn, n, expected) / n)
    return best


def callgrind_child(cases, implementations, bench, calls, rounds=3):
    """Runs under callgrind: each case's calls, collected and dumped apart,
    in a few alternating rounds.  The smallest round counts: a one-off cost
    (the C allocator consolidating its free lists, say) lands in whichever
    call happens to come first and says nothing about either."""
    for index, case in enumerate(cases):
        if case.setup:
            case.setup()
        n = max(2, calls // 4) if case.heavy else calls
        fns = case.bind(implementations)
        for fn in fns:
            bench.run(fn, 5, case.expected)  # caches and specialisation first
        for round_ in range(rounds):
            for which, fn in zip(NAMES, fns):
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
        match = re.search(r'(\d+) (native|pure) (\d+)$', label or '')
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


def load_pure():
    """pure/Velmora.py under a module name of its own, so that it sits
    beside the native `Velmora` in this process."""
    spec = importlib.util.spec_from_file_location(
        'velmora_pure', os.path.join(ROOT, 'pure', 'Velmora.py'))
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def spread(ratios):
    return '%.2f (%.2f to %.2f)' % (statistics.median(ratios), min(ratios), max(ratios))


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
    # The imports refresh the catalogue: from the fixture's file, never
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
        import velmora_bench
        if Velmora.__file__.endswith('.py'):
            raise SystemExit('bench_table: the native Velmora is not first on PYTHONPATH')
        implementations = (Velmora, load_pure())
        cases = build_cases(Velmora, implementations[1], public, fixture)
        if options.only:
            cases = [c for c in cases if c.function == options.only]
        check(cases, implementations)
        gc.disable()
        if options.callgrind_child:
            callgrind_child(cases, implementations, velmora_bench, options.calls)
            return
        times = []
        for case in cases:
            if case.setup:
                case.setup()
            gc.collect()
            times.append(measure_time(velmora_bench, case.bind(implementations),
                                      case.expected, options.repeat))
        gc.enable()
        sys.stdout = real_stdout
        counts = count_instructions(options.calls, options.only) if options.instructions else None
    finally:
        sys.stdout = real_stdout
        devnull.close()
        os.chdir('/')
        fixture.remove()

    version = 'CPython %d.%d.%d' % sys.version_info[:3]
    head = '%-22s %-20s %12s %12s %6s' % ('function', 'case', 'native ns', 'pure ns', 'ratio')
    if counts is not None:
        head += ' %12s %12s %6s' % ('native Ir', 'pure Ir', 'ratio')
    print('\n%s\n%s\n%s' % (version, head, '-' * len(head)))
    time_ratios, count_ratios = [], []
    for index, (case, (t_native, t_pure)) in enumerate(zip(cases, times)):
        time_ratios.append(t_pure / t_native)
        row = '%-22s %-20s %12.0f %12.0f %6.2f' % (
            case.function, case.label, t_native, t_pure, time_ratios[-1])
        if counts is not None:
            i_native, i_pure = counts.get((index, 'native')), counts.get((index, 'pure'))
            if i_native and i_pure:
                count_ratios.append(i_pure / i_native)
                row += ' %12.0f %12.0f %6.2f' % (i_native, i_pure, count_ratios[-1])
        print(row)
    line = 'pure / native, median (range) over %d rows: time %s' % (len(cases),
                                                                    spread(time_ratios))
    if count_ratios:
        line += ', instructions %s' % spread(count_ratios)
    print(line)


if __name__ == '__main__':
    main()

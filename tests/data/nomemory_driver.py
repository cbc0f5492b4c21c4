"""Child-process side of the allocation-failure sweep (test_nomemory.py).

    python nomemory_driver.py import START STRIDE
    python nomemory_driver.py call FUNCTION STRIDE

For each n in turn (START, START + STRIDE, ...) it makes the n-th allocation
after arming fail (`_testcapi.set_nomemory(n, n + 1)`), runs the import or
the call, and judges what came back.  The sweep of one case ends at the
first n that the call completed without reaching: a probe run after the
call, still armed, then meets the failure itself.

Before each attempt a line "@ <case> <n>" goes to standard error, so that a
crash (which faulthandler reports below it) names the case and the n.  At
the end one JSON line on standard output reports every case swept: the
number of injections, the outcomes counted by kind, and the faults found.
"""
import faulthandler
import gc
import json
import os
import re
import sys
import tempfile
import traceback

import _testcapi

faulthandler.enable()

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
FAKEHOST = os.path.join(TESTS, 'fakehost')
for _path in (FAKEHOST, TESTS):
    if _path not in sys.path:
        sys.path.insert(0, _path)

# Set by test_nomemory.py for the debug build of 3.11: see RecordedOs.
RECORDED_OS = os.environ.get('VELMORA_NOMEM_RECORDED_OS') == '1'
# The module's exported functions, as the test found them in the module
# (the import sweep has to know them before the module is initialised).
EXPORTED = os.environ['VELMORA_NOMEM_EXPORTED'].split(',')

# How often, in injections, the collector runs over what failed calls left
# behind: half-made objects must be safe to traverse and free too.
COLLECT_EVERY = 64


def use_workdir():
    """The working directory, which the test made for this child and removes
    after it, also holds data/ and every temporary folder, so that a child
    that crashes leaves nothing behind.  (Called after `support` is
    imported: its record of the plugin root it made stays where the other
    suites look for it.)"""
    workdir = os.getcwd()
    os.makedirs(os.path.join(workdir, 'data'), exist_ok=True)
    tempfile.tempdir = workdir


def progress(case, n):
    os.write(2, ('@ %s %d\n' % (case, n)).encode())


def inject(function, args, n):
    """Calls function(*args) with the n-th allocation failing; returns
    (value, error, reached), `reached` telling whether the call got to that
    allocation.  The call is made here, not through a lambda: from 3.11 on
    the interpreter makes a frame's frame object when an exception first
    needs it for the traceback, and loses the exception if that fails.  This
    frame's object is made before arming."""
    sys._getframe()
    _testcapi.set_nomemory(n, n + 1)
    try:
        value = function(*args)
        error = None
    except BaseException as caught:  # judged by the caller, never raised here
        value, error = None, caught
    reached = True
    try:
        # Still armed: if the call stopped short of allocation n, one of
        # these meets it.  Each round allocates at least once.
        for _ in range(n + 2):
            bytearray(1)
    except MemoryError:
        reached = False
    _testcapi.remove_mem_hooks()
    return value, error, reached


def error_text(error):
    try:
        return '%s: %s' % (type(error).__name__, error)
    except BaseException:  # a str() that fails is reported, not raised
        return type(error).__name__


def where(error):
    """The innermost frames the exception passed through, for a report."""
    frames = traceback.extract_tb(error.__traceback__)[-3:]
    return ' <- '.join('%s:%d %s' % (os.path.basename(f.filename), f.lineno, f.name)
                       for f in reversed(frames))


# An exception lost inside a Python frame.  From 3.11 on the interpreter
# makes a frame's frame object only when something needs it, such as the
# traceback entry of an exception passing through; when that allocation
# fails the exception is dropped, and the frame (or the call that ran it)
# reports a SystemError instead.  A built-in alone shows it
# (operator.contains(None, 'x') raising into a lambda); 3.9 loses one in
# the frame evaluation of importlib's get_code too, and 3.10 one in the
# cipher library's own Python code (its words end in "an exception").  The module's own
# functions are C code with a check of their own: their failures never
# take these forms, and a form that names one of them is a fault.
LOST_IN_FRAME = re.compile(
    r'(error return without exception set'
    r'|_PyEval_EvalFrameDefault returned NULL without setting an (error|exception)'
    r'|<function (?P<name>[\w.<>]+) at 0x[0-9a-f]+> returned NULL without setting an '
    r'(error|exception))$')


def judge(error):
    """(outcome kind, fault or None) for an exception a call ended in."""
    if isinstance(error, SystemError):
        lost = LOST_IN_FRAME.match(str(error))
        if lost and lost.group('name') not in EXPORTED:
            return 'raised SystemError (exception lost in a Python frame)', None
        return 'raised SystemError', '%s (at %s)' % (error_text(error), where(error))
    return 'raised ' + type(error).__name__, None


class Sweep:
    """Counts and faults of one case."""

    def __init__(self, name):
        self.name = name
        self.injections = 0
        self.outcomes = {}
        self.faults = []

    def count(self, kind):
        self.outcomes[kind] = self.outcomes.get(kind, 0) + 1

    def fault(self, n, text):
        if len(self.faults) < 20:
            self.faults.append('n=%d: %s' % (n, text))

    def report(self):
        return {'case': self.name, 'injections': self.injections,
                'outcomes': self.outcomes, 'faults': self.faults}


def exc_info_clean(sweep, n):
    if sys.exc_info()[0] is not None:
        sweep.fault(n, 'sys.exc_info() left set: %r' % (sys.exc_info()[1],))
        return False
    return True


# --- The import ----------------------------------------------------------

def sweep_import(start, stride, loader):
    """Imports Velmora with allocation n failing, for n = start, start +
    stride, ...  A failed import leaves the module uninitialised and a later
    import starts again, so the attempts follow each other in this process.
    Returns (report, next_n): next_n is None when the sweep is complete, or
    the n to go on from in a fresh process when an import succeeded although
    an allocation failed in it (the module initialises once per process)."""
    import support
    use_workdir()
    # Everything the module imports at initialisation is loaded first:
    # the sweep is about the module's own initialisation, not about running
    # these modules' source for the first time.
    import public
    import ctypes  # noqa: F401
    import importlib.util  # noqa: F401
    import json as _json  # noqa: F401
    # The cache is written with a plain file write: the working host's
    # atomic write resolves the path first, and a debug CPython aborts on
    # its own assertions when an allocation fails in there, which says
    # nothing about the module.
    public.write_cache_answer = _write_plainly
    saved_stdout = sys.stdout
    sys.stdout = support.Discard()  # the catalogue prints on every call
    sweep = Sweep('import' + ('-loader' if loader else ''))
    attempt, attempt_args = _import_velmora, ()
    if loader:
        spec = importlib.util.find_spec('Velmora')
        attempt, attempt_args = _load_velmora, (spec,)
    n = start
    next_n = None
    try:
        while True:
            progress(sweep.name, n)
            module, error, reached = inject(attempt, attempt_args, n)
            sweep.injections += reached
            if error is not None:
                kind, fault = judge(error)
                if fault is None and isinstance(error, ImportError) and \
                        str(error) == 'init Velmora' and error.__context__ is None:
                    fault = 'ImportError "init Velmora" with nothing behind it'
                if fault:
                    sweep.fault(n, fault)
                # The import machinery may fail after the module initialised
                # (in its own clean-up, say), leaving the module in
                # sys.modules; the module is then initialised for good.
                leftover = sys.modules.pop('Velmora', None)
                if leftover is not None and all(name in vars(leftover) for name in EXPORTED):
                    module, kind = leftover, kind + ' after initialising'
                    error = None
                sweep.count(kind)
            else:
                sys.modules.pop('Velmora', None)
                sweep.count('imported' if reached else 'imported, no failure')
            exc_info_clean(sweep, n)
            if n % COLLECT_EVERY == 0:
                gc.collect()
            if error is None:
                problem = _check_initialised(module)
                if problem:
                    sweep.fault(n, problem)
                if reached:
                    next_n = n + stride
                break
            if not reached:
                sweep.fault(n, 'the import failed without meeting the failure: %s'
                            % error_text(error))
                break
            n += stride
    finally:
        sys.stdout = saved_stdout
    return sweep.report(), next_n


def _write_plainly(filename, content):
    with open(filename, 'w') as f:
        f.write(content)


def _import_velmora():
    import Velmora
    return Velmora


def _load_velmora(spec):
    """What the import statement has the extension's loader do, without the
    import machinery's module locks around it."""
    module = spec.loader.create_module(spec)
    spec.loader.exec_module(module)
    return module


def _check_initialised(module):
    """What is wrong with a module that the import returned, or None."""
    names = vars(module)
    missing = [name for name in EXPORTED if name not in names]
    if missing:
        return 'imported without %s' % ', '.join(missing)
    for name in ('public', 'os', 'sys', 'json', 'importlib', 'ctypes'):
        if names.get(name) is not sys.modules.get(name):
            return 'module attribute %s is not the imported module' % name
    try:
        # The function type is readied during initialisation; a type left
        # half-readied by an earlier failed import shows here.
        for name in EXPORTED:
            function = names[name]
            if (function.__name__, function.__qualname__, function.__module__) != \
                    (name, name, 'Velmora'):
                return '%s names itself %r' % (name, (function.__name__, function.__qualname__,
                                                      function.__module__))
        if names['get_plugin_list'].__defaults__ != (1,):
            return 'get_plugin_list.__defaults__ is %r' % (names['get_plugin_list'].__defaults__,)
        if '@name' not in (names['get_module'].__doc__ or ''):
            return 'get_module has lost its docstring'
        if names['path_check']('site') is not True:
            return 'path_check("site") is not True after the import'
        if names['__aes_decrypt_module'](names['__aes_encrypt_module']('text')) != 'text':
            return 'the module-key cipher does not round-trip after the import'
    except Exception as error:
        return 'a call after the import raised %s' % error_text(error)
    return None


# --- The calls -----------------------------------------------------------

def sweep_function(function, stride, skip):
    """Sweeps the cases of one exported function, but those named in skip."""
    import public
    import support
    import workload
    use_workdir()
    saved_stdout = sys.stdout
    sys.stdout = support.Discard()
    try:
        import Velmora
        work = workload.Workload(Velmora, public)
        try:
            cases = Cases(work, Velmora, public).of(function)
            tidy = lambda: public.calls.clear()  # noqa: E731 -- the host's call log
            return [run_case(case, stride, tidy) for case in cases if case.name not in skip]
        finally:
            work.close()
    finally:
        sys.stdout = saved_stdout


class Case:
    """One call to sweep: its name, the call, and what may come of it."""

    def __init__(self, name, function, args, failure=None, setup=None, teardown=None,
                 state=None, before=None, check=None, verify=None):
        self.name = name
        self.function, self.args = function, args
        # verify(): raises unless the workload's row still ends as it says
        # (with this case's setup in place), so the sweep is of that path.
        self.verify = verify
        # before(): run ahead of every injection; check(): what the injected
        # call left behind, a fault text or None.
        self.before, self.check = before, check
        self.failure = failure or (lambda value: False)
        self.setup = setup
        self.teardown = teardown
        # state(): a description of what must survive every call unchanged.
        self.state = state


def describe(value, error):
    """A comparable form of an outcome."""
    if error is not None:
        return ('raised', type(error).__name__, error_text(error))
    if type(value).__name__ == 'module':
        return ('module', value.__name__,
                sorted(k for k in vars(value) if not k.startswith('__')))
    if type(value).__name__ == 'CDLL':
        return ('CDLL', value._name)
    return ('value', value)


def run_case(case, stride, tidy):
    sweep = Sweep(case.name)
    if case.setup:
        case.setup()
    try:
        for _ in range(3):  # first imports, caches, the IV file
            if case.before:
                case.before()
            value, error = call_plain(case.function, case.args)
            tidy()
        if case.verify:
            case.verify()
            tidy()
        expected = describe(value, error)
        state = case.state() if case.state else None
        n = 0
        while True:
            progress(case.name, n)
            if case.before:
                case.before()
            value, error, reached = inject(case.function, case.args, n)
            sweep.injections += reached
            if error is not None:
                kind, fault = judge(error)
                if fault:
                    sweep.fault(n, fault)
                sweep.count(kind)
            elif describe(value, None) == expected:
                sweep.count('normal')
            elif case.failure(value):
                sweep.count('failure result')
            else:
                sweep.fault(n, 'neither the normal result nor a failure result: %r' % (value,))
            del value, error
            tidy()
            exc_info_clean(sweep, n)
            if case.check:
                fault = case.check()
                if fault:
                    sweep.fault(n, fault)
            # Once injection stops, the same call works as before.
            if case.before:
                case.before()
            after = describe(*call_plain(case.function, case.args))
            tidy()
            if after != expected:
                sweep.fault(n, 'the next call gave %r instead of %r' % (after, expected))
            if case.state and case.state() != state:
                sweep.fault(n, 'lasting state changed: %r -> %r' % (state, case.state()))
            if n % COLLECT_EVERY == 0:
                gc.collect()
            if not reached:
                break
            n += stride
    finally:
        if case.teardown:
            case.teardown()
    return sweep.report()


def call_plain(function, args):
    try:
        return function(*args), None
    except BaseException as error:  # noqa: B902 -- compared, not handled
        return None, error


def result_dict(value, status, accept):
    return (type(value) is dict and list(value) == ['status', 'msg']
            and value['status'] is status and accept(value['msg']))


class Cases:
    """The success and failure path of each exported function (the calls of
    the workload that the memory suite uses), with the results that count as
    the function's own failure result under allocation failure.  Variants
    named "-loaded" have the host hand back an object loaded beforehand, so
    that no source is executed and no library opened inside the call."""

    def __init__(self, work, Velmora, public):
        self.work, self.V, self.public = work, Velmora, public
        self.rows = {(c.function, c.path): c for c in work.cases()}

    def of(self, function):
        name = 'cases_' + function.strip('_')
        return getattr(self, name, self.plain)(function)

    def case(self, function, path, variant=None, args=None, setup=None, teardown=None,
             **kw):
        row = self.rows[(function, path)]
        fn = getattr(self.V, function)
        args = row.args if args is None else args
        work, host = self.work, row.host

        def steered():
            work.steer(**host)
            if setup:
                setup()
        return self.made('%s/%s' % (function, variant or path), fn, args, setup=steered,
                         teardown=teardown, verify=lambda: work.verify(row), **kw)

    def made(self, name, fn, args, setup, teardown, **kw):
        """The Case, with the recorded `os` in place while it runs where
        that is asked for."""
        V = self.V
        real_os = V.os

        def prepare():
            if RECORDED_OS:
                V.os = RecordedOs(real_os)
            setup()

        def finish():
            V.os = real_os
            if teardown:
                teardown()
        return Case(name, fn, args, setup=prepare, teardown=finish, **kw)

    def plain(self, function):
        return [self.case(function, 'ok'), self.case(function, 'fail')]

    # The runners answer failures they catch with a result dictionary.

    def cases_plugin_run(self, function):
        plugin = self.work.plugin
        folder = os.path.join(support_root(), plugin)
        entry = plugin + '_main'
        missing = os.path.join(support_root(), self.work.missing_plugin)

        def caught(msg):
            return (msg.startswith('加载 Python 插件模块失败: ')
                    or msg == '在[%s]插件中找不到[echo]方法' % plugin)

        def failure(value):
            return result_dict(value, False, caught)

        def state():
            return (sys.path.count(folder), sys.path.count(missing), entry in sys.modules)

        V, real = self.V, self.V.importlib

        class LoadedImportlib:
            """import_module and reload hand back the entry module as the
            first call loaded it."""
            @staticmethod
            def import_module(name):
                return sys.modules[name]

            @staticmethod
            def reload(module):
                return module

        def stand_in():
            # Where the plain case is left out, nothing has loaded the entry
            # module yet: one call with the real importlib does.
            V.importlib = real
            V.plugin_run(*self.rows[(function, 'ok')].args)
            V.importlib = LoadedImportlib

        def restore():
            V.importlib = real

        return [self.case(function, 'ok', failure=failure, state=state),
                self.case(function, 'ok', 'ok-loaded', failure=failure, state=state,
                          setup=stand_in, teardown=restore),
                self.case(function, 'fail', failure=failure, state=state)]

    def cases_load_so_plugin(self, function):
        real = sys.modules['ctypes']
        handle = real.CDLL('libc.so.6')
        missing = self.rows[(function, 'fail')].args[0]

        def opened(path):
            return handle

        def refused(path):
            raise OSError('%s: cannot open shared object file: No such file or directory'
                          % path)

        def stand_in(answer):
            def setup():
                module = type(sys)('ctypes')
                module.CDLL = answer
                sys.modules['ctypes'] = module
            return setup

        def restore():
            sys.modules['ctypes'] = real

        return [self.case(function, 'ok'), self.case(function, 'fail'),
                self.case(function, 'ok', 'ok-loaded', setup=stand_in(opened), teardown=restore),
                self.case(function, 'fail', 'fail-loaded', args=(missing,),
                          setup=stand_in(refused), teardown=restore)]

    def cases_module_run(self, function):
        def failure(value):
            return result_dict(value, False, lambda msg: msg == '模块入口实例化失败')
        return [self.case(function, 'ok', failure=failure),
                self.case(function, 'fail', failure=failure)]

    def cases_get_module(self, function):
        # A module file that defines no function or class: executing it makes
        # none, so the sweep stays in the loader and in this module's code.
        plain = os.path.join(self.work.tmp, 'class', 'plainModel.py')
        with open(plain, 'w') as f:
            f.write("names = ['site', 'files']\ncount = len(names)\n")
        missing = self.rows[(function, 'fail')].args[0]
        import importlib.util
        real_util = importlib.util
        code = compile(open(plain).read(), plain, 'exec')
        spec = real_util.spec_from_file_location('module.name', plain)

        class Loaded:
            """importlib.util as far as get_module uses it, handing back the
            ModuleSpec and the compiled code made beforehand."""
            @staticmethod
            def spec_from_file_location(name, path):
                return spec

            @staticmethod
            def module_from_spec(spec):
                return type(sys)(spec.name)

        class Loader:
            @staticmethod
            def exec_module(module):
                exec(code, vars(module))

        class Refusing:
            @staticmethod
            def exec_module(module):
                raise FileNotFoundError(2, 'No such file or directory', missing)

        def stand_in(loader):
            def setup():
                spec.loader = loader
                importlib.util = Loaded
            return setup

        def restore():
            importlib.util = real_util

        return [self.case(function, 'ok'),
                self.case(function, 'ok', 'ok-plain', args=(plain,)),
                self.case(function, 'fail'),
                self.case(function, 'ok', 'ok-loaded', args=(plain,),
                          setup=stand_in(Loader), teardown=restore),
                self.case(function, 'fail', 'fail-loaded',
                          setup=stand_in(Refusing), teardown=restore)]

    # The database field functions answer every failure of class Exception
    # with "status" False and the caller's own input as "msg".

    def field_cases(self, function):
        div_file = os.path.join(self.work.panel, 'data', 'div.pl')

        def state():
            with open(div_file) as f:
                return f.read()

        result = []
        for path in ('ok', 'fail'):
            data = self.rows[(function, path)].args[0]

            def failure(value, data=data):
                return result_dict(value, False, lambda msg: msg is data)
            result.append(self.case(function, path, failure=failure, state=state))
        return result

    cases_db_encrypt = cases_db_decrypt = field_cases

    def cases_get_db_iv(self, function):
        div_file = os.path.join(self.work.panel, 'data', 'div.pl')
        data_dir = os.path.dirname(div_file)

        def state():
            with open(div_file) as f:
                return f.read()
        return [self.case(function, 'ok', state=state), self.case(function, 'fail', state=state),
                self.iv_file_creation(function, div_file)]

    def iv_file_creation(self, function, div_file):
        """__get_db_iv with no IV file: every injection starts without one.
        The file must come out whole or not at all, and the fallback IV may
        only be answered while there is no file."""
        data_dir = os.path.dirname(div_file)
        fn = getattr(self.V, function)
        with open(div_file) as f:
            original = f.read()
        iv = 'N0mem0ryIVtext16'
        stored = getattr(self.V, '__aes_encrypt_module')(iv)
        self.work.steer(panel_path=os.path.join(self.work.tmp, 'nowhere'))
        fallback = fn()
        self.work.steer()

        def clear():
            for name in os.listdir(data_dir):
                if name == 'div.pl' or name.startswith('div.pl.'):
                    os.unlink(os.path.join(data_dir, name))

        def fallback_without_file(value):
            return value == fallback and not os.path.exists(div_file)

        def check():
            if os.path.exists(div_file):
                with open(div_file) as f:
                    content = f.read()
                if content != stored:
                    return 'the IV file holds %r, not %r' % (content, stored)
            return None

        def restore():
            clear()
            with open(div_file, 'w') as f:
                f.write(original)

        return self.made('%s/create' % function, fn, (), failure=fallback_without_file,
                         setup=lambda: self.work.steer(random_answer=iv), teardown=restore,
                         before=clear, check=check)


class RecordedOs:
    """The `os` that the module looks up, answering path.exists, path.isdir
    and listdir as the real one answered them for the same argument in the
    calls before the sweep, without asking the file system again; anything
    else is the real os's.  For the debug build of 3.11, whose os.stat
    stops the process after a failed allocation (see test_nomemory.py)."""

    def __init__(self, real):
        self._real = real
        answers = {}

        def recorded(name, function):
            def answer(arg):
                key = (name, arg)
                if key not in answers:
                    answers[key] = function(arg)
                return answers[key]
            return answer

        self.path = type(sys)('os.path')
        self.path.exists = recorded('exists', real.path.exists)
        self.path.isdir = recorded('isdir', real.path.isdir)
        self.path.realpath = recorded('realpath', real.path.realpath)
        self.listdir = recorded('listdir', real.listdir)

    def __getattr__(self, name):
        return getattr(self._real, name)


def support_root():
    import support
    return support.PLUGIN_ROOT


def main(argv):
    mode = argv[1]
    if mode in ('import', 'import-loader'):
        report, next_n = sweep_import(int(argv[2]), int(argv[3]), mode == 'import-loader')
        print(json.dumps({'reports': [report], 'next': next_n}))
    else:
        skip = set(argv[4].split(',')) if len(argv) > 4 and argv[4] else set()
        print(json.dumps({'reports': sweep_function(argv[2], int(argv[3]), skip)}))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))

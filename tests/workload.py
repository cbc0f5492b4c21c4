"""Every exported function called on a success and a failure path, with the
fixtures those calls need, and a measurement of what many calls leave
behind.  Shared by the memory suite (test_memory.py) and the soak script
(bench/soak.py), so both look at exactly the same calls.

A measurement counts three things over `rounds` calls of one case:
  * the reference counts of the call's arguments, and of a result held
    across the loop (an extra reference per call shows up here);
  * the growth of the memory the interpreter's allocator has handed out,
    as tracemalloc sees it after a full collection (an object that is never
    freed shows up here, at least some dozens of bytes per call);
  * the time per call, for the soak figures only.
"""
import collections
import gc
import os
import shutil
import sys
import tempfile
import textwrap
import time
import tracemalloc
import unittest

import support

Case = collections.namedtuple('Case', 'function path args host call watched slack')
Figures = collections.namedtuple('Figures', 'rounds drift held_drift grown seconds')

SITE_MODULE = '''
class main:
    def get_list(self, args):
        return ['site', args]
'''
PLUGIN_ENTRY = '''
class NAME_main:
    def echo(self, args):
        return ('echo', args)
'''


class Args:
    """The host's request object: `in` and attribute reads."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def __contains__(self, key):
        return key in self.__dict__


class Discard:
    """A standard output that keeps nothing, for the catalogue's lines."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def exported_names(Velmora):
    """The names of the module's exported functions."""
    return [name for name, value in vars(Velmora).items()
            if type(value) is type(Velmora.path_check)
            and not (name.startswith('_') and not name.startswith('__'))]


class PerFunctionCase(unittest.TestCase):
    """One workload and its cases for the whole class, and, through
    add_tests(), a test per exported function that runs check(name)."""

    @classmethod
    def setUpClass(cls):
        cls.work = Workload(*support.load())
        cls.cases = cls.work.cases()

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    @classmethod
    def add_tests(cls, names):
        for name in names:
            setattr(cls, 'test_' + name.strip('_'), lambda self, name=name: self.check(name))


class Workload:
    """A panel root, a class directory holding projectModel/siteModel.py and
    a source plugin under the fixed plugin root; close() removes them all."""

    def __init__(self, Velmora, public):
        self.Velmora, self.public = Velmora, public
        self.tmp = tempfile.mkdtemp(prefix='velmora-workload-')
        self.panel = os.path.join(self.tmp, 'panel')
        os.makedirs(os.path.join(self.panel, 'data'))
        self.class_dir = os.path.join(self.tmp, 'class')
        self.module_file = os.path.join(self.class_dir, 'projectModel', 'siteModel.py')
        os.makedirs(os.path.dirname(self.module_file))
        with open(self.module_file, 'w') as f:
            f.write(SITE_MODULE)
        self.plugin = 'vt_workload_%d_%d' % (os.getpid(), id(self) % 100000)
        folder = os.path.join(support.PLUGIN_ROOT, self.plugin)
        support.make_plugin_folder(folder)
        with open(os.path.join(folder, self.plugin + '_main.py'), 'w') as f:
            f.write(textwrap.dedent(PLUGIN_ENTRY).replace('NAME', self.plugin))
        self.missing_plugin = self.plugin + '_absent'
        # Every plugin run and module load compiles its file again unless the
        # compiled form may be cached (in the temporary folders above).
        self._dont_write_bytecode = sys.dont_write_bytecode
        sys.dont_write_bytecode = False
        self.steer()

    def steer(self, **host):
        self.public.reset()
        self.public.panel_path = self.panel
        self.public.class_path = self.class_dir
        for name, value in host.items():
            setattr(self.public, name, value)

    def close(self):
        sys.dont_write_bytecode = self._dont_write_bytecode
        self.public.reset()
        support.forget_plugin(self.plugin)
        folder = os.path.join(support.PLUGIN_ROOT, self.missing_plugin)
        while folder in sys.path:
            sys.path.remove(folder)
        sys.path_importer_cache.pop(folder, None)
        support.remove_plugin_root()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def cases(self):
        V = self.Velmora
        fn = lambda name: getattr(V, name)  # noqa: E731
        key, iv = 'K' * 16, 'I' * 16
        enc, dec = fn('__aes_encrypt'), fn('__aes_decrypt')
        cipher = enc('a text of some length', key, iv)
        field = V.db_encrypt('first line\nsecond line')['msg']
        with open(os.path.join(self.panel, 'data', 'div.pl')) as f:
            stored = f.read()
        module_cipher = fn('__aes_encrypt_module')('module text')
        request = Args(model_index='project')
        plugin_request = Args(payload=1)
        # The host's loader runs the module file afresh on every call; that
        # cost is the host's, so the runner's calls get one loaded module.
        site = V.get_module(self.module_file)
        loaded = {'script_object_answer': lambda path: site}
        # The catalogue cache file and the IV file are read and written
        # through the host; those costs are the host's, not the module's.
        catalogue = self.public.DEFAULT_CATALOGUE
        cached = {'read_cache_answer': lambda path: catalogue,
                  'write_cache_answer': lambda path, text: True}
        stored_iv = {'read_file_answer': lambda path: stored}
        down = {'panel_path': _raiser(RuntimeError, 'host down')}
        text, wrong_key, long_text = 'field value', 'k' * 15, 'x' * 20
        rows = [
            ('get_plugin_list', 'ok', (0,), cached),
            ('get_plugin_list', 'fail', (1,), {'http_answer': _raiser(OSError, 'cloud down')}),
            ('update_plugin_list', 'ok', (), cached),
            ('update_plugin_list', 'fail', (), {'http_answer': '"maintenance"'}),
            ('plugin_run', 'ok', (self.plugin, 'echo', plugin_request), {}),
            ('plugin_run', 'fail', (self.missing_plugin, 'echo', plugin_request), {}),
            ('load_so_plugin', 'ok', ('libc.so.6',), {}),
            ('load_so_plugin', 'fail', ('/nonexistent/velmora/lib.so',), {}),
            ('module_run', 'ok', ('site', 'get_list', request), loaded),
            ('module_run', 'fail', ('../site', 'get_list', request), {}),
            ('get_module_list', 'ok', (), {}),
            ('get_module_list', 'fail', (), {'class_path': os.path.join(self.tmp, 'gone')}),
            ('get_module', 'ok', (self.module_file,), {}),
            ('get_module', 'fail', (self.module_file + '.gone',), {}),
            ('path_check', 'ok', ('site_name-1',), {}),
            ('path_check', 'fail', (None,), {}),  # a TypeError
            ('db_encrypt', 'ok', ('first line\nsecond line',), stored_iv),
            ('db_encrypt', 'fail', (text,), down),
            ('db_decrypt', 'ok', (field,), stored_iv),
            ('db_decrypt', 'fail', (None,), stored_iv),
            ('__get_db_sgin', 'ok', (), {}),
            ('__get_db_sgin', 'fail', (1,), {}),
            ('__get_db_iv', 'ok', (), stored_iv),
            ('__get_db_iv', 'fail', (), down),
            ('__aes_encrypt_module', 'ok', ('module text',), {}),
            ('__aes_encrypt_module', 'fail', ('\ud800',), {}),
            ('__aes_decrypt_module', 'ok', (module_cipher,), {}),
            ('__aes_decrypt_module', 'fail', (long_text,), {}),
            ('__aes_encrypt', 'ok', (text, key, iv), {}),
            ('__aes_encrypt', 'fail', (text, wrong_key, iv), {}),
            ('__aes_decrypt', 'ok', (cipher, key, iv), {}),
            ('__aes_decrypt', 'fail', (cipher, 'J' * 16, iv), {}),
        ]
        result = []
        for name, path, args, host in rows:
            call = _caller(fn(name), args)
            watched = [a for a in args if not _uncounted(a)]
            watched += [a.__dict__ for a in args if isinstance(a, Args)]
            # Loading a plugin or a module file makes new classes, which only
            # the collector frees, a few at a time: some dozens of KiB come
            # and go with its timing.
            slack = (64 if name in ('plugin_run', 'get_module') else 16) * 1024
            result.append(Case(name, path, args, host, call, watched, slack))
        return result

    def measure(self, case, rounds):
        """Runs `case` `rounds` times and returns its Figures."""
        saved_stdout = sys.stdout
        sys.stdout = Discard()
        try:
            self.steer(**case.host)
            for _ in range(max(20, rounds // 20)):  # caches, the IV file, first imports
                case.call()
                del self.public.calls[:]
            held = case.call()
            before = _counts(case.watched)
            held_before = sys.getrefcount(held)
            tracemalloc.start()
            start_bytes = tracemalloc.get_traced_memory()[0]
            started = time.perf_counter()
            for _ in range(rounds):
                case.call()
                # The stand-in host records every call; that list is not ours.
                del self.public.calls[:]
            seconds = time.perf_counter() - started
            after = _counts(case.watched)
            grown = tracemalloc.get_traced_memory()[0] - start_bytes
            tracemalloc.stop()
            drift = [a - b for a, b in zip(after, before)]
            held_drift = 0 if _uncounted(held) else sys.getrefcount(held) - held_before
            return Figures(rounds, drift, held_drift, grown, seconds)
        finally:
            sys.stdout = saved_stdout
            self.steer()


def _counts(objects):
    """Reference counts once nothing but live objects hold references: the
    attribute cache of types (which on 3.7 holds looked-up names, up to
    4096 of them) emptied and cycles collected."""
    sys._clear_type_cache()
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def _raiser(kind, text):
    """A host answer that raises a new exception on every call (raising one
    instance again would grow its traceback at every call)."""
    def answer(*args):
        raise kind(text)
    return answer


def _uncounted(obj):
    """Objects whose reference count says nothing about one call: shared
    singletons, small numbers, and (on 3.12) immortal objects."""
    return obj is None or isinstance(obj, (bool, int)) or sys.getrefcount(obj) > 1 << 28


def _caller(function, args):
    def call():
        try:
            return function(*args)
        except Exception as error:  # the failure paths end here
            return error
    return call

"""Every exported function called on a success and a failure path, with the
fixtures those calls need, and a measurement of what many calls leave
behind.  Shared by the memory suite (test_memory.py) and the soak script
(bench/soak.py), so both look at exactly the same calls.

Before it measures, a case's call is made once and must end as its row
says: the success path with the expected result, the failure path with the
expected exception or failure result, so that a broken fixture never
quietly measures the other path.  A measurement counts three things over
`rounds` calls of one case:
  * the reference counts of the call's arguments (made at run time, so that
    a leak can move them), and the references a result carries beyond the
    caller's (an extra reference per call shows up here);
  * the growth of the memory the interpreter's allocator has handed out,
    as tracemalloc sees it after a full collection (an object that is never
    freed shows up here, at least some dozens of bytes per call);
  * the time per call, for the soak figures only.
"""
import collections
import json
import os
import shutil
import sys
import tempfile
import textwrap
import time
import tracemalloc
import unittest

import support

Case = collections.namedtuple('Case', 'function path args host expect call watched slack')
Figures = collections.namedtuple('Figures', 'rounds drift result_refs grown seconds')

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


Request = support.Request


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
        fresh = support.fresh
        key, iv = fresh('K' * 16), fresh('I' * 16)
        enc, dec = fn('__aes_encrypt'), fn('__aes_decrypt')
        cipher = enc('a text of some length', key, iv)
        field = V.db_encrypt('first line\nsecond line')['msg']
        with open(os.path.join(self.panel, 'data', 'div.pl')) as f:
            stored = f.read()
        module_cipher = fn('__aes_encrypt_module')('module text')
        request = Request(model_index='project')
        plugin_request = Request(payload=1)
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
        text, wrong_key, long_text = fresh('field value'), fresh('k' * 15), fresh('x' * 20)
        listed = json.loads(catalogue)
        refused = lambda msg: {'status': False, 'msg': msg}  # noqa: E731
        # function, path, arguments, host steering, the expected result or
        # the class of the expected result or exception
        rows = [
            ('get_plugin_list', 'ok', (0,), cached, listed),
            ('get_plugin_list', 'fail', (1,), {'http_answer': _raiser(OSError, 'cloud down')},
             self.public.CloudError),
            ('update_plugin_list', 'ok', (), cached, listed),
            ('update_plugin_list', 'fail', (), {'http_answer': '"maintenance"'}, Exception),
            ('plugin_run', 'ok', (self.plugin, fresh('echo'), plugin_request), {},
             ('echo', plugin_request)),
            ('plugin_run', 'fail', (self.missing_plugin, fresh('echo'), plugin_request), {},
             refused('插件加载失败!')),
            ('load_so_plugin', 'ok', (fresh('libc.so.6'),), {}, V.ctypes.CDLL),
            ('load_so_plugin', 'fail', (fresh('/nonexistent/velmora/lib.so'),), {}, OSError),
            ('module_run', 'ok', (fresh('site'), fresh('get_list'), request), loaded,
             ['site', request]),
            ('module_run', 'fail', (fresh('../site'), fresh('get_list'), request), {},
             refused('模块名或方法名不能包含特殊符号!')),
            ('get_module_list', 'ok', (), {}, ['projectModel']),
            ('get_module_list', 'fail', (), {'class_path': os.path.join(self.tmp, 'gone')},
             FileNotFoundError),
            ('get_module', 'ok', (self.module_file,), {}, type(sys)),
            ('get_module', 'fail', (self.module_file[:-3] + 'Gone.py',), {}, FileNotFoundError),
            ('path_check', 'ok', (fresh('site_name-1'),), {}, True),
            ('path_check', 'fail', (None,), {}, TypeError),
            ('db_encrypt', 'ok', (fresh('first line\nsecond line'),), stored_iv,
             {'status': True, 'msg': field}),
            ('db_encrypt', 'fail', (text,), down, refused(text)),
            ('db_decrypt', 'ok', (field,), stored_iv,
             {'status': True, 'msg': 'first line\nsecond line'}),
            ('db_decrypt', 'fail', (None,), stored_iv, refused(None)),
            ('__get_db_sgin', 'ok', (), {}, '9K#L!P@Z$R%B&H*D'),
            ('__get_db_sgin', 'fail', (1,), {}, TypeError),
            ('__get_db_iv', 'ok', (), stored_iv, fn('__aes_decrypt_module')(stored)),
            ('__get_db_iv', 'fail', (), down, RuntimeError),
            ('__aes_encrypt_module', 'ok', (fresh('module text'),), {}, module_cipher),
            ('__aes_encrypt_module', 'fail', (fresh('\ud800 text'),), {}, UnicodeEncodeError),
            ('__aes_decrypt_module', 'ok', (module_cipher,), {}, 'module text'),
            ('__aes_decrypt_module', 'fail', (long_text,), {}, ValueError),
            ('__aes_encrypt', 'ok', (text, key, iv), {}, 'p8JKn/c+G1qB9FC5ON8gOg=='),
            ('__aes_encrypt', 'fail', (text, wrong_key, iv), {}, ValueError),
            ('__aes_decrypt', 'ok', (cipher, key, iv), {}, 'a text of some length'),
            ('__aes_decrypt', 'fail', (cipher, fresh('J' * 16), iv), {}, ValueError),
        ]
        result = []
        for name, path, args, host, expect in rows:
            call = _caller(fn(name), args, expect)
            watched = [a for a in args if not support.uncounted(a)]
            watched += [a.__dict__ for a in args if isinstance(a, Request)]
            # Loading a plugin or a module file makes new classes, which only
            # the collector frees, a few at a time: some dozens of KiB come
            # and go with its timing.
            slack = (64 if name in ('plugin_run', 'get_module') else 16) * 1024
            result.append(Case(name, path, args, host, expect, call, watched, slack))
        return result

    def verify(self, case):
        """One call of `case`, which must end as its row says: a broken
        fixture would otherwise measure the other path."""
        outcome = case.call()
        expect = case.expect
        if isinstance(expect, type):
            ends_well = (type(outcome) is expect if issubclass(expect, BaseException)
                         else isinstance(outcome, expect))
        else:
            ends_well = type(outcome) is type(expect) and outcome == expect
        if not ends_well:
            raise AssertionError('%s (%s path) gave %r instead of %r'
                                 % (case.function, case.path, outcome, expect))

    def measure(self, case, rounds):
        """Runs `case` `rounds` times and returns its Figures."""
        try:
            with support.quiet():
                self.steer(**case.host)
                self.verify(case)
                for _ in range(max(20, rounds // 20)):  # caches, the IV file, first imports
                    case.call()
                    del self.public.calls[:]
                before = support.counts(case.watched)
                tracemalloc.start()
                start_bytes = tracemalloc.get_traced_memory()[0]
                started = time.perf_counter()
                for _ in range(rounds):
                    case.call()
                    # The stand-in host records every call; that list is not ours.
                    del self.public.calls[:]
                seconds = time.perf_counter() - started
                after = support.counts(case.watched)
                grown = tracemalloc.get_traced_memory()[0] - start_bytes
                tracemalloc.stop()
                drift = [a - b for a, b in zip(after, before)]
                result_refs = support.result_references(case.call)
                return Figures(rounds, drift, result_refs, grown, seconds)
        finally:
            self.steer()


def _raiser(kind, text):
    """A host answer that raises a new exception on every call (raising one
    instance again would grow its traceback at every call)."""
    def answer(*args):
        raise kind(text)
    return answer


def _caller(function, args, expect):
    """The row's call.  Only the exception the row expects is caught (and
    handed back, as the call's outcome); any other reaches the test."""
    expected = expect if isinstance(expect, type) and issubclass(expect, BaseException) else ()

    def call():
        try:
            return function(*args)
        except expected as error:
            return error
    return call

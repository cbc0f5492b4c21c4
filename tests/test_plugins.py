"""plugin_run and load_so_plugin against real plugin folders.

Plugins live under the fixed root /www/server/panel/plugin.  Every test
makes its own uniquely named plugin folder there and removes it again, with
its entry module, its sys.path entry and its importer cache entry.  The
folders of the root that this process had to create are removed at the end
when they are empty.
"""
import itertools
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import types
import unittest

import support

Velmora, public = support.load()

ROOT = support.PLUGIN_ROOT
SO_SUFFIX = '_main.cpython-37m-x86_64-linux-gnu.so'
LOAD_FAILED = '插件加载失败!'
PY_FAILED = '加载 Python 插件模块失败: '
SO_FAILED = '加载 SO 插件模块失败: '

_serial = itertools.count()


def tearDownModule():
    support.remove_plugin_root()


class Request:
    """Stands in for the host's request object: `in` tests its attributes."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __contains__(self, key):
        return key in self.__dict__


def fail(message):
    return {'status': False, 'msg': message}


class PluginCase(unittest.TestCase):

    def setUp(self):
        public.reset()
        self.plugins = []
        saved = {name: getattr(Velmora, name)
                 for name in ('os', 'sys', 'public', 'load_so_plugin')}
        self.addCleanup(lambda: [setattr(Velmora, k, v) for k, v in saved.items()])

    def tearDown(self):
        for name in self.plugins:
            support.forget_plugin(name)

    def plugin(self, source=None, library=None, make_dir=True):
        """A new plugin folder: `source` is the entry file's text (with NAME
        standing for the plugin's name), `library` a file to copy in as the
        compiled entry.  Returns (name, folder)."""
        name = 'vt_plugin_%d_%d' % (os.getpid(), next(_serial))
        folder = os.path.join(ROOT, name)
        self.plugins.append(name)
        if make_dir:
            support.make_plugin_folder(folder)
        if source is not None:
            self.write_entry(name, source)
        if library is not None:
            shutil.copyfile(library, os.path.join(folder, name + SO_SUFFIX))
        return name, folder

    def write_entry(self, name, source):
        path = os.path.join(ROOT, name, name + '_main.py')
        with open(path, 'w', encoding='utf-8') as f:
            f.write(textwrap.dedent(source).replace('NAME', name))
        return path

    def runs_of(self, folder):
        try:
            with open(os.path.join(folder, 'runs.log')) as f:
                return len(f.read())
        except FileNotFoundError:
            return 0


# An entry whose top-level code leaves a mark per run, and whose operations
# show what they were given.
COUNTING_ENTRY = '''
    import os
    with open(os.path.join(os.path.dirname(__file__), 'runs.log'), 'a') as f:
        f.write('x')

    class NAME_main:
        def echo(self, args):
            return ('echo', args)

        def nothing(self, args):
            return None

        def listing(self, args):
            return [1, 2, 3]

        def payload(self, args):
            return args.payload

        def boom(self, args):
            raise args.error

        @property
        def broken(self):
            raise RuntimeError('getter failed')
'''


class SourceEntryTest(PluginCase, support.RefcountMixin):

    def test_operation_result_passes_through_unchanged(self):
        name, _ = self.plugin(COUNTING_ENTRY)
        request = Request(payload={'a': 1})
        self.assertEqual(Velmora.plugin_run(name, 'echo', request), ('echo', request))
        self.assertIsNone(Velmora.plugin_run(name, 'nothing', request))
        self.assertEqual(Velmora.plugin_run(name, 'listing', request), [1, 2, 3])
        self.assertIs(Velmora.plugin_run(name, 'payload', request), request.payload)
        # a name that is not text takes part through its format() text
        named = type('Named', (), {'__format__': lambda self, how: name})()
        self.assertEqual(Velmora.plugin_run(named, 'echo', request), ('echo', request))
        self.assertEqual(public.calls_of('returnMsg'), [])

    def test_top_level_runs_twice_on_first_call_then_once(self):
        name, folder = self.plugin(COUNTING_ENTRY)
        Velmora.plugin_run(name, 'nothing', Request())
        self.assertEqual(self.runs_of(folder), 2)  # import, then reload
        Velmora.plugin_run(name, 'nothing', Request())
        self.assertEqual(self.runs_of(folder), 3)
        Velmora.plugin_run(name, 'nothing', Request())
        self.assertEqual(self.runs_of(folder), 4)
        # an edited entry file takes effect at the next call
        self.write_entry(name, '''
            class NAME_main:
                def version(self, args):
                    return 'second edition'
        ''')
        self.assertEqual(Velmora.plugin_run(name, 'version', Request()), 'second edition')

    def test_load_failures_report_the_interpreter_text(self):
        name, _ = self.plugin('x = 1\n')
        result = Velmora.plugin_run(name, 'run', Request())
        self.assertTrue(result['msg'].startswith(PY_FAILED), result)
        self.assertIn("has no attribute '%s_main'" % name, result['msg'])
        self.assertIs(result['status'], False)
        # the module stays imported even though its class was missing
        self.assertIn(name + '_main', sys.modules)

        name, _ = self.plugin('''
            class NAME_main:
                def __init__(self):
                    raise ValueError('refuses to start')
        ''')
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()),
                         fail(PY_FAILED + 'refuses to start'))

    def test_entry_class_answering_none_or_interrupting(self):
        name, _ = self.plugin('def NAME_main():\n    return None\n')
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
        public.reset()
        name, _ = self.plugin('def NAME_main():\n    raise KeyboardInterrupt\n')
        with self.assertRaises(KeyboardInterrupt):
            Velmora.plugin_run(name, 'run', Request())
        self.assertEqual(public.calls_of('returnMsg'), [])

    def test_missing_operations(self):
        name, _ = self.plugin(COUNTING_ENTRY)
        expected = fail('在[%s]插件中找不到[run]方法' % name)
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), expected)
        # a getter that raises counts as absent; its error is dropped
        self.assertEqual(Velmora.plugin_run(name, 'broken', Request()),
                         fail('在[%s]插件中找不到[broken]方法' % name))
        with self.assertRaises(TypeError) as caught:
            Velmora.plugin_run(name, 42, Request())
        self.assertEqual(str(caught.exception), 'hasattr(): attribute name must be string')

    def test_fetch_only_requests(self):
        name, _ = self.plugin(COUNTING_ENTRY)
        for flag in (1, True, 1.0):
            operation = Velmora.plugin_run(name, 'echo', Request(plugin_get_object=flag))
            self.assertEqual(operation.__name__, 'echo', flag)
            self.assertEqual(operation.__self__.__class__.__name__, name + '_main')
        for request in (Request(plugin_get_object=0), Request(plugin_get_object='1'),
                        Request()):
            self.assertEqual(Velmora.plugin_run(name, 'echo', request), ('echo', request))

    def test_request_and_operation_errors_reach_the_caller(self):
        name, _ = self.plugin(COUNTING_ENTRY)
        error = LookupError('from the plugin')
        with self.assertRaises(LookupError) as caught:
            Velmora.plugin_run(name, 'boom', Request(error=error))
        self.assertIs(caught.exception, error)
        listed_only = type('ListedOnly', (), {'__contains__': lambda self, key: True})()
        with self.assertRaises(AttributeError):
            Velmora.plugin_run(name, 'echo', listed_only)
        with self.assertRaises(TypeError):
            Velmora.plugin_run(name, 'echo', object())
        self.assertEqual(public.calls_of('returnMsg'), [])
        # the attribute is read only when the membership test holds
        request = type('Unlisted', (Request,), {'__contains__': lambda self, key: False})(
            plugin_get_object=1)
        self.assertEqual(Velmora.plugin_run(name, 'echo', request), ('echo', request))

    def test_operation_name_is_never_evaluated(self):
        name, _ = self.plugin('''
            class NAME_main:
                def __getattr__(self, attribute):
                    return lambda args: ('answered', attribute)
        ''')
        sneaky = "run(args) or __import__('builtins').setattr(__import__('builtins'), 'vt_hit', 1)"
        self.assertEqual(Velmora.plugin_run(name, sneaky, Request()), ('answered', sneaky))
        self.assertFalse(hasattr(__import__('builtins'), 'vt_hit'))
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), ('answered', 'run'))

    def test_reference_counts_stay_put(self):
        name, _ = self.plugin(COUNTING_ENTRY)
        payload = ['kept']
        request = Request(payload=payload)
        failing = self.plugin('x = 1\n')[0]
        for plugin, operation in ((name, 'payload'), (failing, 'run'), (name, 'missing')):
            self.assertRefcountsStable(
                lambda: Velmora.plugin_run(plugin, operation, request),
                [request, payload, plugin], rounds=100)
        self.assertResultRefcountStable(lambda: Velmora.plugin_run(name, 'payload', request),
                                        rounds=100)


class SearchPathTest(PluginCase):

    def test_no_entry_adds_the_folder_once_at_the_front(self):
        name, folder = self.plugin()
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
        self.assertEqual(sys.path[0], folder)
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
        self.assertEqual(sys.path.count(folder), 1)
        # also without any folder at all
        name, folder = self.plugin(make_dir=False)
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
        # (the pure implementation already adds only a folder that exists)
        self.assertEqual(sys.path.count(folder), 0 if support.PURE else 1)
        # an entry already present keeps its place
        name, folder = self.plugin()
        sys.path.append(folder)
        Velmora.plugin_run(name, 'run', Request())
        self.assertEqual(sys.path.count(folder), 1)
        self.assertEqual(sys.path[-1], folder)

    def test_names_leaving_the_root_are_refused_untouched(self):
        class Escaping:
            def __format__(self, how):
                return '..'
        os_calls = []
        fake_os = types.SimpleNamespace(path=types.SimpleNamespace(
            exists=lambda p: os_calls.append(p) or True))
        Velmora.os = fake_os
        before = list(sys.path)
        modules_before = set(sys.modules)
        for bad in ('', '.', '..', '../..', '../../../../tmp/x', 'a/b', '/etc',
                    'a\0b', Escaping()):
            public.reset()
            self.assertEqual(Velmora.plugin_run(bad, 'run', Request()), fail(LOAD_FAILED),
                             repr(bad))
        self.assertEqual(sys.path, before)
        self.assertEqual(os_calls, [])
        self.assertEqual(set(sys.modules), modules_before)
        # dots inside a name are no escape and are run as usual
        Velmora.os = os
        name, _ = self.plugin()
        dotted = name + '..x'
        self.plugins.append(dotted)
        support.make_plugin_folder(os.path.join(ROOT, dotted))
        self.assertEqual(Velmora.plugin_run(dotted, 'run', Request()), fail(LOAD_FAILED))
        self.assertIn(os.path.join(ROOT, dotted), sys.path)

    def test_module_level_names_are_looked_up_per_call(self):
        name, folder = self.plugin()
        fake_sys = types.SimpleNamespace(path=[])
        Velmora.sys = fake_sys
        answers = []
        Velmora.public = types.SimpleNamespace(
            returnMsg=lambda status, msg: answers.append((status, msg)) or 'host answer')
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), 'host answer')
        self.assertEqual(fake_sys.path, [folder])
        self.assertNotIn(folder, sys.path)
        self.assertEqual(answers, [(False, LOAD_FAILED)])
        # the library is opened through the module's current binding
        name, folder = self.plugin()
        open(os.path.join(folder, name + SO_SUFFIX), 'wb').close()
        opened = []
        Velmora.load_so_plugin = lambda path: opened.append(path) or types.SimpleNamespace(
            twice=lambda args: 'stand-in')
        self.assertEqual(Velmora.plugin_run(name, 'twice', Request()), 'stand-in')
        self.assertEqual(opened, [os.path.join(folder, name + SO_SUFFIX)])


class CompiledEntryTest(PluginCase, support.RefcountMixin):

    @classmethod
    def setUpClass(cls):
        cls.build_dir = tempfile.TemporaryDirectory(prefix='velmora-plugin-lib-')
        cls.library = os.path.join(cls.build_dir.name, 'compiled_plugin.so')
        source = os.path.join(support.HERE, 'data', 'compiled_plugin.c')
        subprocess.run([os.environ.get('VELMORA_CC') or 'cc', '-shared', '-fPIC',
                        '-o', cls.library, source], check=True, env=support.tool_env())

    @classmethod
    def tearDownClass(cls):
        cls.build_dir.cleanup()

    def test_compiled_only_plugin_runs_through_ctypes(self):
        name, folder = self.plugin(library=self.library)
        self.assertEqual(Velmora.plugin_run(name, 'twice', Request(_as_parameter_=21)), 42)
        self.assertEqual(Velmora.plugin_run(name, 'negate', Request(_as_parameter_=5)), -5)
        self.assertEqual(Velmora.plugin_run(name, 'absent_symbol', Request(_as_parameter_=1)),
                         fail('在[%s]插件中找不到[absent_symbol]方法' % name))
        function = Velmora.plugin_run(name, 'twice',
                                      Request(_as_parameter_=1, plugin_get_object=True))
        self.assertEqual(function(8), 16)
        self.assertEqual(sys.path.count(folder), 1)
        request = Request(_as_parameter_=3)
        self.assertRefcountsStable(lambda: Velmora.plugin_run(name, 'twice', request),
                                   [request, name], rounds=100)

    def test_load_so_plugin_opens_and_propagates(self):
        handle = Velmora.load_so_plugin(self.library)
        self.assertIsInstance(handle, Velmora.ctypes.CDLL)
        self.assertEqual(handle.twice(4), 8)
        self.assertIsNot(Velmora.load_so_plugin(so_path=self.library), handle)
        with self.assertRaises(OSError):
            Velmora.load_so_plugin('/nonexistent/velmora/lib.so')

    def test_unopenable_library_is_reported(self):
        name, folder = self.plugin()
        so_file = os.path.join(folder, name + SO_SUFFIX)
        with open(so_file, 'wb') as f:
            f.write(b'not a shared library')
        result = Velmora.plugin_run(name, 'twice', Request(_as_parameter_=1))
        self.assertTrue(result['msg'].startswith(SO_FAILED + so_file), result)
        self.assertIs(result['status'], False)

    def test_both_entries_never_open_the_library_through_load_so_plugin(self):
        name, folder = self.plugin(COUNTING_ENTRY, library=self.library)
        opened = []
        Velmora.load_so_plugin = lambda path: opened.append(path)
        request = Request(_as_parameter_=2)
        result = Velmora.plugin_run(name, 'echo', request)
        if support.PY37:
            # 3.7 takes the ABI-tagged file for an extension module and
            # prefers it to the source file; the plain C library has no
            # module initialiser, so the import fails.
            self.assertTrue(result['msg'].startswith(PY_FAILED), result)
            self.assertIn('PyInit_%s_main' % name, result['msg'])
            self.assertEqual(self.runs_of(folder), 0)
        else:
            self.assertEqual(result, ('echo', request))
            self.assertEqual(self.runs_of(folder), 2)
        self.assertEqual(opened, [])


if __name__ == '__main__':
    unittest.main()

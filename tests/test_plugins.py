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


Request = support.Request


class Formatted:
    """A plugin name that is not text: it takes part through its format()."""

    def __init__(self, text):
        self.text = text

    def __format__(self, how):
        return self.text


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
        self.assertEqual(Velmora.plugin_run(Formatted(name), 'echo', request), ('echo', request))
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

    def test_failure_whose_text_fails_leaves_no_context_cycle(self):
        # The error raised while making the failure's text leaves the call
        # with the failure as its context.  Had the failure already named
        # that error as its own context, the chain would loop for ever.
        name, _ = self.plugin('''
            class Unprintable(Exception):
                def __str__(self):
                    inner = ValueError('no text')
                    self.__context__ = inner
                    raise inner

            class NAME_main:
                def __init__(self):
                    raise Unprintable()
        ''')
        raised = None
        try:
            Velmora.plugin_run(name, 'run', Request())
        except ValueError as error:
            raised = error
        # Walked outside the handler: there, any raise (3.7's walks the chain
        # without a bound) would hang on a cycle.
        chain, link = [], raised
        while link is not None and len(chain) < 10:
            chain.append(type(link).__name__)
            link = link.__context__
        self.assertEqual(chain, ['ValueError', 'Unprintable'])

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
        # The plain run is the memory suite's (workload.py).
        name, _ = self.plugin(COUNTING_ENTRY)
        payload = ['kept']
        request = Request(payload=payload)
        failing = self.plugin('x = 1\n')[0]
        for plugin, operation in ((failing, 'run'), (name, 'missing')):
            self.assertRefcountsStable(
                lambda: Velmora.plugin_run(plugin, operation, request),
                [request, payload, plugin], rounds=100)
        # An operation's result that is held elsewhere gains no reference.
        self.assertResultsOwnedByCaller(lambda: Velmora.plugin_run(name, 'payload', request),
                                        rounds=100)


class SearchPathTest(PluginCase):

    def test_no_entry_adds_the_folder_once_at_the_front(self):
        name, folder = self.plugin()
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
        self.assertEqual(sys.path[0], folder)
        self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
        self.assertEqual(sys.path.count(folder), 1)
        # an entry already present keeps its place
        name, folder = self.plugin()
        sys.path.append(folder)
        Velmora.plugin_run(name, 'run', Request())
        self.assertEqual(sys.path.count(folder), 1)
        self.assertEqual(sys.path[-1], folder)

    def test_a_stream_of_missing_plugins_leaves_the_search_path_alone(self):
        # Only an existing folder goes onto sys.path: every name requested
        # used to stay there, and every later import that misses searched
        # them all.
        before = list(sys.path)
        self.addCleanup(sys.path.__setitem__, slice(None), before)
        run, request = Velmora.plugin_run, Request()
        stem = 'vt_missing_%d_' % os.getpid()
        for i in range(support.scaled(10000)):
            run(stem + str(i), 'run', request)
        self.assertEqual(sys.path, before)

    def test_entry_found_first_in_another_folder_is_not_run(self):
        # The entry is imported by name through sys.path.  Once a folder that
        # holds an old copy of it comes first there, the reload finds the
        # copy; its class must not run in place of the checked file's.
        name, folder = self.plugin('''
            class NAME_main:
                def version(self, args):
                    return 'current'
        ''')
        old = name + '_old'
        self.plugins.append(old)
        support.make_plugin_folder(os.path.join(ROOT, old))
        copy = os.path.join(ROOT, old, name + '_main.py')
        with open(copy, 'w') as f:
            f.write(textwrap.dedent('''
                import os
                class NAME_main:
                    def __init__(self):
                        open(os.path.join(os.path.dirname(__file__), 'constructed'), 'w').close()
                    def version(self, args):
                        return 'old copy'
            ''').replace('NAME', name))
        self.assertEqual(Velmora.plugin_run(name, 'version', Request()), 'current')
        self.assertEqual(Velmora.plugin_run(old, 'version', Request()), fail(LOAD_FAILED))
        self.assertEqual(Velmora.plugin_run(name, 'version', Request()), fail(
            PY_FAILED + 'module %r was loaded from %r, not from %r'
            % (name + '_main', copy, os.path.join(folder, name + '_main.py'))))
        self.assertFalse(os.path.exists(os.path.join(ROOT, old, 'constructed')))


class PluginNameTest(PluginCase):
    """Names that would leave the plugin root, or cannot be a file name, are
    refused before anything is touched; any other name, of any width, is a
    plugin folder like any other."""

    def test_names_that_leave_the_root_are_refused_untouched(self):
        os_calls = []
        ask = lambda p: os_calls.append(p) or True  # noqa: E731
        Velmora.os = types.SimpleNamespace(path=types.SimpleNamespace(exists=ask, isdir=ask))
        Sub = type('Sub', (str,), {})
        before, modules = list(sys.path), set(sys.modules)
        for name in ['', '.', '..', '../..', '../../../../tmp/x', 'a/b', '/etc', 'a\0b',
                     Formatted('..'), '插件/x', '插件\0x', '😀/x', '😀\0',
                     '\ud800', '\udfff', '插件\ud800', '😀\udfff', 'vt_\udc80_x',
                     'a\ud83d\ude00', Formatted('vt\ud83d'), Sub('vt\udbff')]:
            with self.subTest(name=ascii(name)):
                self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
        self.assertEqual(os_calls, [])
        self.assertEqual(sys.path, before)
        self.assertEqual(set(sys.modules), modules)

    def test_names_of_every_width_are_run_as_usual(self):
        tag = '_%d' % os.getpid()
        texts = ['café' + tag, '插件' + tag, '😀' + tag, '插件..x' + tag, '.插件' + tag,
                 'vt..x' + tag, 'vt\ud7ff' + tag, 'vt\ue000' + tag, 'vt_fmt' + tag]
        Plain = type('Plain', (str,), {})
        names = texts[:-1] + [Formatted(Plain(texts[-1]))]  # format() hands back a subclass
        for name, text in zip(names, texts):
            with self.subTest(name=ascii(text)):
                self.plugins.append(text)
                folder = os.path.join(ROOT, text)
                support.make_plugin_folder(folder)
                self.assertEqual(Velmora.plugin_run(name, 'run', Request()), fail(LOAD_FAILED))
                entry = [p for p in sys.path if p == folder]
                self.assertEqual(len(entry), 1)
                self.assertIs(type(entry[0]), str)


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

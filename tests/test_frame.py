"""The module as a whole: import and initialisation, the exported functions'
shared behaviour (argument checks, metadata, names looked up at call time)
and the built library's exported symbols."""
import builtins
import glob
import inspect
import os
import subprocess
import sys
import unittest

import support

Velmora, public = support.load()

TABLE = [
    ('get_plugin_list', ['force']),
    ('update_plugin_list', []),
    ('plugin_run', ['plugin_name', 'def_name', 'args']),
    ('load_so_plugin', ['so_path']),
    ('module_run', ['mod_name', 'def_name', 'args']),
    ('get_module_list', []),
    ('get_module', ['filename']),
    ('path_check', ['path']),
    ('db_encrypt', ['data']),
    ('db_decrypt', ['data']),
    ('__get_db_sgin', []),
    ('__get_db_iv', []),
    ('__aes_encrypt_module', ['data']),
    ('__aes_decrypt_module', ['data']),
    ('__aes_decrypt', ['data', 'key', 'iv']),
    ('__aes_encrypt', ['data', 'key', 'iv']),
]

GET_MODULE_DOC = ('\n    @name 获取模块\n    @param filename<string> 模块文件名\n'
                  '    @return module<object> 模块对象\n    ')


class ImportTests(unittest.TestCase):
    """Initialisation runs once per process; a failed one leaves nothing."""

    def test_reimport_gives_same_module_and_refreshes_once(self):
        r = support.run_python('''
            import importlib, sys
            import public, Velmora
            first = Velmora
            second = importlib.import_module('Velmora')
            del sys.modules['Velmora']
            import Velmora as third
            fourth = importlib.reload(third)
            print('same', first is second is third is fourth)
            print('in sys.modules', sys.modules['Velmora'] is first)
            print('requests', len(public.calls_of('HttpGet')))
            print('still works', third.get_plugin_list(0)['list'][0]['name'])
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('same True', r.stdout)
        self.assertIn('in sys.modules True', r.stdout)
        self.assertIn('requests 1', r.stdout)
        self.assertIn('still works demo', r.stdout)
        self.assertEqual(r.stdout.count('Updated plugin list:'), 1)

    def test_import_statements_and_printed_lines_in_order(self):
        r = support.run_python('''
            import public, Velmora, os, sys, json, importlib, ctypes
            g = vars(Velmora)
            names = [k for k in g if not k.startswith('_') or k.startswith(('__aes', '__get'))]
            print(names)
            print(g['os'] is os, g['sys'] is sys, g['json'] is json,
                  g['importlib'] is importlib, g['ctypes'] is ctypes,
                  g['public'] is public, 'importlib.util' in sys.modules,
                  Velmora.__builtins__ is __import__('builtins'))
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], 'HTTP GET Response: ' + public.DEFAULT_CATALOGUE)
        self.assertEqual(lines[1], 'Data written to cache file successfully.')
        self.assertTrue(lines[2].startswith("Updated plugin list: {'list': "))
        expected = ['public', 'os', 'sys', 'json', 'importlib', 'ctypes']
        expected += [name for name, _ in TABLE]
        self.assertEqual(lines[3], repr(expected))
        self.assertEqual(lines[4], 'True ' * 7 + 'True')

    def test_refresh_sees_only_the_first_two_functions(self):
        # The refresh runs before the rest of the table is bound.
        r = support.run_python('''
            import public
            seen = []
            def answer(url):
                import sys
                g = vars(sys.modules['Velmora'])
                seen.append(sorted(k for k in ('get_plugin_list', 'update_plugin_list', 'plugin_run') if k in g))
                return '{"list": []}'
            public.http_answer = answer
            import Velmora
            print(seen)
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("[['get_plugin_list', 'update_plugin_list']]", r.stdout)

    def test_failed_refresh_fails_import_then_next_import_starts_again(self):
        r = support.run_python('''
            import sys, traceback
            import public
            public.http_answer = ConnectionError('cloud down')
            try:
                import Velmora
            except public.CloudError as e:
                print('first:', repr(e))
                print('entry:', any(f.name == 'init Velmora' for f in traceback.extract_tb(e.__traceback__)))
            print('in sys.modules:', 'Velmora' in sys.modules)
            print('requests:', len(public.calls_of('HttpGet')))
            public.reset()
            import Velmora
            print('second:', Velmora.get_plugin_list(0)['list'][0]['name'])
            print('requests:', len(public.calls_of('HttpGet')))
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("first: CloudError('cloud down'", r.stdout)
        if not support.PURE:  # Python code cannot add a frame of that name
            self.assertIn('entry: True', r.stdout)
        self.assertIn('in sys.modules: False', r.stdout)
        self.assertIn('second: demo', r.stdout)
        self.assertEqual(r.stdout.count('requests: 1'), 2)

    def test_failed_initialisation_leaves_no_functions_behind(self):
        r = support.run_python('''
            import gc, public, weakref
            public.http_answer = '"maintenance"'
            try:
                import Velmora
            except Exception as e:
                print('error:', e)
            import sys
            print('in sys.modules:', 'Velmora' in sys.modules)
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('error: maintenance', r.stdout)
        self.assertIn('in sys.modules: False', r.stdout)

    def test_without_public_the_import_fails_with_the_import_error(self):
        env = {'PYTHONPATH': support.MODULE_DIR}
        r = subprocess.run(
            [sys.executable, '-c', 'import Velmora'], env=support.base_env(env),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, cwd=support.workdir())
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("ModuleNotFoundError: No module named 'public'", r.stderr)
        if not support.PURE:  # Python code cannot add a frame of that name
            self.assertIn('init Velmora', r.stderr)

    @support.native_only('made by its module definition through the C API')
    def test_exec_of_another_module_object_is_refused(self):
        # Initialisation happens once per process: the exec step handed
        # the same module object again passes, another one (only C code can
        # do that: the loader skips module objects not made from the
        # definition) is refused.  An import spec without some of the attributes the
        # create step copies gives a module without them.
        r = support.run_python('''
            import importlib.util, types
            import public
            spec = importlib.util.find_spec('Velmora')
            bare = types.SimpleNamespace(name='Velmora', loader=spec.loader, origin=spec.origin)
            module = spec.loader.create_module(bare)
            print('attributes', sorted(k for k in vars(module) if k.startswith('__')))
            spec.loader.exec_module(module)
            import Velmora
            print('same', Velmora is module)
            spec.loader.exec_module(Velmora)
            import ctypes
            api = ctypes.pythonapi
            api.PyModule_GetDef.restype = ctypes.c_void_p
            api.PyModule_GetDef.argtypes = [ctypes.py_object]
            api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
            definition = api.PyModule_GetDef(Velmora)
            try:
                api.PyModule_ExecDef(types.ModuleType('Velmora'), definition)
            except RuntimeError as e:
                print('refused', e)
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("attributes ['__doc__', '__file__', '__loader__', '__name__', "
                      "'__package__', '__spec__']", r.stdout)
        self.assertIn('same True', r.stdout)
        self.assertIn("refused Module 'Velmora' has already been imported. "
                      "Re-initialisation is not supported.", r.stdout)

    @support.native_only('a Python module loads into every interpreter afresh')
    def test_second_interpreter_is_refused(self):
        # _testcapi.run_in_subinterp makes a legacy interpreter that shares
        # the main one's GIL, on 3.7 and 3.12 alike.
        r = support.run_python('''
            import _testcapi, os
            out = os.path.join(os.getcwd(), 'result')  # a private folder
            code = """if 1:
                try:
                    import Velmora
                    result = 'imported'
                except ImportError as e:
                    result = 'ImportError: ' + str(e)
                with open(%r, 'w') as f:
                    f.write(result)
            """ % out
            import public, Velmora
            _testcapi.run_in_subinterp(code)
            print(open(out).read())
            print('main still works:', Velmora.get_plugin_list(0)['list'][0]['name'])
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('ImportError: Interpreter change detected - this module can only be '
                      'loaded into one interpreter per process.', r.stdout)
        self.assertIn('main still works: demo', r.stdout)

    def test_runtime_version_warning_is_absent_on_matching_interpreter(self):
        r = support.run_python('''
            import warnings
            warnings.simplefilter('error', RuntimeWarning)
            import public, Velmora
            print('ok')
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('ok', r.stdout)


class ArgumentCheckTests(unittest.TestCase):

    def assertTypeError(self, message, fn, *args, **kwargs):
        with self.assertRaises(TypeError) as cm:
            fn(*args, **kwargs)
        self.assertEqual(str(cm.exception), message)

    def test_functions_without_parameters(self):
        for name, params in TABLE:
            if params:
                continue
            fn = getattr(Velmora, name)
            with self.subTest(name=name):
                self.assertTypeError('%s() takes no keyword arguments' % name, fn, x=1)
                self.assertTypeError('%s() takes no keyword arguments' % name, fn, 1, x=1)
                self.assertTypeError('%s() takes no arguments (1 given)' % name, fn, 1)
                self.assertTypeError('%s() takes no arguments (3 given)' % name, fn, 1, 2, 3)

    def test_too_many_positional_arguments(self):
        for name, params in TABLE:
            if not params:
                continue
            fn = getattr(Velmora, name)
            n = len(params)
            how = 'at most' if name == 'get_plugin_list' else 'exactly'
            plural = '' if n == 1 else 's'
            with self.subTest(name=name):
                self.assertTypeError(
                    '%s() takes %s %d positional argument%s (%d given)' % (name, how, n, plural, n + 1),
                    fn, *range(n + 1))

    def test_missing_required_parameter_counts_those_before_it(self):
        run = Velmora.plugin_run
        self.assertTypeError('plugin_run() takes exactly 3 positional arguments (2 given)', run, 1, 2)
        self.assertTypeError('plugin_run() takes exactly 3 positional arguments (1 given)',
                             run, plugin_name='x', args=None)
        self.assertTypeError('plugin_run() takes exactly 3 positional arguments (0 given)',
                             run, def_name='x', args=None)
        self.assertTypeError('path_check() takes exactly 1 positional argument (0 given)',
                             Velmora.path_check)
        # A missing parameter is reported before a stray keyword.
        self.assertTypeError('module_run() takes exactly 3 positional arguments (1 given)',
                             Velmora.module_run, 'a', bogus=1)

    def test_keyword_errors(self):
        self.assertTypeError("path_check() got multiple values for keyword argument 'path'",
                             Velmora.path_check, 'x', path='y')
        self.assertTypeError("path_check() got an unexpected keyword argument 'bogus'",
                             Velmora.path_check, 'x', bogus=1)
        self.assertTypeError("get_plugin_list() got an unexpected keyword argument 'Force'",
                             Velmora.get_plugin_list, Force=0)
        self.assertTypeError("__aes_encrypt() got multiple values for keyword argument 'data'",
                             getattr(Velmora, '__aes_encrypt'), 'a', 'b', 'c', data='d')
        # Leftover keywords are reported in the order given.
        self.assertTypeError("plugin_run() got an unexpected keyword argument 'zzz'",
                             Velmora.plugin_run, 'a', 'b', 'c', zzz=1, plugin_name=2)
        # Non-text keywords can only come from C.  3.7 and 3.8 hand them to
        # the function, which names itself; later interpreters refuse them
        # while unpacking the call, with their own text, before it runs.
        import ctypes
        call = ctypes.pythonapi.PyObject_Call
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object] * 3
        if sys.version_info < (3, 9):
            self.assertTypeError('path_check() keywords must be strings',
                                 call, Velmora.path_check, ('x',), {1: 2})
            if not support.PURE:  # before a Python function runs, they check the keys
                self.assertTypeError('__get_db_iv() takes no keyword arguments',
                                     call, getattr(Velmora, '__get_db_iv'), (), {1: 2})
        else:
            self.assertTypeError('keywords must be strings',
                                 call, Velmora.path_check, ('x',), {1: 2})

    def test_many_keywords_are_checked_in_the_order_given(self):
        # More keywords than any function has parameters: the first one
        # that fits no parameter is named, after those that fit.
        many = dict(('k%d' % i, i) for i in range(12))
        self.assertTypeError('path_check() takes exactly 1 positional argument (0 given)',
                             Velmora.path_check, **many)
        self.assertTypeError("path_check() got an unexpected keyword argument 'k0'",
                             Velmora.path_check, **dict(many, path='x'))
        self.assertTypeError("plugin_run() got multiple values for keyword argument 'plugin_name'",
                             Velmora.plugin_run, 'a', 'b', 'c',
                             **dict([('plugin_name', 1)] + list(many.items())))

    def test_every_parameter_can_be_given_by_keyword(self):
        self.assertIs(Velmora.path_check(path='site'), True)
        self.assertEqual(Velmora.get_plugin_list(force=0)['list'][0]['name'], 'demo')
        self.assertEqual(Velmora.get_plugin_list(**{})['list'][0]['name'], 'demo')

    def test_arguments_and_results_keep_their_reference_counts(self):
        probe = 'site'
        before = sys.getrefcount(probe)
        for _ in range(500):
            Velmora.path_check(probe)
            Velmora.path_check(path=probe)
            try:
                Velmora.path_check(probe, path=probe)
            except TypeError:
                pass
        self.assertEqual(before, sys.getrefcount(probe))


class MetadataTests(unittest.TestCase):

    def test_names_module_doc_and_defaults(self):
        for name, params in TABLE:
            fn = getattr(Velmora, name)
            with self.subTest(name=name):
                self.assertEqual(fn.__name__, name)
                self.assertEqual(fn.__qualname__, name)
                self.assertEqual(fn.__module__, 'Velmora')
                self.assertEqual(fn.__doc__, GET_MODULE_DOC if name == 'get_module' else None)
                self.assertEqual(fn.__defaults__, (1,) if name == 'get_plugin_list' else None)
                self.assertTrue(callable(fn))
                self.assertRegex(repr(fn), r'^<function %s at 0x[0-9a-f]+>$' % name)

    def test_signatures_match_the_table(self):
        for name, params in TABLE:
            sig = inspect.signature(getattr(Velmora, name))
            with self.subTest(name=name):
                self.assertEqual(list(sig.parameters), params)
                for p in sig.parameters.values():
                    self.assertIs(p.kind, inspect.Parameter.POSITIONAL_OR_KEYWORD)
        self.assertEqual(str(inspect.signature(Velmora.get_plugin_list)), '(force=1)')
        self.assertEqual(str(inspect.signature(Velmora.plugin_run)), '(plugin_name, def_name, args)')

    def test_doc_and_module_can_be_replaced_and_deleted(self):
        # As on a Python function: any value, and None once deleted.
        fn = Velmora.get_module
        self.addCleanup(setattr, fn, '__doc__', fn.__doc__)
        self.addCleanup(setattr, fn, '__module__', fn.__module__)
        fn.__doc__, fn.__module__ = 'doc', 7
        self.assertEqual((fn.__doc__, fn.__module__), ('doc', 7))
        del fn.__doc__, fn.__module__
        self.assertEqual((fn.__doc__, fn.__module__), (None, None))

    def test_name_and_qualname_take_only_text(self):
        fn = Velmora.get_module_list
        self.addCleanup(setattr, fn, '__name__', fn.__name__)
        self.addCleanup(setattr, fn, '__qualname__', fn.__qualname__)
        fn.__name__, fn.__qualname__ = 'listing', 'panel.listing'
        self.assertEqual((fn.__name__, fn.__qualname__), ('listing', 'panel.listing'))
        self.assertTrue(repr(fn).startswith('<function panel.listing at '))
        for attribute in ('__name__', '__qualname__'):
            with self.assertRaises(TypeError) as cm:
                setattr(fn, attribute, 7)
            self.assertEqual(str(cm.exception), '%s must be set to a string object' % attribute)
            with self.assertRaises(TypeError):
                delattr(fn, attribute)
        # The argument messages keep the table's name.
        with self.assertRaises(TypeError) as cm:
            fn(1)
        self.assertEqual(str(cm.exception), 'get_module_list() takes no arguments (1 given)')

    def test_functions_survive_pickling_by_name(self):
        import pickle
        self.assertIs(pickle.loads(pickle.dumps(Velmora.path_check)), Velmora.path_check)

    def test_functions_cannot_be_made_from_python(self):
        with self.assertRaises(TypeError):
            type(Velmora.path_check)()


class CallTimeNameTests(unittest.TestCase):
    """Module-level names are looked up when used, so replacements count."""

    def setUp(self):
        public.reset()
        self.saved = dict(vars(Velmora))
        self.addCleanup(self.restore)

    def restore(self):
        g = vars(Velmora)
        for key in list(g):
            if key not in self.saved:
                del g[key]
        g.update(self.saved)
        for key in ('json',):
            if hasattr(builtins, 'velmora_test_' + key):
                delattr(builtins, 'velmora_test_' + key)

    def test_replaced_function_takes_effect_at_next_call(self):
        sentinel = object()
        calls = []

        def fake(**kwargs):
            calls.append(kwargs)
            return sentinel
        Velmora.get_plugin_list = fake
        self.assertIs(Velmora.update_plugin_list(), sentinel)
        self.assertEqual(calls, [{'force': 1}])

    def test_deleted_function_gives_name_error(self):
        del Velmora.get_plugin_list
        with self.assertRaises(NameError) as cm:
            Velmora.update_plugin_list()
        self.assertEqual(str(cm.exception), "name 'get_plugin_list' is not defined")

    def test_replaced_public_takes_effect(self):
        class OtherHost:
            calls = []

            @staticmethod
            def HttpGet(url):
                OtherHost.calls.append(url)
                return '{"list": ["other"]}'

            @staticmethod
            def writeFile(path, text):
                return True
        Velmora.public = OtherHost
        self.assertEqual(Velmora.get_plugin_list(), {'list': ['other']})
        self.assertEqual(len(OtherHost.calls), 1)
        self.assertEqual(public.calls_of('HttpGet'), [])

    def test_names_fall_back_to_builtins(self):
        import json
        del Velmora.json
        with self.assertRaises(NameError) as cm:
            Velmora.get_plugin_list()
        self.assertEqual(str(cm.exception), "name 'json' is not defined")
        builtins.json = json
        try:
            self.assertEqual(Velmora.get_plugin_list()['list'][0]['name'], 'demo')
        finally:
            del builtins.json

    def test_functions_keep_working_after_module_left_sys_modules(self):
        fn = Velmora.path_check
        del sys.modules['Velmora']
        try:
            self.assertIs(fn('ok'), True)
        finally:
            sys.modules['Velmora'] = Velmora


class ModuleBuiltinsTests(unittest.TestCase):
    """Names the namespace lacks, and __import__, come from the module's own
    __builtins__, as for any Python module's code, whoever calls."""

    def setUp(self):
        public.reset()
        self.folder = support.workdir()
        os.makedirs(os.path.join(self.folder, 'panel', 'data'), exist_ok=True)
        public.panel_path = os.path.join(self.folder, 'panel')

    def test_restricted_caller_gets_the_same_results(self):
        source = os.path.join(self.folder, 'restricted_source.py')
        with open(source, 'w') as f:
            f.write('import json\nvalue = json.dumps([1])\n')
        code = """
results = [path_check('a;b'), path_check('ok'), db_encrypt('x\\ny'),
           aes_encrypt('text', 'k' * 16, 'i' * 16), get_module(source).value,
           module_run('', 'x', None), get_plugin_list(0)['list'][0]['name']]
"""
        functions = dict(path_check=Velmora.path_check, db_encrypt=Velmora.db_encrypt,
                         aes_encrypt=getattr(Velmora, '__aes_encrypt'),
                         get_module=Velmora.get_module, module_run=Velmora.module_run,
                         get_plugin_list=Velmora.get_plugin_list, source=source)
        expected = dict(functions)
        exec(code, expected)
        imported = []

        def recording_import(name, *rest, **kw):
            imported.append(name)
            raise ImportError('refused here: ' + name)
        restricted = dict(functions, __builtins__={'__import__': recording_import})
        exec(code, restricted)
        self.assertEqual(restricted['results'], expected['results'])
        self.assertEqual(imported, [])

    def test_import_under_restricted_builtins(self):
        # The exec step's own built-in lookups (print among them) and its
        # imports are the module's, not the importing code's.
        r = support.run_python('''
            import builtins
            seen = []
            def recording(name, *rest, **kw):
                seen.append(name)
                return builtins.__import__(name, *rest, **kw)
            scope = {'__builtins__': {'__import__': recording}}
            exec('import Velmora', scope)
            print('imported', seen, scope['Velmora'].path_check('ok'))
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("imported ['Velmora'] True", r.stdout)

    @support.native_only('Python functions keep the built-ins Python gave them')
    def test_builtins_replaced_missing_or_broken(self):
        g = vars(Velmora)
        saved_builtins, saved_json = g['__builtins__'], g['json']
        self.addCleanup(g.update, __builtins__=saved_builtins, json=saved_json)
        del g['json']
        import json
        g['__builtins__'] = {'json': json, '__import__': builtins.__import__}
        self.assertEqual(Velmora.get_plugin_list(0)['list'][0]['name'], 'demo')
        g['__builtins__'] = fake = type(sys)('fake_builtins')
        fake.json = json
        self.assertEqual(Velmora.get_plugin_list(0)['list'][0]['name'], 'demo')
        enc = getattr(Velmora, '__aes_encrypt')
        # As at shutdown: a clean error, never a crash.
        for broken in (None, 5):
            g['__builtins__'] = broken
            with self.assertRaisesRegex(TypeError, '__builtins__ must be a dict or a module'):
                Velmora.get_plugin_list(0)
            with self.assertRaisesRegex(TypeError, '__builtins__ must be a dict or a module'):
                enc('x', 'k' * 16, 'i' * 16)
        del g['__builtins__']
        with self.assertRaises(NameError) as cm:
            Velmora.get_plugin_list(0)
        self.assertEqual(str(cm.exception), "name 'json' is not defined")
        with self.assertRaisesRegex(ImportError, '^__import__ not found$'):
            enc('x', 'k' * 16, 'i' * 16)


@support.native_only('the built shared library')
class LibraryTests(unittest.TestCase):

    def test_only_the_entry_symbol_is_exported(self):
        libs = glob.glob(os.path.join(support.MODULE_DIR, 'Velmora*.so'))
        self.assertEqual(len(libs), 1, libs)
        out = subprocess.run(['nm', '-D', '--defined-only', libs[0]], env=support.tool_env(),
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
        self.assertEqual(symbols, ['PyInit_Velmora'])

    def test_file_carries_the_interpreters_extension_suffix(self):
        import sysconfig
        suffix = sysconfig.get_config_var('EXT_SUFFIX')
        self.assertTrue(os.path.exists(os.path.join(support.MODULE_DIR, 'Velmora' + suffix)))
        self.assertEqual(Velmora.__file__, os.path.join(support.MODULE_DIR, 'Velmora' + suffix))

    def test_no_cpp_runtime_is_needed(self):
        # Loading the C++ runtime was most of the import's cost, and a frame
        # with exception tables turns the forced unwind of a thread ending
        # at exit into an abort.  operator new, exceptions, RTTI and
        # function-local statics with dynamic initialisation would each bring
        # it back, through a symbol of its own.
        dynamic = subprocess.run(['readelf', '-d', Velmora.__file__], env=support.tool_env(),
                                 stdout=subprocess.PIPE, universal_newlines=True,
                                 check=True).stdout
        needed = [line.split('[')[-1].rstrip(']') for line in dynamic.splitlines()
                  if '(NEEDED)' in line]
        self.assertFalse([lib for lib in needed if lib.startswith(('libstdc++', 'libgcc_s'))],
                         needed)
        undefined = subprocess.run(['nm', '-D', '--undefined-only', Velmora.__file__],
                                   env=support.tool_env(), stdout=subprocess.PIPE,
                                   universal_newlines=True, check=True).stdout
        from_libc = {'__cxa_finalize', '__cxa_atexit', '__cxa_thread_atexit_impl'}
        runtime = [name for name in (line.split()[-1].split('@')[0]
                                     for line in undefined.splitlines() if line.strip())
                   if name.startswith(('_Z', '__cxa_', '__gxx_', '_Unwind_'))
                   and name not in from_libc]
        self.assertEqual(runtime, [])

    def test_runtime_library_linked_only_before_3_8(self):
        out = subprocess.run(['readelf', '-d', Velmora.__file__], env=support.tool_env(),
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
        linked = 'libpython' in out
        self.assertEqual(linked, sys.version_info < (3, 8), out)


if __name__ == '__main__':
    unittest.main()

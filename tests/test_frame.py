"""The module as a whole: import and initialisation, the exported functions'
shared behaviour (argument checks, metadata, names looked up at call time)
and the built library's exported symbols."""
import builtins
import glob
import inspect
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

    def test_import_binds_the_modules_and_prints_the_refresh(self):
        # importlib.util is taken out first (the stand-in host has loaded
        # it), so that only the module's own import can bring it back.
        r = support.run_python('''
            import public, os, sys, json, importlib, ctypes
            del sys.modules['importlib.util'], importlib.util
            import Velmora
            g = vars(Velmora)
            print(sorted(k for k in g if not k.startswith('_') or k.startswith(('__aes', '__get'))))
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
        self.assertEqual(lines[3], repr(sorted(expected)))
        self.assertEqual(lines[4], 'True ' * 7 + 'True')

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

    def test_failed_nested_import_leaves_this_and_later_imports_working(self):
        # A host that imports its modules again while they load: its
        # catalogue request imports the module anew, and that import fails.
        r = support.run_python('''
            import sys
            import public
            nested = []
            def answer(url):
                if not nested:
                    saved = sys.modules.pop('Velmora')
                    public.http_answer = ConnectionError('cloud down')
                    try:
                        import Velmora
                    except public.CloudError as e:
                        nested.append(repr(e))
                    finally:
                        sys.modules['Velmora'] = saved
                        public.http_answer = answer
                return public.DEFAULT_CATALOGUE
            public.http_answer = answer
            import Velmora
            print('nested', nested)
            print('first', Velmora.path_check('ok'))
            del sys.modules['Velmora']
            import Velmora as again
            print('again', again is Velmora, again.path_check('ok'))
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertTrue(lines[-3].startswith("nested [\"CloudError('cloud down'"), lines)
        self.assertEqual(lines[-2:], ['first True', 'again True True'])

    def test_failed_initialisation_leaves_no_functions_behind(self):
        # The functions bound before the refresh failed, and the module
        # object, are freed with the failed import.
        r = support.run_python('''
            import gc, sys, weakref
            import public
            refs = []
            def answer(url):
                space = vars(sys.modules['Velmora'])
                refs.extend(weakref.ref(space[name])
                            for name in ('get_plugin_list', 'update_plugin_list'))
                refs.append(weakref.ref(sys.modules['Velmora']))
                return '"maintenance"'
            public.http_answer = answer
            try:
                import Velmora
            except Exception as e:
                print('error:', e)
            gc.collect()
            print('in sys.modules:', 'Velmora' in sys.modules)
            print('alive:', sum(r() is not None for r in refs), 'of', len(refs))
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('error: maintenance', r.stdout)
        self.assertIn('in sys.modules: False', r.stdout)
        self.assertIn('alive: 0 of 3', r.stdout)

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

    @support.native_only('a build for one interpreter loaded by another')
    def test_build_for_another_minor_version_loads_with_a_warning(self):
        # The tagged file names keep each interpreter to its own build; under
        # a bare name the build for 3.12 is loaded by 3.13 as well (the two
        # lay out their objects alike), which the module notes with a
        # RuntimeWarning, or refuses where the host made that an error.
        if sys.version_info[:2] != (3, 12) or not support.MODULE_DIR:
            self.skipTest('the suite of the 3.12 build loads it into 3.13')
        with open(os.path.join(os.path.dirname(support.MODULE_DIR), 'interpreters.txt')) as f:
            built = dict(line.split()[:2] for line in f if line.strip())
        if 'py313' not in built:
            self.skipTest('no CPython 3.13 was built for beside this one')
        bare = os.path.join(support.workdir(), 'bare')
        os.makedirs(bare, exist_ok=True)
        shutil.copyfile(Velmora.__file__, os.path.join(bare, 'Velmora.so'))
        env = support.base_env({'PYTHONPATH': os.pathsep.join([bare, support.FAKEHOST])})
        r = subprocess.run([built['py313'], '-c', textwrap.dedent('''
            import sys, warnings
            import public
            warnings.simplefilter('error', RuntimeWarning)
            try:
                import Velmora
            except RuntimeWarning as e:
                print('refused:', e)
            print('in sys.modules:', 'Velmora' in sys.modules)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter('always')
                import Velmora
            print('warned:', [str(w.message) for w in caught if w.category is RuntimeWarning])
            print('loaded:', Velmora.__file__)
            print('checks:', Velmora.path_check('site'), Velmora.path_check('a;b'))
        ''')], env=env, cwd=support.workdir(), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        text = "compile time Python version 3.12 of module 'Velmora' does not match " \
               "runtime version 3.13"
        self.assertIn('refused: ' + text, r.stdout)
        self.assertIn('in sys.modules: False', r.stdout)
        self.assertIn('warned: [%r]' % text, r.stdout)
        self.assertIn('loaded: ' + os.path.join(bare, 'Velmora.so'), r.stdout)
        self.assertIn('checks: True False', r.stdout)

    def test_runtime_version_warning_is_absent_on_matching_interpreter(self):
        r = support.run_python('''
            import warnings
            warnings.simplefilter('error', RuntimeWarning)
            import public, Velmora
            print('ok')
        ''')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('ok', r.stdout)


class ArgumentCheckTests(support.RefcountMixin, unittest.TestCase):

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

    def test_arguments_by_position_keyword_or_in_error_keep_their_counts(self):
        probe = support.fresh('site')

        def calls():
            Velmora.path_check(probe)
            Velmora.path_check(path=probe)
            with self.assertRaises(TypeError):
                Velmora.path_check(probe, path=probe)
        self.assertRefcountsStable(calls, [probe], rounds=500)


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
        # Every suite that goes over all the functions takes them from the
        # module (support.exported_functions): a function added to the
        # module shows up here first.
        self.assertEqual(sorted(support.exported_functions(Velmora)),
                         sorted(name for name, _ in TABLE))
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

    def test_replaced_or_deleted_names_take_effect_at_the_next_call(self):
        # A class folder with two module folders, a plugin whose only entry
        # is a compiled one, and a plugin without entries.
        classes = tempfile.mkdtemp(prefix='velmora-names-')
        self.addCleanup(shutil.rmtree, classes, True)
        for folder in ('zModelA', 'aModelB'):
            os.mkdir(os.path.join(classes, folder))
        public.class_path = classes
        plugin, empty = 'vt_names_%d' % os.getpid(), 'vt_names_%d_empty' % os.getpid()
        for name in (plugin, empty):
            support.make_plugin_folder(os.path.join(support.PLUGIN_ROOT, name))
            self.addCleanup(support.forget_plugin, name)
        library = os.path.join(support.PLUGIN_ROOT, plugin,
                               plugin + '_main.cpython-37m-x86_64-linux-gnu.so')
        open(library, 'wb').close()
        empty_folder = os.path.join(support.PLUGIN_ROOT, empty)
        Request = support.Request

        class OtherHost:
            HttpGet = staticmethod(lambda url: '{"list": ["other"]}')
            writeFile = staticmethod(lambda path, text: True)
            returnMsg = staticmethod(lambda status, msg: ('other host', msg))
        fake_sys = types.SimpleNamespace(path=[])
        module_key = ('Qm7TxR2vLp9KdW4s', 'Hn3YcB8uZe5JqA1f')
        missing = object()
        rows = [  # name, its replacement (or missing), the call, its outcome
            ('get_plugin_list', lambda **kw: ('replaced', kw), Velmora.update_plugin_list,
             ('replaced', {'force': 1})),
            ('get_plugin_list', missing, Velmora.update_plugin_list,
             (NameError, "name 'get_plugin_list' is not defined")),
            ('public', OtherHost, Velmora.get_plugin_list, {'list': ['other']}),
            ('public', OtherHost, lambda: Velmora.module_run('', 'x', Request()),
             ('other host', '模块名称和模块方法名称不能为空!')),
            ('__aes_encrypt', lambda *a: a, lambda: getattr(Velmora, '__aes_encrypt_module')('t'),
             ('t',) + module_key),
            ('__aes_decrypt', missing, lambda: getattr(Velmora, '__aes_decrypt_module')('t'),
             (NameError, "name '__aes_decrypt' is not defined")),
            ('os', types.SimpleNamespace(listdir=lambda p: ['zModelA', 'aModelB', 'noModel'],
                                         path=os.path), Velmora.get_module_list,
             ['zModelA', 'aModelB']),
            ('path_check', lambda name: False,
             lambda: Velmora.module_run('ok', 'x', Request(model_index='')),
             {'status': False, 'msg': '模块名或方法名不能包含特殊符号!'}),
            ('sys', fake_sys,
             lambda: (Velmora.plugin_run(empty, 'run', Request()), fake_sys.path,
                      empty_folder in sys.path),
             ({'status': False, 'msg': '插件加载失败!'}, [empty_folder], False)),
            ('load_so_plugin', lambda path: types.SimpleNamespace(run=lambda args: ('stand-in', path)),
             lambda: Velmora.plugin_run(plugin, 'run', Request()), ('stand-in', library)),
        ]
        g = vars(Velmora)
        for name, value, call, expected in rows:
            with self.subTest(name=name, value=value):
                g.update(self.saved)
                if value is missing:
                    del g[name]
                else:
                    g[name] = value
                try:
                    with support.quiet():
                        outcome = call()
                except NameError as e:
                    outcome = (NameError, str(e))
                self.assertEqual(outcome, expected)

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

    @support.native_only('Python functions keep the built-ins Python gave them')
    def test_builtins_freed_by_a_key_during_the_search(self):
        # A key whose __eq__ rebinds __builtins__ drops the last reference to
        # the dictionary being searched; a search that went on in the freed
        # one crashed under the debug allocator.
        r = support.run_python('''
            import json, public, Velmora
            g = vars(Velmora)
            del g['json']
            def rebinding_key(name):
                class Key(str):
                    def __hash__(self):
                        return hash(name)
                    def __eq__(self, other):
                        g['__builtins__'] = {'json': json, '__import__': __import__}
                        return False
                return Key('key')
            for name, call in (('json', lambda: Velmora.get_plugin_list(0)),
                               ('__import__', lambda: getattr(Velmora, '__aes_encrypt')(
                                   'x', 'k' * 16, 'i' * 16))):
                # Big enough that its freed table is not kept for reuse.
                g['__builtins__'] = dict([(rebinding_key(name), 1)] + [(str(i), i) for i in range(9)])
                try:
                    call()
                except (NameError, ImportError) as e:
                    print(type(e).__name__, e)
                print('then', len(call()) > 0)
        ''', env={'PYTHONMALLOC': 'debug'})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines()[-4:], [
            "NameError name 'json' is not defined", 'then True',
            'ImportError __import__ not found', 'then True'])


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
        # it back, through a symbol of its own.  Only a build with
        # libstdc++'s assertions (-D_GLIBCXX_ASSERTIONS, which the build
        # reports as VELMORA_CXX_ASSERTIONS) needs it, for their failure
        # handler alone.
        assertions = os.environ.get('VELMORA_CXX_ASSERTIONS') == '1'
        dynamic = subprocess.run(['readelf', '-d', Velmora.__file__], env=support.tool_env(),
                                 stdout=subprocess.PIPE, universal_newlines=True,
                                 check=True).stdout
        needed = [line.split('[')[-1].rstrip(']') for line in dynamic.splitlines()
                  if '(NEEDED)' in line]
        runtime_libraries = [lib for lib in needed if lib.startswith(('libstdc++', 'libgcc_s'))]
        undefined = subprocess.run(['nm', '-D', '--undefined-only', Velmora.__file__],
                                   env=support.tool_env(), stdout=subprocess.PIPE,
                                   universal_newlines=True, check=True).stdout
        from_libc = {'__cxa_finalize', '__cxa_atexit', '__cxa_thread_atexit_impl'}
        runtime = [name for name in (line.split()[-1].split('@')[0]
                                     for line in undefined.splitlines() if line.strip())
                   if name.startswith(('_Z', '__cxa_', '__gxx_', '_Unwind_'))
                   and name not in from_libc]
        if not assertions:
            self.assertFalse(runtime_libraries, needed)
            self.assertEqual(runtime, [])
            return
        self.assertLessEqual(set(runtime_libraries), {'libstdc++.so.6'}, needed)
        self.assertLessEqual(set(runtime), {'_ZSt21__glibcxx_assert_failPKciS0_S0_'})
        self.skipTest('built with -D_GLIBCXX_ASSERTIONS: the C++ runtime is needed for '
                      'their failure handler only (%s)' % (', '.join(runtime) or 'none'))

    def test_runtime_library_linked_only_before_3_8(self):
        out = subprocess.run(['readelf', '-d', Velmora.__file__], env=support.tool_env(),
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
        linked = 'libpython' in out
        self.assertEqual(linked, sys.version_info < (3, 8), out)


if __name__ == '__main__':
    unittest.main()

"""The quick ways through the module agree with the general ones.

Some work is done directly when a value is an exact str, an exact int or an
exact module: name tests read from the characters, module attributes read
from the module's dictionary.  Anything else goes the general way, through
the object's own methods and the interpreter's operators; names and imports
are looked up afresh at every call.  These tests give the same values both ways
(exact, as transparent subclasses, as objects that lie about themselves, as
replaced host modules and hooks) and compare answers, calls and errors.
"""
import builtins
import os
import pathlib
import shutil
import sys
import tempfile
import types
import unittest

import support

Velmora, public = support.load()

LOAD_FAILED = '插件加载失败!'


class Plain(str):
    """A str subclass that changes nothing: the general path must give what
    the quick path gives for the same characters."""


class Args:
    def __init__(self, **values):
        self.__dict__.update(values)

    def __contains__(self, key):
        return key in self.__dict__


def listing_rule(class_path, names):
    """The module-directory rule, written out."""
    return [n for n in names
            if os.path.isdir(class_path + '/' + n) and len(n) > 6
            and n.find('.') == -1 and n.find('Model') != -1]


class Rebinding(unittest.TestCase):
    """Module attributes replaced by a test are put back afterwards."""

    def setUp(self):
        public.reset()
        self.addCleanup(public.reset)

    def rebind(self, name, value):
        self.addCleanup(setattr, Velmora, name, getattr(Velmora, name))
        setattr(Velmora, name, value)

    def folder(self):
        path = tempfile.mkdtemp(prefix='velmora-fast-')
        self.addCleanup(shutil.rmtree, path, True)
        return path


class ModuleListTest(support.RefcountMixin, Rebinding):

    NAMES = ['projectModel', 'xModel', 'aModel', 'Model', 'Modelbase', 'backup.Model',
             'projectmodel', 'crontab', 'modelsModelX', '模块Model', '模块Mode',
             '😀Modelxy', '😀Mod.elxy', 'ModeModel', 'a.Modelxyz', 'ModelModel']

    def make(self, names, files=('notesModel',)):
        class_path = self.folder()
        for name in names:
            os.mkdir(os.path.join(class_path, name))
        for name in files:
            open(os.path.join(class_path, name), 'w').close()
        public.class_path = class_path
        return class_path

    def test_exact_and_subclass_names_agree_with_the_rule(self):
        class_path = self.make(self.NAMES)
        listed = os.listdir(class_path)
        expected = listing_rule(class_path, listed)
        self.assertEqual(Velmora.get_module_list(), expected)
        # The same names as subclass objects, and the class path as one.
        given = [Plain(n) for n in listed]
        self.rebind('os', types.SimpleNamespace(listdir=lambda p: given, path=os.path))
        result = Velmora.get_module_list()
        self.assertEqual(result, expected)
        self.assertTrue(all(type(n) is Plain for n in result))
        public.class_path = Plain(class_path)
        self.assertEqual(Velmora.get_module_list(), expected)
        self.assertRefcountsStable(Velmora.get_module_list, given[:3], rounds=50)

    def test_objects_answer_for_themselves_in_order(self):
        class_path = self.make(['realModel', 'plain.Modelx'])
        seen = []

        class Liar(str):
            """Has a dot, yet says it has none; its path is somewhere else."""
            def __radd__(self, head):
                seen.append(('radd', head))
                return head + 'realModel'

            def __len__(self):
                seen.append(('len',))
                return 10

            def find(self, sub, *rest):
                seen.append(('find', sub))
                return 0 if sub == 'Model' else -1

        liar = Liar('a.b')
        isdir = os.path.isdir
        path_module = types.SimpleNamespace(isdir=lambda p: seen.append(('isdir', p)) or isdir(p))
        self.rebind('os', types.SimpleNamespace(
            listdir=lambda p: ['plain.Modelx', liar], path=path_module))
        result = Velmora.get_module_list()
        self.assertEqual(len(result), 1)
        self.assertIs(result[0], liar)
        head = class_path + '/'
        self.assertEqual(seen, [('isdir', head + 'plain.Modelx'), ('radd', head),
                                ('isdir', head + 'realModel'), ('len',),
                                ('find', '.'), ('find', 'Model')])

    def test_values_that_are_not_str_fail_as_the_operators_do(self):
        class_path = self.make(['someModel'])
        self.rebind('os', types.SimpleNamespace(listdir=lambda p: [5], path=os.path))
        with self.assertRaises(TypeError) as ours:
            Velmora.get_module_list()
        with self.assertRaises(TypeError) as plain:
            class_path + '/' + 5
        self.assertEqual(str(ours.exception), str(plain.exception))

        # A class path whose own + decides where the entries are.
        os.makedirs(os.path.join(class_path, 'sub', 'abcModel'))
        added = []

        class Joined(str):
            def __add__(self, other):
                added.append(other)
                return str.__add__(self, other) + 'sub/'
        self.rebind('os', types.SimpleNamespace(listdir=lambda p: ['abcModel'], path=os.path))
        self.assertEqual(Velmora.get_module_list(), [])
        public.class_path = Joined(class_path)
        self.assertEqual(Velmora.get_module_list(), ['abcModel'])
        self.assertEqual(added, ['/'])


class HostModuleTest(Rebinding):
    """Host modules are read through their dictionary only when that gives
    what getattr gives."""

    def test_module_level_getattr_and_missing_names(self):
        host = types.ModuleType('public')
        answers = []

        def module_getattr(name):
            if name != 'returnMsg':
                raise AttributeError(name)
            return lambda status, msg: answers.append(msg) or 'lazy'
        host.__getattr__ = module_getattr
        self.rebind('public', host)
        self.assertEqual(Velmora.module_run('', 'x', Args()), 'lazy')
        self.assertEqual(answers, ['模块名称和模块方法名称不能为空!'])

        bare = types.ModuleType('public')
        self.rebind('public', bare)
        with self.assertRaises(AttributeError) as ours:
            Velmora.module_run('', 'x', Args())
        with self.assertRaises(AttributeError) as plain:
            getattr(bare, 'returnMsg')
        self.assertEqual(str(ours.exception), str(plain.exception))

    def test_module_subclasses_and_os_path_modules_are_asked(self):
        asked = []

        class Watched(types.ModuleType):
            def __getattribute__(self, name):
                asked.append(name)
                return super().__getattribute__(name)

        host = Watched('public')
        host.returnMsg = lambda status, msg: msg
        self.rebind('public', host)
        self.assertEqual(Velmora.module_run('', 'x', Args()), '模块名称和模块方法名称不能为空!')
        self.assertIn('returnMsg', asked)

        # A module standing in for os.path: its current functions are used.
        Velmora.public = public
        fake_path = types.ModuleType('fake_path')
        fake_path.exists = lambda p: p.endswith('div.pl')
        fake_path.realpath = os.path.realpath
        fake_os = types.ModuleType('fake_os')
        fake_os.path, fake_os.link, fake_os.remove = fake_path, os.link, os.remove
        panel = self.folder()
        os.mkdir(os.path.join(panel, 'data'))
        public.panel_path = panel
        public.read_file_answer = getattr(Velmora, '__aes_encrypt_module')('0123456789abcdef')
        self.rebind('os', fake_os)
        self.assertEqual(getattr(Velmora, '__get_db_iv')(), '0123456789abcdef')
        fake_path.exists = lambda p: False
        self.assertEqual(getattr(Velmora, '__get_db_iv')(), 'h3%k;a^M~Y?F+J-T')


class RebindingSeenTest(Rebinding):
    """Any change to the host module or to the module's namespace, in
    whatever way it is made, shows at the very next call."""

    EMPTY = '模块名称和模块方法名称不能为空!'

    def refuse(self):
        # Reads public.returnMsg (and nothing else) once per call.
        return Velmora.module_run('', 'x', Args())

    def test_host_attribute_changed_in_place(self):
        self.addCleanup(setattr, public, 'returnMsg', public.returnMsg)
        host_dict = vars(public)
        for _ in range(3):
            self.refuse()
        changes = [
            lambda: setattr(public, 'returnMsg', lambda s, m: ('set', m)),
            lambda: host_dict.update(returnMsg=lambda s, m: ('update', m)),
            lambda: host_dict.__setitem__('returnMsg', lambda s, m: ('item', m)),
            lambda: host_dict.setdefault('unrelated_' + str(id(self)), 1),
        ]
        expected = ['set', 'update', 'item', 'item']
        for change, tag in zip(changes, expected):
            change()
            self.assertEqual(self.refuse(), (tag, self.EMPTY))
        host_dict.pop('unrelated_' + str(id(self)))
        del public.returnMsg
        with self.assertRaises(AttributeError):
            self.refuse()
        host_dict['returnMsg'] = lambda s, m: ('back', m)
        self.assertEqual(self.refuse(), ('back', self.EMPTY))

    def test_module_names_changed_in_place(self):
        g = vars(Velmora)
        self.rebind('path_check', Velmora.path_check)
        refused = lambda: Velmora.module_run('a;b', 'x', Args(model_index=''))  # noqa: E731
        self.assertEqual(refused()['msg'], '模块名或方法名不能包含特殊符号!')
        g['path_check'] = lambda name: True
        self.assertNotEqual(refused()['msg'], '模块名或方法名不能包含特殊符号!')
        g.pop('path_check')
        with self.assertRaises(NameError):
            refused()
        # Found in the built-ins, then shadowed by the module again.
        builtins.path_check = lambda name: False
        self.addCleanup(delattr, builtins, 'path_check')
        self.assertEqual(Velmora.module_run('ok', 'x', Args(model_index=''))['msg'],
                         '模块名或方法名不能包含特殊符号!')
        g['path_check'] = lambda name: True
        self.assertNotEqual(Velmora.module_run('ok', 'x', Args(model_index=''))['msg'],
                            '模块名或方法名不能包含特殊符号!')

    def test_two_hosts_in_turn(self):
        first, second = types.ModuleType('public'), types.ModuleType('public')
        first.returnMsg = lambda s, m: 1
        second.returnMsg = lambda s, m: 2
        self.rebind('public', first)
        for _ in range(3):
            Velmora.public = first
            self.assertEqual(self.refuse(), 1)
            Velmora.public = second
            self.assertEqual(self.refuse(), 2)


class MethodCallTest(Rebinding):
    """Methods called on values that are not exact str are the values' own,
    instance attributes first, as a method call in Python finds them."""

    def setUp(self):
        super().setUp()
        panel = self.folder()
        os.mkdir(os.path.join(panel, 'data'))
        public.panel_path = panel

    def test_instance_attribute_shadows_the_method(self):
        data = Plain('ignored')
        data.split = lambda sep: ['x', '', 'y']
        self.assertEqual(Velmora.db_encrypt(data), Velmora.db_encrypt('x\ny'))

        class Hooked(str):
            def __getattribute__(self, name):
                if name == 'split':
                    return lambda sep: ['z']
                return super().__getattribute__(name)
        self.assertEqual(Velmora.db_encrypt(Hooked('a\nb')), Velmora.db_encrypt('z'))

    def test_overridden_encode_is_used(self):
        class Coded(str):
            def encode(self, encoding):
                return ('<%s>' % self).encode(encoding)
        enc = getattr(Velmora, '__aes_encrypt')
        key, iv = 'k' * 16, 'i' * 16
        self.assertEqual(enc(Coded('abc'), key, iv), enc('<abc>', key, iv))
        self.assertEqual(enc(Plain('abc'), Plain(key), Plain(iv)), enc('abc', key, iv))


class ImportTest(Rebinding):
    """Imports made at call time behave as the import statement does, through
    a replaced __import__ as through the interpreter's own."""

    def hook(self):
        calls = []
        original = builtins.__import__

        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            # Only the module's own imports; the libraries it calls have theirs.
            if globals is vars(Velmora):
                calls.append((name, True, locals, fromlist, level))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = recording
        self.addCleanup(setattr, builtins, '__import__', original)
        return calls

    def test_replaced_import_gets_the_statements_arguments(self):
        enc, dec = getattr(Velmora, '__aes_encrypt'), getattr(Velmora, '__aes_decrypt')
        key, iv = 'k' * 16, 'i' * 16
        cipher = enc('text', key, iv)
        source = os.path.join(self.folder(), 'loaded.py')
        with open(source, 'w') as f:
            f.write('value = 42\n')

        calls = self.hook()
        self.assertEqual(enc('text', key, iv), cipher)
        self.assertEqual(dec(cipher, key, iv), 'text')
        self.assertEqual(Velmora.get_module(source).value, 42)
        with self.assertRaises(OSError):
            Velmora.load_so_plugin(os.path.join(self.folder(), 'absent.so'))
        statement = (True, None, None, 0)
        self.assertEqual(calls, [
            ('Crypto.Cipher', True, None, ('AES',), 0), ('base64',) + statement,
            ('Crypto.Cipher', True, None, ('AES',), 0), ('base64',) + statement,
            ('importlib.util',) + statement, ('ctypes',) + statement])

    def test_a_hook_that_raises_stops_the_call(self):
        def refusing(name, *rest, **kw):
            raise ImportError('refused: ' + name)
        original = builtins.__import__
        builtins.__import__ = refusing
        self.addCleanup(setattr, builtins, '__import__', original)
        with self.assertRaisesRegex(ImportError, '^refused: Crypto.Cipher$'):
            getattr(Velmora, '__aes_encrypt')('x', 'k' * 16, 'i' * 16)

    def test_missing_name_reports_what_the_statement_reports(self):
        real = {k: sys.modules[k] for k in ('Crypto', 'Crypto.Cipher', 'Crypto.Cipher.AES')
                if k in sys.modules}
        self.addCleanup(sys.modules.update, real)
        sys.modules['Crypto.Cipher'] = types.ModuleType('Crypto.Cipher')
        sys.modules.pop('Crypto.Cipher.AES', None)
        with self.assertRaises(ImportError) as plain:
            from Crypto.Cipher import AES  # noqa: F401
        for hooked in (False, True):
            if hooked:
                self.hook()
            with self.assertRaises(ImportError) as ours:
                getattr(Velmora, '__aes_encrypt')('x', 'k' * 16, 'i' * 16)
            self.assertEqual(str(ours.exception), str(plain.exception))
            self.assertEqual(ours.exception.name, plain.exception.name)


class JoinedTextTest(Rebinding):
    """Paths joined from texts of every width and from str subclasses."""

    def setUp(self):
        super().setUp()
        self.plugins = []
        self.addCleanup(lambda: [support.forget_plugin(n) for n in self.plugins])

    def test_plugin_names_of_every_width(self):
        tag = '_%d' % os.getpid()
        for name in ('café' + tag, '插件' + tag, '😀' + tag, '插件..x' + tag, '.插件' + tag):
            self.plugins.append(name)
            support.make_plugin_folder(os.path.join(support.PLUGIN_ROOT, name))
            self.assertEqual(Velmora.plugin_run(name, 'run', Args()), {'status': False,
                                                                       'msg': LOAD_FAILED})
            entry = [p for p in sys.path if p == support.PLUGIN_ROOT + '/' + name]
            self.assertEqual(len(entry), 1, name)
            self.assertIs(type(entry[0]), str)

    def test_plugin_names_that_leave_the_root_in_any_width(self):
        before = list(sys.path)
        for name in ('插件/x', '插件\0x', '😀/x', '😀\0', '插件\ud800', '😀\udfff', '\ud800'):
            self.assertEqual(Velmora.plugin_run(name, 'run', Args()),
                             {'status': False, 'msg': LOAD_FAILED}, repr(name))
        self.assertEqual(sys.path, before)

    def test_format_handing_back_a_subclass(self):
        name = 'vt_fmt_%d' % os.getpid()
        self.plugins.append(name)
        support.make_plugin_folder(os.path.join(support.PLUGIN_ROOT, name))

        class Named:
            def __format__(self, spec):
                return Plain(name)
        Velmora.plugin_run(Named(), 'run', Args())
        entry = [p for p in sys.path if p == support.PLUGIN_ROOT + '/' + name]
        self.assertEqual(len(entry), 1)
        self.assertIs(type(entry[0]), str)

    def test_iv_file_under_a_wide_panel_path(self):
        panel = os.path.join(self.folder(), '面板😀')
        os.makedirs(os.path.join(panel, 'data'))
        public.panel_path = panel
        iv = getattr(Velmora, '__get_db_iv')()
        self.assertEqual(len(iv), 16)
        self.assertTrue(os.path.exists(os.path.join(panel, 'data', 'div.pl')))
        self.assertEqual(getattr(Velmora, '__get_db_iv')(), iv)


class ModuleFileTest(Rebinding):
    """Module file paths for class paths that format as something else."""

    def test_class_paths_that_are_not_exact_str(self):
        real, other = self.folder(), self.folder()
        for base in (real, other):
            os.makedirs(os.path.join(base, 'projectModel'))
            os.makedirs(os.path.join(base, 'namedModel'))
        with open(os.path.join(other, 'projectModel', 'siteModel.py'), 'w') as f:
            f.write('class main:\n    def where(self, args):\n        return "other project"\n')
        with open(os.path.join(other, 'namedModel', 'siteModel.py'), 'w') as f:
            f.write('class main:\n    def where(self, args):\n        return "other named"\n')

        class Elsewhere(str):
            def __format__(self, spec):
                return other
        public.class_path = Elsewhere(real)
        self.assertEqual(Velmora.module_run('site', 'where', Args(model_index='')),
                         'other project')
        self.assertEqual(Velmora.module_run('site', 'where', Args(model_index='named')),
                         'other named')
        public.class_path = pathlib.Path(other)
        self.assertEqual(Velmora.module_run('site', 'where', Args(model_index='named')),
                         'other named')
        self.assertEqual(Velmora.module_run(Plain('site'), 'where', Args(model_index='')),
                         'other project')


class ForceTest(Rebinding):
    """force == 0, for values of every kind."""

    def test_force_values(self):
        public.http_answer = '{"list": ["cloud"]}'
        with open('data/plugin_list.json', 'w') as f:
            f.write('{"list": ["cache"]}')

        class Agreeable(int):
            def __eq__(self, other):
                return True
            __hash__ = int.__hash__

        cases = [(0, 'cache'), (-0, 'cache'), (False, 'cache'), (Agreeable(7), 'cache'),
                 (1, 'cloud'), (-1, 'cloud'), (2 ** 80, 'cloud'), (-2 ** 80, 'cloud'),
                 (True, 'cloud'), (Agreeable(0) + 5, 'cloud')]
        saved = sys.stdout
        sys.stdout = open(os.devnull, 'w')
        try:
            for force, source in cases:
                with self.subTest(force=force):
                    self.assertEqual(Velmora.get_plugin_list(force)['list'], [source])
                    with open('data/plugin_list.json', 'w') as f:
                        f.write('{"list": ["cache"]}')
        finally:
            sys.stdout.close()
            sys.stdout = saved


if __name__ == '__main__':
    unittest.main()

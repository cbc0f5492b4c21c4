"""Name check, module discovery and loading, and the module runner."""
import os
import sys
import tempfile
import textwrap
import types
import unittest

import support

Velmora, public = support.load()

FORBIDDEN = ['./', '..', ',', ';', ':', '?', "'", '"', '<', '>', '|', '\\',
             '\n', '\r', '\t', '\b', '\a', '\f', '\v', '*', '%', '&', '$', '#',
             '@', '!', '~', '`', '^', '(', ')', '+', '=', '{', '}', '[', ']']

EMPTY = '模块名称和模块方法名称不能为空!'
SPECIAL = '模块名或方法名不能包含特殊符号!'
ENTRY_FAILED = '模块入口实例化失败'

SITE_MODULE = '''
import os
LOG = os.path.join(os.path.dirname(os.path.dirname(__file__)), 'runs.log')
class main:
    def __init__(self):
        with open(LOG, 'a') as f:
            f.write('main\\n')
    def get_list(self, args):
        with open(LOG, 'a') as f:
            f.write('get_list\\n')
        return {'dir': os.path.basename(os.path.dirname(__file__)), 'args': args}
    def boom(self, args):
        raise ValueError('boom')
    @property
    def broken(self):
        raise RuntimeError('read failed')
    @property
    def hidden(self):
        raise AttributeError('not here')
    text_attr = 'not callable'
    zero_attr = 0
'''


Args = support.Request

# The module-folder rule: a folder (or a link to one) whose name is longer
# than six characters, holds no dot and contains "Model".
LISTING = [  # name, whether it is listed
    ('projectModel', True), ('filesModel', True), ('Modelbase', True), ('ModelModel', True),
    ('ModeModel', True), ('modelsModelX', True), ('模块Model', True), ('😀Modelxy', True),
    ('xModel', False), ('aModel', False), ('Model', False), ('backup.Model', False),
    ('a.Modelxyz', False), ('😀Mod.elxy', False), ('projectmodel', False), ('模块Mode', False),
    ('crontab', False),
]


class ClassDirCase(unittest.TestCase):
    """A fresh class directory per test, reported by the fake host; module
    attributes replaced by a test are put back afterwards."""

    def setUp(self):
        public.reset()
        self._tmp = tempfile.TemporaryDirectory(prefix='velmora-class-')
        self.class_dir = self._tmp.name
        public.class_path = self.class_dir
        self._saved = {}

    def tearDown(self):
        for name, value in self._saved.items():
            setattr(Velmora, name, value)
        public.reset()
        self._tmp.cleanup()

    def replace(self, name, value):
        self._saved.setdefault(name, getattr(Velmora, name))
        setattr(Velmora, name, value)

    def record(self, name):
        """Wraps a module function so its calls are listed in order."""
        seen = []
        original = getattr(Velmora, name)

        def recorder(*args):
            seen.append(args)
            return original(*args)
        self.replace(name, recorder)
        return seen

    def make_dir(self, *names):
        for name in names:
            os.makedirs(os.path.join(self.class_dir, name), exist_ok=True)

    def write(self, relpath, text):
        path = os.path.join(self.class_dir, relpath)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w') as f:
            f.write(textwrap.dedent(text))
        return path

    def runs(self):
        log = os.path.join(self.class_dir, 'runs.log')
        if not os.path.exists(log):
            return []
        with open(log) as f:
            return f.read().split()


class PathCheckTest(support.RefcountMixin, unittest.TestCase):

    class Text(str):
        """A str subclass: takes the per-entry path through `in`."""

    def test_each_entry_refused_alone_and_inside_a_name(self):
        for entry in FORBIDDEN:
            for name in (entry, 'ab' + entry + 'cd', '中' + entry, '😀' + entry):
                with self.subTest(name=name):
                    self.assertIs(Velmora.path_check(name), False)
                    self.assertIs(Velmora.path_check(self.Text(name)), False)

    def test_allowed_names_pass(self):
        for name in ('site', 'site_v2-beta', 'a/b', 'a.b', 'a b', '', '网站管理',
                     '.', '/', 'x.', '/.x', '.a.b.', 'é ü', '😀', 'a-.-b'):
            with self.subTest(name=name):
                self.assertIs(Velmora.path_check(name), True)
                self.assertIs(Velmora.path_check(self.Text(name)), True)

    def test_non_text_uses_the_membership_test(self):
        self.assertRaises(TypeError, Velmora.path_check, None)
        self.assertRaises(TypeError, Velmora.path_check, 5)
        self.assertIs(Velmora.path_check(['..']), False)
        self.assertIs(Velmora.path_check(['x']), True)

    def test_own_membership_test_decides(self):
        # A str subclass's own `in` is asked about every entry until one is
        # found, and its answers (or its errors) are what count.
        asked = []

        class Probe(str):
            def __contains__(self, entry):
                asked.append(entry)
                return entry == self.hit
        for hit, passes in ((None, True), ('@', False)):
            probe = Probe('a;b')
            probe.hit = hit
            self.assertIs(Velmora.path_check(probe), passes)
        self.assertEqual(set(asked), set(FORBIDDEN))

        class Broken(str):
            def __contains__(self, entry):
                raise KeyError(entry)
        with self.assertRaises(KeyError):
            Velmora.path_check(Broken('plain'))

    def test_references(self):
        # The exact str's way is the memory suite's (workload.py).
        sub = self.Text('a;b')
        self.assertRefcountsStable(lambda: Velmora.path_check(sub), [sub])


class ModuleListTest(support.RefcountMixin, ClassDirCase):

    def test_listing_rule(self):
        self.make_dir(*(name for name, _ in LISTING))
        self.write('notesModel', '')
        os.symlink(os.path.join(self.class_dir, 'filesModel'),
                   os.path.join(self.class_dir, 'linkedModel'))
        accepted = {name for name, listed in LISTING if listed} | {'linkedModel'}
        # In the order the folder lists them.
        expected = [n for n in os.listdir(self.class_dir) if n in accepted]
        self.assertEqual(Velmora.get_module_list(), expected)
        # The same names as str subclass objects, and the class path as one.
        Plain = type('Plain', (str,), {})
        given = [Plain(n) for n in os.listdir(self.class_dir)]
        self.replace('os', types.SimpleNamespace(listdir=lambda p: given, path=os.path))
        public.class_path = Plain(self.class_dir)
        result = Velmora.get_module_list()
        self.assertEqual(result, expected)
        self.assertTrue(all(type(n) is Plain for n in result))
        self.assertRefcountsStable(Velmora.get_module_list, given[:3], rounds=50)

    def test_empty_and_missing_directories(self):
        self.assertEqual(Velmora.get_module_list(), [])
        public.class_path = os.path.join(self.class_dir, 'absent')
        self.assertRaises(FileNotFoundError, Velmora.get_module_list)
        self.make_dir('projectModel')
        public.class_path = self.class_dir.encode()
        self.assertRaises(TypeError, Velmora.get_module_list)



class GetModuleTest(ClassDirCase):

    def test_fresh_anonymous_module_each_call(self):
        path = self.write('loadme.py', '''
            import os
            seen_name = __name__
            with open(os.path.join(os.path.dirname(__file__), 'runs.log'), 'a') as f:
                f.write('ran\\n')
        ''')
        before = set(sys.modules)
        first = Velmora.get_module(path)
        second = Velmora.get_module(filename=path)
        self.assertIsNot(first, second)
        self.assertEqual(self.runs(), ['ran', 'ran'])
        self.assertEqual((first.__name__, first.seen_name), ('module.name', 'module.name'))
        self.assertEqual(set(sys.modules), before)

    def test_failures_propagate(self):
        self.assertRaises(FileNotFoundError, Velmora.get_module,
                          os.path.join(self.class_dir, 'absent.py'))
        self.assertRaises(SyntaxError, Velmora.get_module, self.write('bad.py', 'def (:\n'))
        with self.assertRaises(LookupError):
            Velmora.get_module(self.write('raises.py', 'raise LookupError("top")\n'))
        self.assertRaises(AttributeError, Velmora.get_module, self.write('notes.txt', ''))



class ModuleRunTest(support.RefcountMixin, ClassDirCase):

    def setUp(self):
        super().setUp()
        self.project_file = self.write('projectModel/siteModel.py', SITE_MODULE)

    def msg(self, text):
        return {'status': False, 'msg': text}

    def test_empty_names_refused_before_the_name_check(self):
        checks = self.record('path_check')
        for mod, meth in (('', 'get_list'), ('site', None), (None, 'x'), (0, ''), ('site', [])):
            with self.subTest(mod=mod, meth=meth):
                self.assertEqual(Velmora.module_run(mod, meth, Args()), self.msg(EMPTY))
        self.assertEqual(checks, [])

    def test_name_check(self):
        checks = self.record('path_check')
        self.assertEqual(Velmora.module_run('site;x', 'get_list', Args()), self.msg(SPECIAL))
        self.assertEqual(checks, [('site;x',)])
        self.assertEqual(Velmora.module_run('site', 'get(list)', Args()), self.msg(SPECIAL))
        self.assertEqual(checks[1:], [('site',), ('get(list)',)])
        self.assertEqual(Velmora.module_run('../x', 'get_list', Args()), self.msg(SPECIAL))
        self.assertEqual(public.calls_of('get_class_path'), [])

    def test_named_directory_patterns(self):
        listing = self.record('get_module_list')
        self.write('filesModel/siteModel.py', SITE_MODULE)
        self.write('5Model/siteModel.py', SITE_MODULE)
        for index, directory in (('project', 'projectModel'), ('', 'projectModel'),
                                 (None, 'projectModel'), (0, 'projectModel'),
                                 ('files', 'filesModel'), (5, '5Model')):
            with self.subTest(index=index):
                public.reset()
                public.class_path = self.class_dir
                result = Velmora.module_run('site', 'get_list', Args(model_index=index))
                self.assertEqual(result['dir'], directory)
                self.assertEqual(public.calls_of('get_script_object'),
                                 [('%s/%s/siteModel.py' % (self.class_dir, directory),)])
        self.assertEqual(listing, [])

    def test_named_directory_missing_file_does_not_search(self):
        listing = self.record('get_module_list')
        self.write('otherModel/siteModel.py', SITE_MODULE)
        self.assertEqual(Velmora.module_run('site', 'get_list', Args(model_index='files')),
                         self.msg('模块[site]不存在'))
        self.assertEqual(listing, [])
        self.assertEqual(public.calls_of('get_script_object'), [])

    def test_named_directory_must_pass_the_name_check(self):
        checks = self.record('path_check')
        for index in ('../evil/x', './x', ['..'], 'a;b'):
            with self.subTest(index=index):
                del checks[:]
                self.assertEqual(Velmora.module_run('site', 'get_list', Args(model_index=index)),
                                 self.msg(SPECIAL))
                self.assertEqual(checks, [('site',), ('get_list',), (str(index),)])
        self.assertEqual(public.calls_of('get_class_path'), [])
        self.assertEqual(self.runs(), [])

    def test_search_takes_the_first_listed_directory_that_has_the_file(self):
        self.write('filesModel/siteModel.py', SITE_MODULE)
        self.make_dir('emptyModel')
        for order, winner in ((['emptyModel', 'filesModel', 'projectModel'], 'filesModel'),
                              (['projectModel', 'filesModel'], 'projectModel')):
            self.replace('get_module_list', lambda order=order: iter(order))
            self.assertEqual(Velmora.module_run('site', 'get_list', Args())['dir'], winner)
        self.replace('get_module_list', lambda: [])
        self.assertEqual(Velmora.module_run('site', 'get_list', Args()), self.msg('模块[site]不存在'))
        self.replace('get_module_list', lambda: ['emptyModel'])
        self.assertEqual(Velmora.module_run('site', 'get_list', Args()), self.msg('模块[site]不存在'))

    def test_loader_and_entry_failures(self):
        public.script_object_answer = lambda path: None
        self.assertEqual(Velmora.module_run('site', 'get_list', Args()), self.msg('模块[site]不存在!'))
        public.script_object_answer = lambda path: types.SimpleNamespace()
        self.assertEqual(Velmora.module_run('site', 'get_list', Args()), self.msg(ENTRY_FAILED))

        def main():
            raise KeyError('no entry')
        public.script_object_answer = lambda path: types.SimpleNamespace(main=main)
        self.assertEqual(Velmora.module_run('site', 'get_list', Args()), self.msg(ENTRY_FAILED))
        public.script_object_answer = None
        self.assertEqual(Velmora.module_run('site', 'broken', Args()), self.msg(ENTRY_FAILED))
        self.replace('path_check', lambda name: True)
        self.assertEqual(Velmora.module_run('site', 7, Args()), self.msg(ENTRY_FAILED))

    def test_method_missing_or_false(self):
        for name in ('nothing', 'zero_attr', 'hidden'):
            with self.subTest(name=name):
                self.assertEqual(Velmora.module_run('site', name, Args()),
                                 self.msg('在[site]模块中找不到[%s]方法' % name))

    def test_call_and_object_request(self):
        args = Args()
        result = Velmora.module_run('site', 'get_list', args)
        self.assertEqual(result, {'dir': 'projectModel', 'args': args})
        self.assertIs(result['args'], args)
        self.assertEqual(self.runs(), ['main', 'get_list'])
        for flag in (1, True, 1.0):
            method = Velmora.module_run('site', 'get_list', Args(module_get_object=flag))
            self.assertEqual(method.__name__, 'get_list')
        self.assertEqual(self.runs().count('get_list'), 1)
        for flag in ('1', 0):
            self.assertEqual(Velmora.module_run('site', 'get_list', Args(module_get_object=flag))['dir'],
                             'projectModel')

    def test_exceptions_outside_the_guard_propagate(self):
        self.assertRaisesRegex(ValueError, 'boom', Velmora.module_run, 'site', 'boom', Args())
        self.assertRaises(TypeError, Velmora.module_run, 'site', 'text_attr', Args())
        self.assertRaises(TypeError, Velmora.module_run, 'site', 'get_list', object())
        self.assertEqual(public.calls_of('returnMsg'), [])

        def unlistable():
            raise PermissionError('class dir')
        self.replace('get_module_list', unlistable)
        self.assertRaises(PermissionError, Velmora.module_run, 'site', 'get_list', Args())

    def test_references(self):
        # The other ways are the memory suite's (workload.py).
        refused = Args()
        self.assertRefcountsStable(lambda: Velmora.module_run('site', 'nothing', refused), [refused])


if __name__ == '__main__':
    unittest.main()

"""One stream of inputs, two answers: the native module and the pure-Python
one (pure/Velmora.py, loaded under a name of its own) are called in this
process with the same seeded inputs, through the same stand-in host, from
the same file-system state.  Results, exceptions (type, text and context),
the host's calls, what was printed, sys.path and the plugin entry modules
left in sys.modules must agree; a test names the first input on which they
do not.  VELMORA_DIFF_SEED picks another stream."""
import contextlib
import ctypes
import glob
import importlib.util
import io
import json
import os
import random
import shutil
import sys
import tempfile
import textwrap
import types
import unittest

import support

SEED = int(os.environ.get('VELMORA_DIFF_SEED', '2021'))
Velmora = public = pure = None


def setUpModule():
    global Velmora, public, pure
    if support.PURE:
        return
    Velmora, public = support.load()
    spec = importlib.util.spec_from_file_location(
        'velmora_pure_twin', os.path.join(support.PURE_DIR, 'Velmora.py'))
    pure = importlib.util.module_from_spec(spec)
    with contextlib.redirect_stdout(io.StringIO()):
        spec.loader.exec_module(pure)
    # The cloud root is built into the native module; the pure one takes it
    # from its build record.
    for record in glob.glob(os.path.join(support.MODULE_DIR, 'Velmora*.json')):
        with open(record) as f:
            pure._CLOUD_ROOT = json.load(f)['cloud_root']


def tearDownModule():
    support.remove_plugin_root()


# --- Inputs ------------------------------------------------------------------

LETTERS = list('abZ09_- ./') + ['é', '中', '😀', '\ud800', '\udfff', '\0', '\n', '\t', 'Model',
                                 '..', './'] + list(',;:?\'"<>|\\*%&$#@!~`^()+={}[]')


class Hostile(BaseException):
    """Raised by hostile inputs: not an Exception, so it passes every guard."""


def _raise(kind):
    def method(self, *args, **kwargs):
        raise kind('hostile')
    return method


_TEXT_METHODS = ['__format__', '__str__', '__contains__', '__eq__', '__hash__', '__len__',
                 '__bool__', '__iter__', 'split', 'encode', 'find', '__add__', '__radd__',
                 '__mod__', '__rmod__']
Plain = type('Plain', (str,), {})
Failing = type('Failing', (str,), {m: _raise(ValueError) for m in _TEXT_METHODS})
HostileText = type('HostileText', (str,), {m: _raise(Hostile) for m in _TEXT_METHODS})
Lying = type('Lying', (str,), {
    '__contains__': lambda self, part: False, '__eq__': lambda self, other: True,
    '__hash__': lambda self: 0, '__len__': lambda self: 9, '__bool__': lambda self: True,
    '__format__': lambda self, spec: '../x', '__str__': lambda self: 'other',
    'split': lambda self, *a: ['a', 'b'], 'encode': lambda self, *a: 'not bytes',
    'find': lambda self, *a: 0, '__add__': lambda self, other: 7,
    '__radd__': lambda self, other: other + 'Modelx', '__mod__': lambda self, other: 7})


class FormatsAs:
    def __init__(self, text):
        self.text = text

    def __format__(self, spec):
        return self.text


FormatRaises = type('FormatRaises', (), {'__format__': _raise(ValueError)})
FormatNotText = type('FormatNotText', (), {'__format__': lambda self, spec: 42})
TruthRaises = type('TruthRaises', (), {'__bool__': _raise(ValueError)})
EqRaises = type('EqRaises', (), {'__eq__': _raise(Hostile), '__hash__': object.__hash__})


Request = support.Request
ContainsRaises = type('ContainsRaises', (Request,), {'__contains__': _raise(ValueError)})
ListedOnly = type('ListedOnly', (), {'__contains__': lambda self, key: True})


def text(rng, longest=8):
    return ''.join(rng.choice(LETTERS) for _ in range(rng.randint(0, longest)))


def odd(rng, base=None):
    """Something that is not a plain text, made from one."""
    base = text(rng) if base is None else base
    return rng.choice([
        lambda: None, lambda: 0, lambda: 1, lambda: 2 ** 80, lambda: 1.5, lambda: True,
        lambda: base.encode('utf-8', 'replace'), lambda: [base], lambda: (base,),
        lambda: {base: 1}, object, lambda: Plain(base), lambda: Failing(base),
        lambda: HostileText(base), lambda: Lying(base), lambda: FormatsAs(base),
        FormatRaises, FormatNotText, TruthRaises, EqRaises])()


def name_or_odd(rng, names, odd_share=0.2):
    """One of `names`, a generated text, or something odd."""
    roll = rng.random()
    if roll < odd_share:
        return odd(rng, rng.choice(names))
    if roll < 0.6:
        return rng.choice(names)
    return text(rng)


def request(rng, keys):
    """A request object, mostly well-formed, holding some of `keys`."""
    roll = rng.random()
    if roll < 0.05:
        return rng.choice([object(), ContainsRaises(), ListedOnly(), None, 'text'])
    fields = {}
    for key, values in keys.items():
        if rng.random() < 0.4:
            fields[key] = rng.choice(values)
    return Request(**fields)


def argument_errors(rng, name):
    """Calls of `name` with a random number of positional arguments and
    random keywords, mostly wrong."""
    params = list(pure._PARAMETERS[name][0])
    count = rng.randint(0, len(params) + 1)
    args = tuple(text(rng, 4) for _ in range(count))
    keywords = {}
    for key in rng.sample(params + ['bogus', 'given', 'keywords', 'Path'], rng.randint(0, 3)):
        keywords[key] = text(rng, 4)
    return args, keywords


# --- Outcomes ------------------------------------------------------------------

def describe(value, known, depth=0):
    """A comparable account of a value: inputs by identity, plain data by
    type and value, anything else by kind."""
    if id(value) in known:
        return ('input', known[id(value)])
    kind = type(value)
    if depth > 5:
        return ('deep', kind.__name__)
    if value is None or kind in (bool, int, float):
        return (kind.__name__, value)
    if isinstance(value, str):
        return (kind.__name__, str.__str__(value))
    if isinstance(value, (bytes, bytearray)):
        return (kind.__name__, bytes(value))
    if kind in (list, tuple):
        return (kind.__name__, [describe(v, known, depth + 1) for v in value])
    if kind is dict:
        return ('dict', [(describe(k, known, depth + 1), describe(v, known, depth + 1))
                         for k, v in value.items()])
    if isinstance(value, BaseException):
        return describe_error(value, known)
    if isinstance(value, types.ModuleType):
        return ('module', value.__name__, describe(vars(value).get('value'), known, depth + 1))
    if isinstance(value, ctypes.CDLL):
        return ('CDLL', value._name)
    if isinstance(value, types.MethodType):
        return ('method', value.__func__.__qualname__, type(value.__self__).__name__)
    return ('object', kind.__qualname__)


def describe_error(error, known):
    if error is None:
        return None
    context = error.__context__
    return ('raised', type(error).__qualname__, safe_text(error),
            None if context is None else (type(context).__qualname__, safe_text(context)))


def safe_text(error):
    try:
        return str(error)
    except BaseException as e:  # noqa: B902 - an exception whose text fails
        return '<str failed: %s>' % type(e).__name__


def inputs_of(case):
    """Labels for every object the case hands in, to recognise them when
    they come back."""
    known = {}
    for i, value in enumerate(case.args):
        known[id(value)] = 'arg%d' % i
        if isinstance(value, Request):
            for key, field in vars(value).items():
                known.setdefault(id(field), 'arg%d.%s' % (i, key))
    for key, value in case.kwargs.items():
        known[id(value)] = key
    return known


class Case:
    def __init__(self, function, args=(), kwargs=None, host=None, state=None):
        self.function, self.args, self.kwargs = function, tuple(args), kwargs or {}
        self.host, self.state = host or {}, state

    def __repr__(self):
        call = [ascii(a)[:80] for a in self.args]
        call += ['%s=%s' % (k, ascii(v)[:80]) for k, v in self.kwargs.items()]
        extra = ''
        if self.host:
            extra += ' host=%s' % ascii(sorted(self.host))
        if self.state:
            extra += ' state=%s' % self.state
        return '%s(%s)%s' % (self.function, ', '.join(call), extra)


# --- The fixture ---------------------------------------------------------------

PLUGIN_ENTRIES = {
    'good': '''
        class NAME_main:
            def echo(self, args):
                return ('echo', args)
            def nothing(self, args):
                return None
            def boom(self, args):
                raise LookupError('from the plugin')
            @property
            def broken(self):
                raise RuntimeError('getter failed')
    ''',
    'noclass': 'x = 1\n',
    'raising': '''
        class NAME_main:
            def __init__(self):
                raise ValueError('refuses to start')
    ''',
    'none': 'def NAME_main():\n    return None\n',
}

SITE_MODULE = '''
class main:
    def get_list(self, args):
        return ['site', args]
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


@support.native_only('it compares the native module with the pure one')
class DifferentialTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        # Every call writes and removes files; a memory file system keeps
        # that quick where there is one.
        memory = '/dev/shm' if os.access('/dev/shm', os.W_OK) else None
        cls.tmp = tempfile.mkdtemp(prefix='velmora-diff-', dir=memory)
        cls.cwd = os.path.join(cls.tmp, 'work')
        os.makedirs(os.path.join(cls.cwd, 'data'))
        cls.panel = os.path.join(cls.tmp, 'panel')
        os.makedirs(os.path.join(cls.panel, 'data'))
        cls.iv_file = os.path.join(cls.panel, 'data', 'div.pl')
        cls.class_dir = os.path.join(cls.tmp, 'class')
        for folder in ('projectModel', 'filesModel', 'emptyModel', 'xModel', 'crontab',
                       'backup.Model', 'Modelbase'):
            os.makedirs(os.path.join(cls.class_dir, folder))
        for path in ('projectModel/siteModel.py', 'filesModel/siteModel.py',
                     'filesModel/notesModel.py'):
            with open(os.path.join(cls.class_dir, path), 'w') as f:
                f.write(SITE_MODULE)
        open(os.path.join(cls.class_dir, 'notesModel'), 'w').close()
        cls.files = {}
        for name, content in (('value.py', 'value = 42\n'), ('bad.py', 'def (:\n'),
                              ('raises.py', 'raise LookupError("top")\n'),
                              ('notes.txt', ''), ('library.so', 'not a library')):
            cls.files[name] = os.path.join(cls.tmp, name)
            with open(cls.files[name], 'w') as f:
                f.write(content)
        cls.files['missing.py'] = os.path.join(cls.tmp, 'missing.py')
        cls.files['folder'] = cls.class_dir
        cls.site = Velmora.get_module(os.path.join(cls.class_dir, 'projectModel',
                                                   'siteModel.py'))

        # Plugins under the fixed root, named for this process.
        tag = '%d' % os.getpid()
        cls.plugins = {}
        for kind, source in PLUGIN_ENTRIES.items():
            name = 'vt_diff_%s_%s' % (kind, tag)
            folder = os.path.join(support.PLUGIN_ROOT, name)
            support.make_plugin_folder(folder)
            with open(os.path.join(folder, name + '_main.py'), 'w') as f:
                f.write(textwrap.dedent(source).replace('NAME', name))
            cls.plugins[kind] = name
        for kind in ('empty', 'badlib'):
            name = 'vt_diff_%s_%s' % (kind, tag)
            support.make_plugin_folder(os.path.join(support.PLUGIN_ROOT, name))
            cls.plugins[kind] = name
        with open(os.path.join(support.PLUGIN_ROOT, cls.plugins['badlib'],
                               cls.plugins['badlib'] + pure._LIBRARY_SUFFIX), 'w') as f:
            f.write('not a library')
        # An entry module that an earlier folder of sys.path also has: the
        # module imported is not the plugin's own file.
        name = 'vt_diff_shadowed_%s' % tag
        support.make_plugin_folder(os.path.join(support.PLUGIN_ROOT, name))
        cls.shadow = os.path.join(cls.tmp, 'shadow')
        for folder in (os.path.join(support.PLUGIN_ROOT, name), cls.shadow):
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, name + '_main.py'), 'w') as f:
                f.write(textwrap.dedent(PLUGIN_ENTRIES['good']).replace('NAME', name))
        cls.plugins['shadowed'] = name
        cls.base_path = list(sys.path)

        public.reset()
        public.panel_path = cls.panel
        cls.iv_content = getattr(Velmora, '__aes_encrypt_module')('IVIVIVIVIVIVIVIV')

    @classmethod
    def tearDownClass(cls):
        os.chdir(support.workdir())
        for name in cls.plugins.values():
            support.forget_plugin(name)
        sys.path[:] = cls.base_path
        shutil.rmtree(cls.tmp, ignore_errors=True)
        public.reset()

    # --- running a case -------------------------------------------------------

    def prepare(self, case):
        """The same host and file-system state before every call."""
        public.reset()
        public.panel_path, public.class_path = self.panel, self.class_dir
        public.random_answer = 'R4nd0mIVtext1234'
        # The IV file written plainly: the working host flushes it to the disk.
        public.write_file_answer = plain_write
        for key, value in case.host.items():
            setattr(public, key, value)
        for path in glob.glob(self.iv_file + '*'):
            os.unlink(path)
        if case.state == 'iv':
            with open(self.iv_file, 'w') as f:
                f.write(self.iv_content)
        elif case.state == 'iv damaged':
            with open(self.iv_file, 'w') as f:
                f.write('not a cipher text')
        cache = os.path.join(self.cwd, 'data', 'plugin_list.json')
        if case.state == 'cache':
            with open(cache, 'w') as f:
                f.write('{"list": ["cached"]}')
        elif case.state == 'cache broken':
            with open(cache, 'w') as f:
                f.write('{broken')
        elif os.path.exists(cache):
            os.unlink(cache)
        if case.state == 'shadowed':
            # Listed behind another folder that has an entry of that name.
            sys.path.insert(0, self.shadow)
            sys.path.append(os.path.join(support.PLUGIN_ROOT, self.plugins['shadowed']))
        for name in self.plugins.values():
            sys.modules.pop(name + '_main', None)

    def outcome(self, module, case):
        os.chdir(self.cwd)
        sys.path[:] = self.base_path
        self.prepare(case)
        before = list(sys.path)
        modules = set(sys.modules)
        printed = io.StringIO()
        function = getattr(module, case.function)
        with contextlib.redirect_stdout(printed):
            try:
                value, error = function(*case.args, **case.kwargs), None
            except BaseException as raised:  # noqa: B902 - compared below
                value, error = None, raised
        known = inputs_of(case)
        seen = [('results', describe(value, known)),
                ('exceptions', describe_error(error, known)),
                ('host calls', describe(public.calls, known)),
                ('printed lines', printed.getvalue()), ('sys.path entries', list(sys.path)),
                ('entry modules', sorted(k for k in set(sys.modules) - modules
                                         if k.endswith('_main')))]
        for entry in set(sys.path) - set(before):
            sys.path_importer_cache.pop(entry, None)
        sys.path[:] = self.base_path
        for key in set(sys.modules) - modules:
            if key.endswith('_main'):
                del sys.modules[key]
        return seen

    def compare(self, cases):
        for number, case in enumerate(cases):
            native = self.outcome(Velmora, case)
            twin = self.outcome(pure, case)
            for (what, ours), (_, theirs) in zip(native, twin):
                if ours != theirs:
                    self.fail('case %d of %d (seed %d), %r: the %s differ\nnative: %r\npure:   %r'
                              % (number, len(cases), SEED, case, what, ours, theirs))

    def rng(self, name):
        return random.Random('%d %s' % (SEED, name))

    def cases(self, name, count, make):
        """`count` cases of `name`: one in ten an argument-check case, the
        rest from make(rng)."""
        rng = self.rng(name)
        cases = []
        for _ in range(support.scaled(count)):
            if rng.random() < 0.1:
                args, kwargs = argument_errors(rng, name)
                cases.append(Case(name, args, kwargs))
            else:
                cases.append(make(rng))
        return cases

    # --- one test per function (or pair) --------------------------------------

    def test_path_check(self):
        def make(rng):
            path = text(rng, 12) if rng.random() < 0.7 else odd(rng)
            if rng.random() < 0.3:
                return Case('path_check', kwargs={'path': path})
            return Case('path_check', (path,))
        self.compare(self.cases('path_check', 3000, make))

    def test_plugin_run(self):
        names = list(self.plugins.values())
        flags = [1, True, 1.0, 0, '1', None, TruthRaises(), EqRaises()]

        def make(rng):
            plugin_name = name_or_odd(rng, names)
            if rng.random() < 0.1:
                plugin_name = rng.choice(names) + text(rng, 3)
            def_name = rng.choice(['echo', 'nothing', 'boom', 'broken', 'missing', 42, None,
                                   Plain('echo'), Failing('echo'), text(rng, 4)])
            args = request(rng, {'plugin_get_object': flags, 'payload': [1, 'x']})
            state = 'shadowed' if rng.random() < 0.05 else None
            return Case('plugin_run', (plugin_name, def_name, args), state=state)
        self.compare(self.cases('plugin_run', 1500, make))

    def test_load_so_plugin(self):
        def make(rng):
            path = rng.choice([self.files['library.so'], self.files['missing.py'],
                               self.files['folder'], 'libc.so.6', '', text(rng), odd(rng)])
            return Case('load_so_plugin', (path,))
        self.compare(self.cases('load_so_plugin', 300, make))

    def test_module_run(self):
        names = ['site', 'notes', 'nosuch', 'a;b', '../x', '']
        methods = ['get_list', 'boom', 'broken', 'hidden', 'text_attr', 'zero_attr',
                   'missing', '', None, 7, 'get(list)']
        indexes = ['project', 'files', '', None, 0, 5, '../x', 'a;b', ['..'], Lying('files'),
                   FormatsAs('files'), FormatRaises(), TruthRaises(), '\ud800']
        site = self.site
        def main():
            raise KeyError('no entry')
        loaders = [None, lambda path: site, lambda path: None,
                   lambda path: types.SimpleNamespace(),
                   lambda path: types.SimpleNamespace(main=main)]

        def make(rng):
            mod_name = name_or_odd(rng, names)
            def_name = rng.choice(methods) if rng.random() < 0.9 else odd(rng)
            args = request(rng, {'model_index': indexes,
                                 'module_get_object': [1, True, 0, '1', EqRaises()]})
            host = {'script_object_answer': rng.choice(loaders)}
            if rng.random() < 0.1:
                host['class_path'] = rng.choice([Plain(self.class_dir), self.class_dir + '/x',
                                                 self.class_dir.encode()])
            return Case('module_run', (mod_name, def_name, args), host=host)
        self.compare(self.cases('module_run', 1500, make))

    def test_get_module_list_and_get_module(self):
        def listing(rng):
            host = {'class_path': rng.choice([
                self.class_dir, Plain(self.class_dir), self.class_dir + '/absent',
                self.class_dir.encode(), 5, self.files['value.py'], Lying(self.class_dir)])}
            return Case('get_module_list', host=host)

        def loading(rng):
            path = rng.choice(list(self.files.values()) + [text(rng), odd(rng)])
            return Case('get_module', (path,))
        self.compare(self.cases('get_module_list', 600, listing)
                     + self.cases('get_module', 400, loading))

    def test_catalogue(self):
        answers = ['{"list": [{"name": "a"}], "type": 0}', '{"list": []}', '"maintenance"',
                   '[{"list": []}]', '{"lists": 1}', 'null', '42', '{"list": [',
                   lambda url: None, OSError('[Errno 111] Connection refused'),
                   lambda url: Hostile('down')]
        forces = [0, 1, False, True, 0.0, None, '0', [], TruthRaises(), EqRaises(), 2 ** 80]

        def host(rng):
            chosen = {'http_answer': rng.choice(answers)}
            if rng.random() < 0.2:
                chosen['write_cache_answer'] = rng.choice([
                    PermissionError(13, 'Permission denied'), lambda path, text: False])
            if rng.random() < 0.1:
                chosen['read_cache_answer'] = rng.choice(['[1, 2]', OSError('unreadable')])
            return chosen

        def fetch(rng):
            force = rng.choice(forces)
            state = rng.choice(['cache', 'cache broken', None])
            if rng.random() < 0.2:
                return Case('get_plugin_list', kwargs={'force': force}, host=host(rng),
                            state=state)
            if rng.random() < 0.1:
                return Case('get_plugin_list', host=host(rng), state=state)
            return Case('get_plugin_list', (force,), host=host(rng), state=state)

        def update(rng):
            return Case('update_plugin_list', host=host(rng), state=rng.choice(['cache', None]))
        self.compare(self.cases('get_plugin_list', 800, fetch)
                     + self.cases('update_plugin_list', 300, update))

    def test_database_fields(self):
        iv = 'IVIVIVIVIVIVIVIV'
        key = getattr(Velmora, '__get_db_sgin')()
        encrypt = getattr(Velmora, '__aes_encrypt')
        rng = self.rng('stored fields')
        stored = [encrypt(text(rng, 20).replace('\ud800', '').replace('\udfff', '') or 'x',
                          key, iv) for _ in range(20)]
        hosts = [{}, {}, {}, {'panel_path': RuntimeError('host down')},
                 {'panel_path': Hostile('host down')},
                 {'write_file_answer': lambda path, text: False},
                 {'random_answer': 'short'}, {'div_answer': lambda text: text + 'x'}]

        def field(name):
            def make(rng):
                roll = rng.random()
                if roll < 0.4:
                    data = '\n'.join(rng.choice(stored) for _ in range(rng.randint(0, 3)))
                elif roll < 0.85:
                    data = text(rng, 16)
                else:
                    data = odd(rng)
                state = rng.choice(['iv', 'iv', None, 'iv damaged'])
                return Case(name, (data,), host=rng.choice(hosts), state=state)
            return make
        self.compare(self.cases('db_encrypt', 800, field('db_encrypt'))
                     + self.cases('db_decrypt', 800, field('db_decrypt')))

    def test_key_material(self):
        hosts = [{}, {'write_file_answer': lambda path, text: False},
                 {'read_file_answer': OSError('unreadable')},
                 {'read_file_answer': lambda path: 'garbage'},
                 {'panel_path': Plain(self.panel)}, {'panel_path': FormatRaises()},
                 {'random_answer': lambda n: 'é' * n}, {'div_answer': lambda text: 42}]

        def iv(rng):
            return Case('__get_db_iv', host=rng.choice(hosts),
                        state=rng.choice(['iv', None, 'iv damaged']))
        self.compare(self.cases('__get_db_iv', 500, iv)
                     + self.cases('__get_db_sgin', 100, lambda rng: Case('__get_db_sgin')))

    def test_ciphers(self):
        keys = ['K' * 16, 'k' * 24, 'abcdefghijklmnopqrstuvwxyz012345', 'k' * 15, 'é' * 8,
                '中' * 6, 'K' * 17]
        ivs = ['I' * 16, 'I' * 15, 'é' * 8, 'I' * 17]
        encrypt = getattr(Velmora, '__aes_encrypt')
        rng = self.rng('cipher texts')
        made = [(encrypt(text(rng, 40).replace('\ud800', '').replace('\udfff', ''), k, v), k, v)
                for k in keys[:3] for v in ivs[:1] for _ in range(10)]

        def damaged(cipher, rng):
            return rng.choice([
                cipher[:-4], cipher + '\n', cipher.replace('+', '-').replace('/', '_'),
                ' '.join(cipher[i:i + 5] for i in range(0, len(cipher), 5)),
                cipher[:5] + text(rng, 3) + cipher[8:], 'A' * rng.choice([0, 20, 24, 44]), ''])

        def plain(rng, name):
            data = text(rng, 40) if rng.random() < 0.85 else odd(rng)
            key = rng.choice(keys) if rng.random() < 0.9 else odd(rng)
            iv = rng.choice(ivs) if rng.random() < 0.9 else odd(rng)
            if name.endswith('module'):
                return Case(name, (data,))
            return Case(name, (data, key, iv))

        def cipher(rng, name):
            cipher_text, key, iv = rng.choice(made)
            roll = rng.random()
            if roll < 0.3:
                data = damaged(cipher_text, rng)
            elif roll < 0.4:
                data = odd(rng)
            else:
                data = cipher_text
            if rng.random() < 0.2:
                key = rng.choice(keys)
            if name.endswith('module'):
                return Case(name, (data,))
            return Case(name, (data, key, iv))
        cases = []
        for name in ('__aes_encrypt', '__aes_encrypt_module'):
            cases += self.cases(name, 1500 if 'module' not in name else 500,
                                lambda rng, name=name: plain(rng, name))
        for name in ('__aes_decrypt', '__aes_decrypt_module'):
            cases += self.cases(name, 1500 if 'module' not in name else 500,
                                lambda rng, name=name: cipher(rng, name))
        self.compare(cases)

    def test_namespace_rebound(self):
        # The host rebinds module names on both alike.
        fake_sys = types.SimpleNamespace(path=[])
        fake_path = types.SimpleNamespace(exists=lambda p: True, isdir=lambda p: False)
        rebindings = [('os', types.SimpleNamespace(path=fake_path)), ('sys', fake_sys),
                      ('public', types.SimpleNamespace(returnMsg=lambda s, m: ('stand-in', m))),
                      ('path_check', lambda name: True), ('get_module_list', lambda: ['x']),
                      ('__aes_encrypt', lambda *a: a), ('json', None)]
        rng = self.rng('rebound')
        for _ in range(support.scaled(300)):
            name, value = rng.choice(rebindings)
            case = rng.choice([
                Case('plugin_run', (rng.choice(list(self.plugins.values()) + [text(rng, 5)]),
                                    'echo', Request())),
                Case('module_run', ('site', 'get_list', Request())),
                Case('db_encrypt', (text(rng, 5),), state='iv'),
                Case('get_plugin_list', (0,), state='cache')])
            outcomes = []
            for module in (Velmora, pure):
                saved = vars(module)[name]
                setattr(module, name, value)
                try:
                    outcomes.append(self.outcome(module, case))
                finally:
                    setattr(module, name, saved)
            if outcomes[0] != outcomes[1]:
                self.fail('%r with %s rebound: native %r, pure %r'
                          % (case, name, outcomes[0], outcomes[1]))


def plain_write(path, text):
    try:
        with open(path, 'w') as f:
            f.write(text)
    except (OSError, TypeError, ValueError):
        return False
    return True


if __name__ == '__main__':
    unittest.main()

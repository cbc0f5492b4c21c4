# Velmora in Python: the same 16 functions as the native extension module,
# with the same results, messages, exceptions and calls into the host's
# `public`, in the same order.  The panel imports it as `Velmora` where no
# native build exists for its interpreter; the tests run every behavioural
# suite against both, and a differential test feeds both the same inputs.
#
# It is written the way the native module behaves, which is not always the
# plainest Python: texts are taken by their characters where the native
# module reads characters (a str subclass cannot answer for itself there),
# names of the module's namespace are used at the moment of use, every
# argument error carries the native module's own message.  Where Python
# cannot do what the native module does (one interpreter per process, the
# "init Velmora" traceback entry, one level of recursion per call, how C
# code uses memory), README.md lists the difference.
#
# The fixed texts and rules are the module-level names that begin with one
# underscore, for the tools and tests that need a message or a rule: they
# take it from here instead of typing it again.  The module has no
# docstring, as the native one has none.

import builtins as __builtins__  # as the native module sets it
import sys as _sys
from _thread import get_ident as _thread_ident
from threading import local as _thread_local
from importlib.machinery import SourceFileLoader as _SourceFileLoader
from importlib.util import spec_from_file_location as _spec_from_file_location
from os import getpid as _getpid

# --- Fixed texts and rules ---------------------------------------------------

# Plugins.
_PLUGIN_ROOT = '/www/server/panel/plugin'
_ENTRY_SUFFIX = '_main'  # the entry module's and the entry class's name: <name>_main
_SOURCE_SUFFIX = '_main.py'
# Compiled plugins are shipped built for CPython 3.7; every interpreter looks
# for this one file name.
_LIBRARY_SUFFIX = '_main.cpython-37m-x86_64-linux-gnu.so'
_PLUGIN_LOAD_FAILED = '插件加载失败!'
_PLUGIN_SOURCE_FAILED = '加载 Python 插件模块失败: '
_PLUGIN_LIBRARY_FAILED = '加载 SO 插件模块失败: '
_PLUGIN_NO_OPERATION = '在[%s]插件中找不到[%s]方法'
_PLUGIN_WRONG_FILE = 'module %r was loaded from %r, not from %r'

# Panel modules.
_MODULE_EMPTY = '模块名称和模块方法名称不能为空!'
_MODULE_SPECIAL = '模块名或方法名不能包含特殊符号!'
_MODULE_MISSING = '模块[%s]不存在'
_MODULE_NOT_LOADED = '模块[%s]不存在!'
_MODULE_ENTRY_FAILED = '模块入口实例化失败'
_MODULE_NO_METHOD = '在[%s]模块中找不到[%s]方法'
_MODULE_FILE_CHOSEN = '{}/{}Model/{}Model.py'      # class folder, model_index, module
_MODULE_FILE_PROJECT = '{}/projectModel/{}Model.py'  # class folder, module
_MODULE_FILE_SEARCH = '{}/{}/{}Model.py'           # class folder, listed folder, module
# The listing rule: a folder whose name is longer than this, holds no
# _MODULE_DIR_REFUSED and holds _MODULE_DIR_MARK.
_MODULE_DIR_SHORTEST = 6
_MODULE_DIR_REFUSED = '.'
_MODULE_DIR_MARK = 'Model'
_LOADED_MODULE_NAME = 'module.name'
# What path_check refuses, in the order it asks.
_FORBIDDEN = (
    './', '..', ',', ';', ':', '?', "'", '"', '<', '>',
    '|', '\\', '\n', '\r', '\t', '\b', '\a', '\f', '\v', '*',
    '%', '&', '$', '#', '@', '!', '~', '`', '^', '(',
    ')', '+', '=', '{', '}', '[', ']',
)

# The catalogue.  A pure wheel carries the cloud root it was built with in
# place of this default (backend/velmora_build.py).
_CLOUD_ROOT = 'https://api.example.com'
_CATALOGUE_PATH = '/api/panel/getSoftList'
_CATALOGUE_CACHE = 'data/plugin_list.json'
_CATALOGUE_REFUSED = '云端插件列表获取失败'
_PRINTED_RESPONSE = 'HTTP GET Response:'
_PRINTED_WRITTEN = 'Data written to cache file successfully.'
_PRINTED_WRITE_FAILED = 'Error writing to cache file:'
_PRINTED_UPDATED = 'Updated plugin list:'

# The ciphers.  Texts already encrypted depend on these never changing.
_MODULE_KEY = 'Qm7TxR2vLp9KdW4s'
_MODULE_IV = 'Hn3YcB8uZe5JqA1f'
# The database key and the fallback IV are the characters at the even
# positions 0 to 30 of these.
_DB_KEY_SOURCE = '9fKq#2Lw!xP7@mZ4$vR8%tB3&nH6*yD1'
_FALLBACK_IV_SOURCE = 'hU3e%Wk8;Ra1^zM5~oY7?cF2+sJ9-gT4'
_IV_FILE = '/data/div.pl'  # under the panel root
_BLOCK = 16
_PADDING_INCORRECT = 'Padding is incorrect.'

# The exported functions in the order they are bound, each with a stand-in
# that has its parameters: inspect.signature() and help() show those
# (through __wrapped__), while the function itself takes *given and
# **keywords, so that its argument errors are the module's own.
_SIGNATURES = (
    ('get_plugin_list', lambda force=1: None),
    ('update_plugin_list', lambda: None),
    ('plugin_run', lambda plugin_name, def_name, args: None),
    ('load_so_plugin', lambda so_path: None),
    ('module_run', lambda mod_name, def_name, args: None),
    ('get_module_list', lambda: None),
    ('get_module', lambda filename: None),
    ('path_check', lambda path: None),
    ('db_encrypt', lambda data: None),
    ('db_decrypt', lambda data: None),
    ('__get_db_sgin', lambda: None),
    ('__get_db_iv', lambda: None),
    ('__aes_encrypt_module', lambda data: None),
    ('__aes_decrypt_module', lambda data: None),
    ('__aes_decrypt', lambda data, key, iv: None),
    ('__aes_encrypt', lambda data, key, iv: None),
)
_EXPORTED = tuple(name for name, _ in _SIGNATURES)
# get_module's docstring, indentation and all (CPython 3.13 strips a
# docstring's common indentation when it compiles one).
_GET_MODULE_DOC = ('\n'
                   '    @name 获取模块\n'
                   '    @param filename<string> 模块文件名\n'
                   '    @return module<object> 模块对象\n'
                   '    ')
_NO_DEFAULT = object()
_PARAMETERS = {
    name: (stand_in.__code__.co_varnames[:stand_in.__code__.co_argcount],
           stand_in.__defaults__[0] if stand_in.__defaults__ else _NO_DEFAULT)
    for name, stand_in in _SIGNATURES}

# Taken once, from this module's own built-ins, as the native module does.
_print = print

# --- Helpers -------------------------------------------------------------------


def _exported(function):
    """Gives an exported function the parameters, defaults and signature of
    its row in _SIGNATURES, and its docstring (get_module's only)."""
    stand_in = dict(_SIGNATURES)[function.__name__]
    function.__wrapped__ = stand_in
    function.__defaults__ = stand_in.__defaults__
    function.__doc__ = _GET_MODULE_DOC if function.__name__ == 'get_module' else None
    return function


def _arguments(name, given, keywords):
    """The arguments of a call of `name` in parameter order, or the
    TypeError that every exported function reports, in the same order of
    checks and with the same text on every interpreter."""
    parameters, default = _PARAMETERS[name]
    count = len(parameters)
    if not count:
        if keywords:
            raise TypeError('%.200s() takes no keyword arguments' % name)
        raise TypeError('%.200s() takes no arguments (%d given)' % (name, len(given)))
    if len(given) > count:
        raise _count_error(name, 'exactly' if default is _NO_DEFAULT else 'at most', len(given))
    # Positional arguments from the left, then keywords, then the default.
    bound = list(given)
    for index in range(len(given), count):
        for key, value in keywords.items():
            if _parameter_index(parameters, key) == index:
                bound.append(value)
                break
        else:
            if default is _NO_DEFAULT or index != count - 1:
                raise _count_error(name, 'exactly', index)
            bound.append(default)
    # Then each keyword in turn must have filled a parameter of its own.
    for key in keywords:
        index = _parameter_index(parameters, key)
        if not _is_text(key):
            raise TypeError('%.200s() keywords must be strings' % name)
        if index < 0:
            raise TypeError("%s() got an unexpected keyword argument '%s'" % (name, _exact(key)))
        if index < len(given):
            raise TypeError("%s() got multiple values for keyword argument '%s'"
                            % (name, _exact(key)))
    return bound


def _count_error(name, how, given):
    count = len(_PARAMETERS[name][0])
    return TypeError('%.200s() takes %s %d positional argument%s (%d given)'
                     % (name, how, count, '' if count == 1 else 's', given))


def _parameter_index(parameters, key):
    """The parameter a keyword names, by its characters, or -1."""
    if _is_text(key):
        for index, parameter in enumerate(parameters):
            if str.__eq__(key, parameter):
                return index
    return -1


def _is_text(value):
    """Whether value is a str or a str subclass, by its real type."""
    return issubclass(type(value), str)


def _exact(text):
    """The characters of a str (or str subclass) as an exact str: what the
    file system and the messages get, whatever a subclass answers."""
    return text if type(text) is str else str.__str__(text)


def _exact_text(value):
    """format(value, '') as an exact str: the text a path is built from."""
    return _exact(format(value, ''))


def _refuse(message, values):
    """public.returnMsg(False, message % values), the text made first."""
    text = message % values
    return public.returnMsg(False, text)


def _concat(*texts):
    """The texts joined by their characters (each must be a str)."""
    return ''.join(texts)


def _raise(error):
    """The raise statement, with the native module's words where CPython's
    own differ: an exception class is called first, and what it made must be
    an exception."""
    instance = error
    try:
        if issubclass(type(error), type) and issubclass(error, BaseException):
            instance = error()
            if not issubclass(type(instance), BaseException):
                raise TypeError('calling %r should have returned an instance of BaseException, '
                                'not %s' % (error, _type_name(instance)))
        raise instance
    finally:
        # The traceback keeps this frame: without this, the frame would
        # keep the exception it raised, a cycle only the collector frees.
        error = instance = None


def _type_name(value):
    """The name of value's type as CPython's own messages give it."""
    kind = type(value)
    if kind.__flags__ & (1 << 9) or kind.__module__ == 'builtins':  # a heap type
        return kind.__name__
    return '%s.%s' % (kind.__module__, kind.__name__)


def _leaves_plugin_root(name):
    """Whether a plugin name reaches outside its own folder under the
    plugin root: the root itself ('' or '.'), its parent ('..'), anything
    with a separator, a NUL that would cut the path short, or a character
    the file system cannot take (a lone surrogate, or one the file-system
    encoding lacks): in sys.path such a folder makes every later import of
    a module not loaded yet fail, in the whole process."""
    if name in ('', '.', '..') or '/' in name or '\0' in name:
        return True
    try:
        name.encode('utf-8')  # fails for a lone surrogate only
    except UnicodeEncodeError:
        return True
    try:
        name.encode(_sys.getfilesystemencoding(), _sys.getfilesystemencodeerrors())
    except UnicodeEncodeError:
        return True
    return False


def _same_file(found, expected):
    """os.path.samefile, where a failure to tell means "not the same"."""
    try:
        return os.path.samefile(found, expected)
    except (OSError, ValueError):
        return False


def _is_module_directory(class_path, fname):
    """The listing rule, tested in this order and stopping at the first
    test that fails; an exact str answers from its characters, anything
    else through its own len() and find()."""
    if not os.path.isdir(class_path + '/' + fname):
        return False
    if type(fname) is str:
        return (len(fname) > _MODULE_DIR_SHORTEST and _MODULE_DIR_REFUSED not in fname
                and _MODULE_DIR_MARK in fname)
    return (len(fname) > _MODULE_DIR_SHORTEST and fname.find(_MODULE_DIR_REFUSED) == -1
            and not fname.find(_MODULE_DIR_MARK) == -1)


def _pad(plain):
    """The bytes followed by n bytes of value n, n = 16 - len % 16: a text
    that fills whole blocks gets a whole block of padding."""
    if not issubclass(type(plain), bytes):
        raise TypeError("encode() returned '%.100s' instead of 'bytes'" % _type_name(plain))
    count = _BLOCK - bytes.__len__(plain) % _BLOCK
    return bytes.__add__(plain, bytes((count,)) * count)


def _unpad_and_decode(decrypted):
    """Strips the padding, checked in full, and decodes UTF-8: a wrong key
    or a damaged cipher text almost never leaves valid padding, so it fails
    here instead of coming back as an empty or cut text."""
    with memoryview(decrypted) as view:
        plain = view.tobytes()
    size = len(plain)
    count = plain[-1] if size else 0
    if not 1 <= count <= min(_BLOCK, size) or plain[size - count:] != bytes((count,)) * count:
        raise ValueError(_PADDING_INCORRECT)
    return plain[:size - count].decode('utf-8')


def _field(data, encrypting):
    """db_encrypt and db_decrypt: every non-empty line through the cipher,
    the results joined by line breaks.  An Exception on the way gives status
    False with the caller's own object as msg; interrupts and exit requests
    go on."""
    if _FIELD_NESTING is None:
        return _field_in(data, encrypting, True)
    nesting = getattr(_FIELD_NESTING, 'depth', 0)
    _FIELD_NESTING.depth = nesting + 1
    try:
        return _field_in(data, encrypting, nesting == 0)
    finally:
        _FIELD_NESTING.depth = nesting


def _field_in(data, encrypting, outermost):
    try:
        key = __get_db_sgin()
        iv = __get_db_iv()
        results = []
        for piece in data.split('\n'):
            if piece:
                # The cipher is looked up for every line, as it is used.
                cipher = __aes_encrypt if encrypting else __aes_decrypt
                results.append(cipher(piece, key, iv))
        text = '\n'.join(results)
    except Exception as error:
        if type(error) is RecursionError and not outermost:
            raise
        return {'status': False, 'msg': data}
    return {'status': True, 'msg': text}


# On 3.7 and 3.8 a thread that caught a RecursionError may run past the
# limit, by up to 50 levels, until it is back well below it; code that goes
# deeper before then (the host's calls, the cipher's first import) ends the
# whole process ("Cannot recover from stack overflow").  So a field request
# made inside another one, as a module function rebound into a loop makes
# them, passes a RecursionError on, and only the outermost answers, where
# the stack is the host's own.  Later interpreters recover at once.
_FIELD_NESTING = _thread_local() if _sys.version_info < (3, 9) else None


def _create_iv_file(iv_file, content):
    """Creates the IV file with `content` unless another process or thread
    got there first: written to a file of our own beside it, read back,
    and hard-linked into place, which fails if the IV file exists, so that
    the first creator's IV is never replaced while in use.  Where data/div.pl
    is a dangling symbolic link, the file is made at its target."""
    target = os.path.realpath(iv_file)
    if not _is_text(target):
        raise TypeError('os.path.realpath() returned %.200s, not str' % _type_name(target))
    temp = _concat(target, '.%d.%d.tmp' % (_getpid(), _thread_ident()))
    try:
        public.WriteFile(temp, content)
        if _reads_back(temp, content):
            try:
                os.link(temp, target)
            except OSError:
                pass
    except BaseException:
        # The temporary name goes in every case; this error is the one told.
        try:
            os.remove(temp)
        except BaseException:
            pass
        raise
    try:
        os.remove(temp)
    except OSError:
        pass


def _reads_back(path, content):
    """Whether the written file reads back as exactly what was written: a
    host whose WriteFile fails after creating the file leaves it short."""
    try:
        stored = public.ReadFile(path)
    except OSError:
        return False
    if _is_text(stored) and _is_text(content):
        return str.__eq__(stored, content)
    return bool(stored == content)


class _Initialised(_SourceFileLoader):
    """Once the module is initialised, it answers every later import of it
    (after it left sys.modules) and every reload with the same module
    object, and runs nothing again: the module initialises once per
    process.  It sits in sys.meta_path for the life of the process."""

    def __init__(self, module):
        super().__init__(module.__spec__.name, module.__spec__.origin)
        self.module = module

    def find_spec(self, fullname, path=None, target=None):
        # Asked about every import in the process: nothing but this test
        # runs for the others.
        if fullname != self.name:
            return None
        return _spec_from_file_location(fullname, self.path, loader=self)

    def create_module(self, spec):
        return self.module

    def exec_module(self, module):
        pass


def _keep(namespace):
    """Keeps the initialised module for the life of the process, when it was
    imported as a module (not run as a program)."""
    module = _sys.modules.get(namespace['__name__'])
    if (module is not None and vars(module) is namespace and module.__spec__ is not None
            and module.__name__ != '__main__'):
        _sys.meta_path.insert(0, _Initialised(module))


# --- The module's statements ----------------------------------------------------

import public, os, sys, json  # noqa: E401,E402
import importlib  # noqa: E402
import importlib.util  # noqa: E402
import ctypes  # noqa: E402


@_exported
def get_plugin_list(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('get_plugin_list', given, keywords)
    force, = given
    api_root_url = _CLOUD_ROOT
    api_url = api_root_url + _CATALOGUE_PATH
    cache_file = _CATALOGUE_CACHE
    if force == 0:
        if os.path.exists(cache_file):
            content = public.readFile(cache_file)
            return json.loads(content)
    try:
        jsonData = public.HttpGet(api_url)
        _print(_PRINTED_RESPONSE, jsonData)
    except Exception as ex:
        message = str(ex)
        _raise(public.error_conn_cloud(message))
    softList = json.loads(jsonData)
    if type(softList) is not dict or 'list' not in softList:
        if type(softList) is str:
            raise Exception(softList)
        raise Exception(_CATALOGUE_REFUSED)
    try:
        public.writeFile(cache_file, jsonData)
        _print(_PRINTED_WRITTEN)
    except Exception as write_ex:
        _print(_PRINTED_WRITE_FAILED, str(write_ex))
    return softList


@_exported
def update_plugin_list(*given, **keywords):
    if keywords or given:
        _arguments('update_plugin_list', given, keywords)
    plugin_list = get_plugin_list(force=1)
    _print(_PRINTED_UPDATED, plugin_list)
    return plugin_list


# The catalogue is refreshed before the remaining functions exist; if it
# raises, the import fails and the next import starts again.
update_plugin_list()


@_exported
def plugin_run(*given, **keywords):
    if keywords or len(given) != 3:
        given = _arguments('plugin_run', given, keywords)
    plugin_name, def_name, args = given
    name = _exact_text(plugin_name)
    # Refused before the search path or the file system is touched.
    if _leaves_plugin_root(name):
        return public.returnMsg(False, _PLUGIN_LOAD_FAILED)
    sys_path = _concat(_PLUGIN_ROOT, '/', name)
    plugin_main_file = _concat(sys_path, '/', name, _SOURCE_SUFFIX)
    plugin_so_file = _concat(sys_path, '/', name, _LIBRARY_SUFFIX)
    # Membership first, so that later calls cost no stat; a folder that does
    # not exist is never added.
    search_path = sys.path
    if sys_path not in search_path and os.path.isdir(sys_path):
        search_path.insert(0, sys_path)

    plugin_obj = None
    if os.path.exists(plugin_main_file):
        # The source entry wins whenever it exists, also when it fails.
        module_name = _concat(name, _ENTRY_SUFFIX)
        try:
            plugin_main = importlib.import_module(module_name)
            # Runs the edited file in place: the first call in a process runs
            # the top-level code twice.
            importlib.reload(plugin_main)
            found = getattr(plugin_main, '__file__', None)
            if not (_is_text(found) and (found == plugin_main_file
                                         or _same_file(found, plugin_main_file))):
                raise ImportError(_PLUGIN_WRONG_FILE % (module_name, found, plugin_main_file))
            plugin_obj = getattr(plugin_main, module_name)()
        except Exception as e:
            message = _concat(_PLUGIN_SOURCE_FAILED, str(e))
            return public.returnMsg(False, message)
    elif os.path.exists(plugin_so_file):
        try:
            plugin_obj = load_so_plugin(plugin_so_file)
        except Exception as e:
            message = _concat(_PLUGIN_LIBRARY_FAILED, str(e))
            return public.returnMsg(False, message)
    # No entry file, or an entry class that answered None.
    if plugin_obj is None:
        return public.returnMsg(False, _PLUGIN_LOAD_FAILED)

    if not _is_text(def_name):
        raise TypeError('hasattr(): attribute name must be string')
    try:
        getattr(plugin_obj, def_name)
        present = True
    except BaseException:  # any failure to fetch it means there is none, and is dropped
        present = False
    if not present:
        message = _PLUGIN_NO_OPERATION % (name, _exact_text(def_name))
        return public.returnMsg(False, message)
    fetch_only = 'plugin_get_object' in args and args.plugin_get_object == 1
    # Fetched by name and called: the caller's name never becomes code.
    operation = getattr(plugin_obj, def_name)
    if fetch_only:
        return operation
    return operation(args)


@_exported
def load_so_plugin(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('load_so_plugin', given, keywords)
    so_path, = given
    import ctypes
    so_plugin = ctypes.CDLL(so_path)
    return so_plugin


@_exported
def module_run(*given, **keywords):
    if keywords or len(given) != 3:
        given = _arguments('module_run', given, keywords)
    mod_name, def_name, args = given
    if not mod_name or not def_name:
        return public.returnMsg(False, _MODULE_EMPTY)
    # The module name as it goes into every path of this call.  For anything
    # but an exact str, the object's own answer to path_check says nothing
    # about its text (a list passes whatever it holds), so that text, taken
    # once, has to pass as well.
    path_name = mod_name
    clean = bool(path_check(mod_name))
    if clean and type(mod_name) is not str:
        path_name = _exact_text(mod_name)
        clean = bool(path_check(path_name))
    if clean:
        clean = bool(path_check(def_name))
    if not clean:
        return public.returnMsg(False, _MODULE_SPECIAL)

    if 'model_index' in args:
        model_index = args.model_index
        if model_index:
            # Its text goes into the path of a file that is then run, so it
            # must pass the same check: "../" would run code from anywhere.
            directory = _exact_text(model_index)
            if not path_check(directory):
                return public.returnMsg(False, _MODULE_SPECIAL)
            mod_file = _MODULE_FILE_CHOSEN.format(public.get_class_path(), directory, path_name)
        else:
            mod_file = _MODULE_FILE_PROJECT.format(public.get_class_path(), path_name)
    else:
        # The first listed folder that has the file; else the last tried.
        mod_file = None
        for module_dir in get_module_list():
            mod_file = _MODULE_FILE_SEARCH.format(public.get_class_path(), module_dir, path_name)
            if os.path.exists(mod_file):
                break
        if mod_file is None:
            return _refuse(_MODULE_MISSING, mod_name)

    if not os.path.exists(mod_file):
        return _refuse(_MODULE_MISSING, mod_name)
    def_object = public.get_script_object(mod_file)
    if not def_object:
        return _refuse(_MODULE_NOT_LOADED, mod_name)
    try:
        run_object = getattr(def_object.main(), def_name, None)
    except BaseException:  # whatever it was, the entry could not be made
        return public.returnMsg(False, _MODULE_ENTRY_FAILED)
    if not run_object:
        return _refuse(_MODULE_NO_METHOD, (mod_name, def_name))
    if 'module_get_object' in args and args.module_get_object == 1:
        return run_object
    # Outside the guard: whatever the method raises reaches the caller.
    return run_object(args)


@_exported
def get_module_list(*given, **keywords):
    if keywords or given:
        _arguments('get_module_list', given, keywords)
    list = []
    class_path = public.get_class_path()
    f_list = os.listdir(class_path)
    for fname in f_list:
        if _is_module_directory(class_path, fname):
            list.append(fname)
    return list


@_exported
def get_module(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('get_module', given, keywords)
    filename, = given
    import importlib.util
    util = importlib.util
    spec = util.spec_from_file_location(_LOADED_MODULE_NAME, filename)
    # No loader knows the file name: spec is None, and this fails.
    module = util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@_exported
def path_check(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('path_check', given, keywords)
    path, = given
    # `in` asks anything but an exact str itself, entry by entry, in order.
    for entry in _FORBIDDEN:
        if entry in path:
            return False
    return True


@_exported
def db_encrypt(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('db_encrypt', given, keywords)
    data, = given
    return _field(data, True)


@_exported
def db_decrypt(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('db_decrypt', given, keywords)
    data, = given
    return _field(data, False)


@_exported
def __get_db_sgin(*given, **keywords):
    if keywords or given:
        _arguments('__get_db_sgin', given, keywords)
    return _DB_KEY_SOURCE[0:31:2]


@_exported
def __get_db_iv(*given, **keywords):
    if keywords or given:
        _arguments('__get_db_iv', given, keywords)
    div_file = _concat(_exact_text(public.get_panel_path()), _IV_FILE)
    if not os.path.exists(div_file):
        random = public.GetRandomString(16)
        encrypted = __aes_encrypt_module(random)
        content = public.get_div(encrypted)
        _create_iv_file(div_file, content)
    # Whoever created the file, what it holds now is the IV.
    if os.path.exists(div_file):
        stored = public.ReadFile(div_file)
        return __aes_decrypt_module(stored)
    return _FALLBACK_IV_SOURCE[0:31:2]


@_exported
def __aes_encrypt_module(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('__aes_encrypt_module', given, keywords)
    data, = given
    return __aes_encrypt(data, _MODULE_KEY, _MODULE_IV)


@_exported
def __aes_decrypt_module(*given, **keywords):
    if keywords or len(given) != 1:
        given = _arguments('__aes_decrypt_module', given, keywords)
    data, = given
    return __aes_decrypt(data, _MODULE_KEY, _MODULE_IV)


@_exported
def __aes_decrypt(*given, **keywords):
    if keywords or len(given) != 3:
        given = _arguments('__aes_decrypt', given, keywords)
    data, key, iv = given
    from Crypto.Cipher import AES
    import base64
    # Decoded before the key and IV are looked at.
    encodebytes = base64.decodebytes(data.encode('utf-8'))
    aes = AES.new(key.encode('utf-8'), AES.MODE_CBC, iv.encode('utf-8'))
    de_text = aes.decrypt(encodebytes)
    return _unpad_and_decode(de_text)


@_exported
def __aes_encrypt(*given, **keywords):
    if keywords or len(given) != 3:
        given = _arguments('__aes_encrypt', given, keywords)
    data, key, iv = given
    from Crypto.Cipher import AES
    import base64
    # Encoded and padded before the key and IV are looked at; a new cipher
    # object per call, so that every call starts from the IV.
    data = _pad(data.encode('utf-8'))
    aes = AES.new(key.encode('utf-8'), AES.MODE_CBC, iv.encode('utf-8'))
    encryptedbytes = aes.encrypt(data)
    en_text = base64.b64encode(encryptedbytes)
    return en_text.decode('utf-8')


_keep(globals())

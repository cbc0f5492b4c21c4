"""The host's `public` module as the tests see it: the working stand-in host
of devhost/public.py, with every call recorded and every answer steerable.

Every call is recorded in `calls` as (name, args), a plain list that a test
may clear with `del calls[:]`.  Each function's answer can be steered through
the module attributes that `reset()` sets: an attribute that holds an
exception instance makes the call raise it, one that holds a callable is
called with the call's arguments instead, and None lets the working host
answer.  Any other value is the answer itself.
"""
import importlib.util
import os


def _load_working_host():
    # Under a name of its own: this module is the one importable as `public`.
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                        os.pardir, os.pardir, 'devhost', 'public.py')
    spec = importlib.util.spec_from_file_location('velmora_working_public',
                                                  os.path.normpath(path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


host = _load_working_host()
CloudError = host.CloudError

DEFAULT_CATALOGUE = '{"list": [{"name": "demo", "title": "Demo"}], "type": 0}'

calls = []


def reset():
    global http_answer, write_cache_answer, class_path, panel_path, \
        script_object_answer, random_answer, div_answer, \
        write_file_answer, read_file_answer, read_cache_answer
    del calls[:]
    http_answer = DEFAULT_CATALOGUE  # None: the working host's request
    read_cache_answer = None
    write_cache_answer = None
    class_path = os.environ.get('VELMORA_TEST_CLASS_PATH', '/www/server/panel/class')
    panel_path = os.environ.get('VELMORA_TEST_PANEL_PATH', '/www/server/panel')
    script_object_answer = None
    random_answer = None
    div_answer = None
    write_file_answer = None
    read_file_answer = None


reset()


def calls_of(name):
    return [args for (n, args) in calls if n == name]


def _call(name, answer, *args):
    calls.append((name, args))
    if answer is None:
        return getattr(host, name)(*args)
    if isinstance(answer, BaseException):
        raise answer
    if callable(answer):
        return answer(*args)
    return answer


def returnMsg(status, msg):
    return _call('returnMsg', None, status, msg)


def get_class_path():
    return _call('get_class_path', class_path)


def get_panel_path():
    return _call('get_panel_path', panel_path)


def get_script_object(filename):
    return _call('get_script_object', script_object_answer, filename)


def HttpGet(url):
    return _call('HttpGet', http_answer, url)


def error_conn_cloud(text):
    return _call('error_conn_cloud', None, text)


def readFile(filename):
    return _call('readFile', read_cache_answer, filename)


def writeFile(filename, content):
    return _call('writeFile', write_cache_answer, filename, content)


def GetRandomString(length):
    return _call('GetRandomString', random_answer, length)


def get_div(text):
    return _call('get_div', div_answer, text)


def WriteFile(filename, content):
    return _call('WriteFile', write_file_answer, filename, content)


def ReadFile(filename):
    return _call('ReadFile', read_file_answer, filename)

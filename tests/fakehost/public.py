"""A controllable stand-in for the host's `public` module, for the tests.

Every call is recorded in `calls` as (name, args).  Each function's answer can
be steered through the module attributes below; `reset()` restores them.
An attribute that holds an exception instance makes the call raise it; one
that holds a callable is called with the arguments instead.
"""
import importlib.util
import os
import secrets
import string

DEFAULT_CATALOGUE = '{"list": [{"name": "demo", "title": "Demo"}], "type": 0}'


class CloudError(Exception):
    """What error_conn_cloud returns: carries the request error's text."""


calls = []


def reset():
    global http_answer, write_cache_answer, class_path, panel_path, \
        script_object_answer, random_answer, div_answer, \
        write_file_answer, read_file_answer, read_cache_answer
    del calls[:]
    http_answer = DEFAULT_CATALOGUE
    read_cache_answer = None      # None: really read the file
    write_cache_answer = None     # None: really write the file
    class_path = os.environ.get('VELMORA_TEST_CLASS_PATH', '/www/server/panel/class')
    panel_path = os.environ.get('VELMORA_TEST_PANEL_PATH', '/www/server/panel')
    script_object_answer = None   # None: really load the file
    random_answer = None          # None: really random
    div_answer = None             # None: return the argument
    write_file_answer = None      # None: really write
    read_file_answer = None       # None: really read


reset()


def _steer(answer, *args):
    if isinstance(answer, BaseException):
        raise answer
    if callable(answer):
        return answer(*args)
    return answer


def calls_of(name):
    return [args for (n, args) in calls if n == name]


def returnMsg(status, msg):
    calls.append(('returnMsg', (status, msg)))
    return {'status': status, 'msg': msg}


def get_class_path():
    calls.append(('get_class_path', ()))
    return _steer(class_path)


def get_script_object(filename):
    calls.append(('get_script_object', (filename,)))
    if script_object_answer is not None:
        return _steer(script_object_answer, filename)
    try:
        spec = importlib.util.spec_from_file_location('panel_module', filename)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
    except Exception:
        return None


def HttpGet(url):
    calls.append(('HttpGet', (url,)))
    return _steer(http_answer, url)


def error_conn_cloud(text):
    calls.append(('error_conn_cloud', (text,)))
    return CloudError(text)


def readFile(filename):
    calls.append(('readFile', (filename,)))
    if read_cache_answer is not None:
        return _steer(read_cache_answer, filename)
    with open(filename, encoding='utf-8') as f:
        return f.read()


def writeFile(filename, content):
    calls.append(('writeFile', (filename, content)))
    if write_cache_answer is not None:
        return _steer(write_cache_answer, filename, content)
    with open(filename, 'w', encoding='utf-8') as f:
        f.write(content)
    return True


def get_panel_path():
    calls.append(('get_panel_path', ()))
    return _steer(panel_path)


def GetRandomString(length):
    calls.append(('GetRandomString', (length,)))
    if random_answer is not None:
        return _steer(random_answer, length)
    alphabet = string.ascii_letters + string.digits
    return ''.join(secrets.choice(alphabet) for _ in range(length))


def get_div(text):
    calls.append(('get_div', (text,)))
    if div_answer is not None:
        return _steer(div_answer, text)
    return text


def WriteFile(filename, content):
    calls.append(('WriteFile', (filename, content)))
    if write_file_answer is not None:
        return _steer(write_file_answer, filename, content)
    try:
        with open(filename, 'w', encoding='utf-8') as f:
            f.write(content)
        return True
    except OSError:
        return False


def ReadFile(filename):
    calls.append(('ReadFile', (filename,)))
    if read_file_answer is not None:
        return _steer(read_file_answer, filename)
    with open(filename, encoding='utf-8') as f:
        return f.read()

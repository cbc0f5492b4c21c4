"""The host module `public` as the benchmarks see it: the functions the
module calls, each doing what a panel's would (real file reads and writes,
a module loader that caches by path), with nothing recorded, so that the
figures show the module's own cost and not a test double's.

Steered through module attributes: class_path, panel_path, http_answer,
http_error (an exception instance to raise instead of answering).
"""
import importlib.util
import random
import string

class_path = '/www/server/panel/class'
panel_path = '/www/server/panel'
http_answer = '{"list": [], "type": 0}'
http_error = None

_scripts = {}


class CloudError(Exception):
    pass


def returnMsg(status, msg):
    return {'status': status, 'msg': msg}


def get_class_path():
    return class_path


def get_panel_path():
    return panel_path


def get_script_object(filename):
    module = _scripts.get(filename)
    if module is None:
        spec = importlib.util.spec_from_file_location('panel_module', filename)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        _scripts[filename] = module
    return module


def HttpGet(url):
    if http_error is not None:
        raise http_error
    return http_answer


def error_conn_cloud(text):
    return CloudError(text)


def readFile(filename):
    with open(filename, encoding='utf-8') as f:
        return f.read()


def writeFile(filename, content):
    with open(filename, 'w', encoding='utf-8') as f:
        f.write(content)
    return True


ReadFile = readFile


def WriteFile(filename, content):
    try:
        return writeFile(filename, content)
    except OSError:
        return False


def GetRandomString(length):
    alphabet = string.ascii_letters + string.digits
    return ''.join(random.choice(alphabet) for _ in range(length))


def get_div(text):
    return text

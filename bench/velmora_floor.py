"""The floor each exported function is measured against: the calls its
behaviour requires, written inline in plain Python, in a module
namespace of their own (so `public`, `os` and the rest are module globals
looked up at the moment of use, as in Velmora).

Where a function calls another of the module's functions (path_check,
get_module_list, load_so_plugin, get_plugin_list, the ciphers and key
routines), the floor calls Velmora's own, by name, as Velmora does: a row
then compares the function's own work and nothing else.

The floors follow the module's current behaviour wherever it is observable
(field results with status False and the input on failure, lines joined by
newlines, padding checked on decryption): a floor that did less than the
module must would not be a floor.
"""
import os
import sys
import json
import importlib
import importlib.util
import ctypes

import public
import Velmora

API_ROOT_URL = 'https://api.example.com'
DB_KEY_SOURCE = '9fKq#2Lw!xP7@mZ4$vR8%tB3&nH6*yD1'
FALLBACK_IV_SOURCE = 'hU3e%Wk8;Ra1^zM5~oY7?cF2+sJ9-gT4'
FORBIDDEN = ['./', '..', ',', ';', ':', '?', "'", '"', '<', '>', '|', '\\',
             '\n', '\r', '\t', '\b', '\a', '\f', '\v', '*', '%', '&', '$', '#',
             '@', '!', '~', '`', '^', '(', ')', '+', '=', '{', '}', '[', ']']

# The module's functions that the floors call, bound here by name as the
# module binds them in its own namespace.
for _name in ('get_plugin_list', 'load_so_plugin', 'path_check', 'get_module_list',
              '__get_db_sgin', '__get_db_iv', '__aes_encrypt', '__aes_decrypt',
              '__aes_encrypt_module', '__aes_decrypt_module'):
    globals()[_name] = getattr(Velmora, _name)
del _name


def floor_get_plugin_list(force=1):
    api_root_url = API_ROOT_URL
    api_url = api_root_url + '/api/panel/getSoftList'
    cache_file = 'data/plugin_list.json'
    if force == 0:
        if os.path.exists(cache_file):
            jsonData = public.readFile(cache_file)
            return json.loads(jsonData)
    try:
        jsonData = public.HttpGet(api_url)
        print('HTTP GET Response:', jsonData)
    except Exception as ex:
        raise public.error_conn_cloud(str(ex))
    softList = json.loads(jsonData)
    if type(softList) is not dict or 'list' not in softList:
        if type(softList) is str:
            raise Exception(softList)
        raise Exception('云端插件列表获取失败')
    try:
        public.writeFile(cache_file, jsonData)
        print('Data written to cache file successfully.')
    except Exception as write_ex:
        print('Error writing to cache file:', str(write_ex))
    return softList


def floor_update_plugin_list():
    plugin_list = get_plugin_list(force=1)
    print('Updated plugin list:', plugin_list)
    return plugin_list


def floor_plugin_run(plugin_name, def_name, args):
    plugin_obj = None
    plugin_path = '/www/server/panel/plugin'
    sys_path = f'{plugin_path}/{plugin_name}'
    plugin_main_file = f'{sys_path}/{plugin_name}_main.py'
    plugin_so_file = f'{sys_path}/{plugin_name}_main.cpython-37m-x86_64-linux-gnu.so'
    try:
        os.fsencode(plugin_name)
    except UnicodeEncodeError:
        return public.returnMsg(False, '插件加载失败!')
    if sys_path not in sys.path and os.path.isdir(sys_path):
        sys.path.insert(0, sys_path)
    if os.path.exists(plugin_main_file):
        try:
            plugin_main = importlib.import_module(f'{plugin_name}_main')
            importlib.reload(plugin_main)
            found = getattr(plugin_main, '__file__', None)
            if not (isinstance(found, str) and (found == plugin_main_file
                                                or os.path.samefile(found, plugin_main_file))):
                raise ImportError('module %r was loaded from %r, not from %r'
                                  % (f'{plugin_name}_main', found, plugin_main_file))
            plugin_obj = getattr(plugin_main, f'{plugin_name}_main')()
        except Exception as e:
            return public.returnMsg(False, '加载 Python 插件模块失败: ' + str(e))
    elif os.path.exists(plugin_so_file):
        try:
            plugin_obj = load_so_plugin(plugin_so_file)
        except Exception as e:
            return public.returnMsg(False, '加载 SO 插件模块失败: ' + str(e))
    if plugin_obj is None:
        return public.returnMsg(False, '插件加载失败!')
    if not hasattr(plugin_obj, def_name):
        return public.returnMsg(False, f'在[{plugin_name}]插件中找不到[{def_name}]方法')
    if 'plugin_get_object' in args and args.plugin_get_object == 1:
        return getattr(plugin_obj, def_name)
    return eval(f'plugin_obj.{def_name}(args)', globals(), locals())


def floor_load_so_plugin(so_path):
    import ctypes
    so_plugin = ctypes.CDLL(so_path)
    return so_plugin


def floor_module_run(mod_name, def_name, args):
    if not mod_name or not def_name:
        return public.returnMsg(False, '模块名称和模块方法名称不能为空!')
    if not path_check(mod_name) or not path_check(def_name):
        return public.returnMsg(False, '模块名或方法名不能包含特殊符号!')
    mod_file = None
    if 'model_index' in args:
        if args.model_index:
            mod_file = '{}/{}Model/{}Model.py'.format(
                public.get_class_path(), args.model_index, mod_name)
        else:
            mod_file = '{}/projectModel/{}Model.py'.format(public.get_class_path(), mod_name)
    else:
        module_list = get_module_list()
        for module_dir in module_list:
            mod_file = '{}/{}/{}Model.py'.format(public.get_class_path(), module_dir, mod_name)
            if os.path.exists(mod_file):
                break
    if mod_file is None or not os.path.exists(mod_file):
        return public.returnMsg(False, '模块[%s]不存在' % mod_name)
    def_object = public.get_script_object(mod_file)
    if not def_object:
        return public.returnMsg(False, '模块[%s]不存在!' % mod_name)
    try:
        run_object = getattr(def_object.main(), def_name, None)
    except BaseException:
        return public.returnMsg(False, '模块入口实例化失败')
    if not run_object:
        return public.returnMsg(False, '在[%s]模块中找不到[%s]方法' % (mod_name, def_name))
    if 'module_get_object' in args and args.module_get_object == 1:
        return run_object
    return run_object(args)


def floor_get_module_list():
    list = []
    class_path = public.get_class_path()
    f_list = os.listdir(class_path)
    for fname in f_list:
        f_path = class_path + '/' + fname
        if (os.path.isdir(f_path) and len(fname) > 6 and fname.find('.') == -1
                and fname.find('Model') != -1):
            list.append(fname)
    return list


def floor_get_module(filename):
    import importlib.util
    spec = importlib.util.spec_from_file_location('module.name', filename)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def floor_path_check(path):
    list = FORBIDDEN
    for i in list:
        if i in path:
            return False
    return True


def _floor_field(data, operation):
    try:
        key = __get_db_sgin()
        iv = __get_db_iv()
        res = []
        for piece in data.split('\n'):
            if piece:
                res.append(operation(piece, key, iv))
        return {'status': True, 'msg': '\n'.join(res)}
    except Exception:
        return {'status': False, 'msg': data}


def floor_db_encrypt(data):
    return _floor_field(data, __aes_encrypt)


def floor_db_decrypt(data):
    return _floor_field(data, __aes_decrypt)


def floor_get_db_sgin():
    keystr = DB_KEY_SOURCE
    key = ''
    for i in range(31):
        if i % 2 == 0:
            key += keystr[i]
    return key


def floor_get_db_iv():
    div_file = '{}/data/div.pl'.format(public.get_panel_path())
    if not os.path.exists(div_file):
        str = public.GetRandomString(16)
        str = __aes_encrypt_module(str)
        div = public.get_div(str)
        public.WriteFile(div_file, div)
    if os.path.exists(div_file):
        div = public.ReadFile(div_file)
        div = __aes_decrypt_module(div)
    else:
        keystr = FALLBACK_IV_SOURCE
        div = ''
        for i in range(31):
            if i % 2 == 0:
                div += keystr[i]
    return div


def floor_aes_encrypt_module(data):
    key = 'Qm7TxR2vLp9KdW4s'
    iv = 'Hn3YcB8uZe5JqA1f'
    return __aes_encrypt(data, key, iv)


def floor_aes_decrypt_module(data):
    key = 'Qm7TxR2vLp9KdW4s'
    iv = 'Hn3YcB8uZe5JqA1f'
    return __aes_decrypt(data, key, iv)


def floor_aes_encrypt(data, key, iv):
    from Crypto.Cipher import AES
    import base64
    plain = data.encode('utf-8')
    n = 16 - len(plain) % 16
    aes = AES.new(key.encode('utf-8'), AES.MODE_CBC, iv.encode('utf-8'))
    encryptedbytes = aes.encrypt(plain + bytes((n,)) * n)
    en_text = base64.b64encode(encryptedbytes)
    return en_text.decode('utf-8')


def floor_aes_decrypt(data, key, iv):
    from Crypto.Cipher import AES
    import base64
    encodebytes = base64.decodebytes(data.encode('utf-8'))
    aes = AES.new(key.encode('utf-8'), AES.MODE_CBC, iv.encode('utf-8'))
    de_text = aes.decrypt(encodebytes)
    n = de_text[-1]
    if not 1 <= n <= 16 or de_text[-n:] != bytes((n,)) * n:
        raise ValueError('Padding is incorrect.')
    return de_text[:-n].decode('utf-8')

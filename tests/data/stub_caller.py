"""A panel-style caller of Velmora, for the type check of Velmora.pyi.

The lines marked "mistake" are wrong on purpose; the type checker must
report exactly those and accept everything else.  It is never run.
"""
from typing import Any, Dict, List

import Velmora


class Request:
    """A request-argument object as the host makes it."""

    def __init__(self) -> None:
        self.plugin_get_object = 0

    def __contains__(self, key: object) -> bool:
        return hasattr(self, str(key))


catalogue = Velmora.get_plugin_list()
cached = Velmora.get_plugin_list(force=0)
answer = Velmora.plugin_run('demo', 'run', Request())
answer = Velmora.module_run(mod_name='site', def_name='get_list', args={'model_index': 'panel'})
library = Velmora.load_so_plugin('/www/server/panel/plugin/demo/demo_main.so')
print(library.get_version)
names: List[str] = Velmora.get_module_list()
module_name: str = Velmora.get_module(filename='/tmp/x.py').__name__
passed: bool = Velmora.path_check('site')
field: Dict[str, Any] = Velmora.db_encrypt(data='secret')
key = Velmora.__get_db_sgin()
iv = Velmora.__get_db_iv()
plain: str = Velmora.__aes_decrypt(Velmora.__aes_encrypt('text', key, iv), key=key, iv=iv)
plain = Velmora.__aes_decrypt_module(Velmora.__aes_encrypt_module(data=plain))

Velmora.plugin_run('demo', 'run')  # mistake: args missing
Velmora.module_run('site', 'get_list', 42)  # mistake: an int has no membership test
Velmora.path_check(path=1)  # mistake: a name is a str
Velmora.db_decrypt(text='x')  # mistake: the keyword is data
Velmora.update_plugin_list(1)  # mistake: takes no arguments
count: int = Velmora.__aes_encrypt_module('x')  # mistake: a cipher text is a str
Velmora.get_module_list().append(3)  # mistake: a list of str
Velmora.plugin_runner('demo', 'run', Request())  # mistake: no such function

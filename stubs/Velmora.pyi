# Type information for the Velmora extension module, for editors and type
# checkers.  Parameter names and defaults are exactly those the built module
# reports through inspect.signature (a test keeps the two equal); every
# parameter may be given by position or by keyword.  Written for Python 3.7
# and later.
#
# Every docstring below says what each parameter is, what comes back on
# success, which failures come back as a result and with what message, and
# which exceptions pass through.  "returnMsg(False, m)" stands for whatever
# the host's public.returnMsg makes of it, returned unchanged.  Common to
# all functions: a wrong number or wrong names of arguments raise TypeError
# before anything else runs, and every host function, module or other
# Velmora function used is looked up on the module at each call, so a
# replacement the host assigns there is used at once.
import ctypes
import types
from typing import Any, Dict, List

from typing_extensions import Protocol


class _RequestArgs(Protocol):
    """The host's request-argument object.  The runners only test it for a
    key with `in` and then read the attribute of that name; it is otherwise
    passed through.  Operations and methods read its keys as attributes
    (`args.name`), so a plain dict will not do (the stand-in host's
    public.Request is one)."""

    def __contains__(self, key: str) -> bool: ...


# Plugin catalogue.  The result is the decoded catalogue as the cloud (or
# the cache file) gave it.  `force` is only compared with 0: any value equal
# to 0 reads the cache file when there is one.
def get_plugin_list(force: object = 1) -> Any:
    """The plugin catalogue, from the cache file or from the cloud.

    force: compared with 0 only.  Equal to 0 (0, False, 0.0) and the cache
      file data/plugin_list.json (relative to the current folder) exists:
      the file is read and decoded, and the cloud is not asked.  Anything
      else, the default 1 included: the cloud is asked.

    Returns: the decoded catalogue.  From the cloud it is a dict with the
      key "list"; it is returned after printing "HTTP GET Response:" with
      the raw answer, and its raw text is written to the cache file, which
      prints "Data written to cache file successfully." (or "Error writing
      to cache file:" and the error, after which the catalogue is still
      returned).  From the cache, whatever the file decodes to.

    Raises: the exception public.error_conn_cloud(str(e)) makes when
      public.HttpGet raised e (the cloud is unreachable); json's error for
      an answer or cache file that is not JSON; Exception with the text
      itself when the cloud answers with a JSON string; Exception
      "云端插件列表获取失败" for any other answer that is not a dict with
      "list"; the error of reading the cache file.  The cache file is left
      as it was whenever the cloud's answer is refused.
    """
def update_plugin_list() -> Any:
    """Refreshes the catalogue from the cloud: get_plugin_list(force=1),
    then prints "Updated plugin list:" and the catalogue.  It also runs once
    at the first import of the module in a process.

    Returns: the catalogue get_plugin_list returned.

    Raises: whatever get_plugin_list raises; nothing is printed then.
    """

# Plugins.  The result is the operation's own value, the operation itself
# when asked for, or the host's result dictionary for a failure.
def plugin_run(plugin_name: str, def_name: str, args: _RequestArgs) -> Any:
    """Runs operation `def_name` of the plugin installed in
    /www/server/panel/plugin/<plugin_name>.

    plugin_name: the plugin's folder name.  Its entry file is
      <plugin_name>_main.py (loaded afresh on every call: import, then
      reload), or else <plugin_name>_main.cpython-37m-x86_64-linux-gnu.so
      (the same file name under every interpreter).  The folder goes to the
      front of sys.path once, if it exists as a folder, and stays there.
    def_name: the name of a method of the plugin object, which for a source
      entry is <plugin_name>_main(), the class of that name called with no
      arguments; for a compiled entry, the library's exported symbol.
    args: the request-argument object, passed to the operation.  When it
      holds plugin_get_object and args.plugin_get_object == 1, the
      operation is returned instead of called.

    Returns: the operation's result, unchanged (None included), or the
      operation itself when asked for.

    Failures, returned as returnMsg(False, m) with m:
      "插件加载失败!": no entry file, the entry class returned None, or a
        plugin_name that is empty, ".", "..", holds "/", NUL or a lone
        surrogate, or that the file-system encoding cannot encode (such a
        name never reaches the file system or sys.path);
      "加载 Python 插件模块失败: " + the error text: the source entry
        failed to import or reload, the import found another file than
        <plugin_name>/<plugin_name>_main.py ("module '<plugin_name>_main'
        was loaded from '<that file>', not from '<the entry file>'", and the
        class is not called), has no class <plugin_name>_main, or the
        class's call raised (any Exception);
      "加载 SO 插件模块失败: " + the error text: the compiled entry did not
        open;
      "在[<plugin_name>]插件中找不到[<def_name>]方法": the plugin object has
        no such attribute (any error fetching it counts as absent).

    Raises: TypeError "hasattr(): attribute name must be string" when
      def_name is not a str and an entry loaded; the error of `in` or of
      reading plugin_get_object on args; whatever the operation raises,
      unchanged; interrupts and exits while loading.
    """
def load_so_plugin(so_path: str) -> ctypes.CDLL:
    """Opens a compiled library: ctypes.CDLL(so_path), imported anew at each
    call.

    so_path: the library's path, passed to ctypes unchanged.

    Returns: a new ctypes.CDLL handle; its attributes are the library's
      exported symbols.

    Raises: OSError with the dynamic loader's message (a missing file, a
      file that is not a library), and whatever else ctypes.CDLL raises.
    """

# The panel's own modules.
def module_run(mod_name: str, def_name: str, args: _RequestArgs) -> Any:
    """Runs method `def_name` of the panel module `mod_name`: the file
    <mod_name>Model.py under the class folder, public.get_class_path().

    mod_name: the module's short name; it must pass path_check.
    def_name: a method of the module's entry object, which the file's
      class `main` makes when called with no arguments; it must pass
      path_check.
    args: the request-argument object, passed to the method.  With the key
      model_index, the file is <class>/<model_index>Model/<mod_name>Model.py
      when the value is true (the value must pass path_check as well) and
      <class>/projectModel/<mod_name>Model.py when it is false.  Without it,
      the folders get_module_list returns are searched in their order and
      the first that holds the file wins.  When it holds module_get_object
      and args.module_get_object == 1, the method is returned uncalled.

    Returns: the method's result, unchanged, or the method itself when
      asked for.

    Failures, returned as returnMsg(False, m) with m:
      "模块名称和模块方法名称不能为空!": mod_name or def_name is empty (any
        false value);
      "模块名或方法名不能包含特殊符号!": path_check refused mod_name,
        def_name or a true model_index;
      "模块[<mod_name>]不存在": no such file;
      "模块[<mod_name>]不存在!": public.get_script_object gave a false
        value (with the devhost and test hosts: the file did not load);
      "模块入口实例化失败": no `main`, main() raised, or reading the method
        raised something other than AttributeError (any exception);
      "在[<mod_name>]模块中找不到[<def_name>]方法": no such method, or a
        false value in its place.

    Raises: TypeError from path_check for a name that is not a text; the
      error of `in` or of reading model_index or module_get_object on args;
      get_module_list's errors (an unreadable class folder); errors of the
      host calls; whatever the method raises, unchanged.
    """
def get_module_list() -> List[str]:
    """The module folders of the class folder, public.get_class_path():
    the names of its subfolders (or links to folders) that are at least 7
    characters long, hold no "." and hold "Model" (this capitalisation,
    anywhere in the name).

    Returns: a new list of the names, in the order os.listdir gives them
      (not sorted); empty when none qualifies.

    Raises: os.listdir's error (FileNotFoundError, PermissionError) for a
      class folder that is missing or unreadable; TypeError when the class
      folder is not a text.
    """
def get_module(filename: str) -> types.ModuleType:
    """
    @name 获取模块
    @param filename<string> 模块文件名
    @return module<object> 模块对象

    filename: the path of a Python source file.

    Returns: a new module object named "module.name", after the file's
      top-level code has run in it; every call makes a new one and runs the
      code again.  It is not entered in sys.modules.

    Raises: FileNotFoundError for a missing file; SyntaxError; whatever the
      file's top-level code raises; AttributeError when the import system
      has no loader for the file name (one not ending in .py, say).
    """
def path_check(path: str) -> bool:
    """Whether a name may go into a file path or name a method.

    path: the name.

    Returns: False when it contains "./", "..", a control character among
      tab, line feed, carriage return, backspace, bell, form feed and
      vertical tab, or any of , ; : ? ' " < > | \\ * % & $ # @ ! ~ ` ^ ( )
      + = { } [ ]; True otherwise, the empty text included ("/" and "."
      alone pass, as do blanks, hyphens, underscores and all non-ASCII
      characters).

    Raises: TypeError when path supports no `in` (None, a number).
    """

# Database fields: {"status": True, "msg": <text>} on success.
def db_encrypt(data: str) -> Dict[str, Any]:
    """Encrypts a database field line by line under the database key
    (__get_db_sgin) and the installation's IV (__get_db_iv), with
    __aes_encrypt.

    data: the field text.  Each non-empty line is encrypted by itself; empty
      lines are dropped.

    Returns: {"status": True, "msg": the cipher texts of the lines, joined
      by line breaks}.  The empty text gives {"status": True, "msg": ""}.

    Failures, returned as {"status": False, "msg": data, the argument as
      given}: any Exception on the way, such as PyCryptodome missing, data
      not a text, or an IV file that does not decrypt.  The IV file is made
      on the first call that finds it missing.

    Raises: only interrupts and exit requests.
    """
def db_decrypt(data: str) -> Dict[str, Any]:
    """Decrypts what db_encrypt made, line by line, with __aes_decrypt under
    the same key and IV.

    data: the stored field: cipher texts, one per line.

    Returns: {"status": True, "msg": the plain texts, joined by line
      breaks}.

    Failures, returned as {"status": False, "msg": data, the argument as
      given}: any Exception on the way, among them a value that is not a
      cipher text under this key and IV (one stored before encryption was in
      use comes back as it was), PyCryptodome missing, data not a text.

    Raises: only interrupts and exit requests.
    """

# Key material and the text ciphers.
def __get_db_sgin() -> str:
    """The database key: 16 ASCII characters, the same in every
    installation and on every call.

    Returns: the key, a new str.

    Raises: nothing of its own.
    """
def __get_db_iv() -> str:
    """The installation's IV for database fields, kept in
    <public.get_panel_path()>/data/div.pl, encrypted under the module key.

    When the file is missing it is made first: public.GetRandomString(16),
    encrypted with __aes_encrypt_module, passed through public.get_div and
    written with public.WriteFile; it is put in place only once it reads
    back intact, and never replaces a file another process made meanwhile.

    Returns: the IV file's content decrypted with __aes_decrypt_module; a
      fixed fallback IV of 16 ASCII characters while the file cannot be
      made.

    Raises: the errors of the host calls and of __aes_encrypt_module and
      __aes_decrypt_module (ModuleNotFoundError without PyCryptodome;
      binascii.Error or ValueError for a damaged IV file).
    """
def __aes_encrypt_module(data: str) -> str:
    """__aes_encrypt(data, key, iv) under the module's fixed key and IV (16
    ASCII characters each, the same in every installation).

    data: the plain text.

    Returns: the cipher text, as __aes_encrypt makes it.

    Raises: what __aes_encrypt raises.
    """
def __aes_decrypt_module(data: str) -> str:
    """__aes_decrypt(data, key, iv) under the module's fixed key and IV.

    data: a cipher text made by __aes_encrypt_module.

    Returns: the plain text.

    Raises: what __aes_decrypt raises.
    """
def __aes_decrypt(data: str, key: str, iv: str) -> str:
    """Decrypts a cipher text made by __aes_encrypt with the same key and
    IV.

    data: standard base64 of the cipher bytes; line breaks and characters
      outside the base64 alphabet are skipped.
    key: 16, 24 or 32 bytes in UTF-8.
    iv: 16 bytes in UTF-8.

    Returns: the plain text.

    Raises: ModuleNotFoundError "No module named 'Crypto'" without
      PyCryptodome; AttributeError when an argument is not a str;
      UnicodeEncodeError for a lone surrogate; binascii.Error for bad
      base64; ValueError "Incorrect AES key length (N bytes)" or
      "Incorrect IV length (it must be 16 bytes long)"; ValueError "Data
      must be padded to 16 byte boundary in CBC mode" for a length that is
      not whole blocks; ValueError "Padding is incorrect." for a wrong key
      or IV, a damaged or an empty cipher text; UnicodeDecodeError when the
      plain bytes are not UTF-8.
    """
def __aes_encrypt(data: str, key: str, iv: str) -> str:
    """Encrypts a text with AES-CBC: UTF-8, padded to whole 16-byte blocks
    (n bytes of value n, a whole block when the text fills its blocks).

    data: the plain text.
    key: 16, 24 or 32 bytes in UTF-8 (AES-128, -192 or -256).
    iv: 16 bytes in UTF-8.

    Returns: the cipher bytes in standard base64, one line with no line
      break, without the IV: 24 characters for up to 15 bytes of text, 44
      for 16 to 31, and so on.  The same text, key and IV always give the
      same cipher text.

    Raises: ModuleNotFoundError "No module named 'Crypto'" without
      PyCryptodome; AttributeError when an argument is not a str;
      UnicodeEncodeError for a lone surrogate; ValueError "Incorrect AES key
      length (N bytes)" or "Incorrect IV length (it must be 16 bytes
      long)".
    """

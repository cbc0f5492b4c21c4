// plugins_runner.cpp: plugin_run and load_so_plugin.
//
// A plugin's folder under the fixed root holds "<name>_main.py", a compiled
// entry, or both.  Every call loads the entry afresh (import, then reload:
// an edited plugin needs no restart), makes the plugin object and calls the
// operation.  Only the interpreter keeps anything: sys.path, sys.modules.
#include "module_frame.hpp"

#include "plugins/plugins.hpp"

#include "host/host_calls.hpp"

#include <cstring>

namespace velmora::plugins {
namespace {

// Module-level names, looked up at every use so a host that rebinds them
// on the module changes what the next call uses.
Name n_load_so_plugin{"load_so_plugin"};

// Attribute names.
Name n_insert{"insert"};
Name n_import_module{"import_module"};
Name n_reload{"reload"};
Name n_cdll{"CDLL"};
Name n_plugin_get_object{"plugin_get_object"};
Name n_dunder_file{"__file__"};
Name n_samefile{"samefile"};

// Fixed texts.
Text t_plugin_root{"/www/server/panel/plugin"};
Text t_main{"_main"};
Text t_main_py{"_main.py"};
// The compiled entry always carries the 3.7 ABI tag: plugins are shipped
// built for that interpreter, and the 3.12 build looks for the same file.
Text t_main_so{"_main.cpython-37m-x86_64-linux-gnu.so"};
Text t_load_failed{"插件加载失败!"};
Text t_py_failed{"加载 Python 插件模块失败: "};
Text t_so_failed{"加载 SO 插件模块失败: "};
Text t_missing_open{"在["};
Text t_missing_mid{"]插件中找不到["};
Text t_missing_close{"]方法"};

// True when the code points hold a lone surrogate (U+D800..U+DFFF), which
// has no file-system encoding, a "/" or a NUL.
template <typename Char>
bool has_refused_character(const Char* data, Py_ssize_t length) noexcept {
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = data[i];
    if (c == '/' || c == 0 || (c >= 0xD800 && c <= 0xDFFF)) return true;
  }
  return false;
}

// A plugin name that would lead out of its own folder under the root: the
// root itself ("" or "."), its parent (".."), anything with a separator, or
// a NUL that the file system would cut the path at.  A lone surrogate is
// refused too: once in sys.path, a folder name that cannot be encoded makes
// every later import of a module not yet loaded fail in the whole process.
Truth escapes_root(Borrowed name) noexcept {
  if (!str_ready(name)) return Truth::error;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length == 0) return Truth::yes;
  const void* data = PyUnicode_DATA(name);
  switch (PyUnicode_KIND(name)) {
    case PyUnicode_1BYTE_KIND: {
      const auto* chars = static_cast<const Py_UCS1*>(data);
      if (chars[0] == '.' && (length == 1 || (length == 2 && chars[1] == '.'))) return Truth::yes;
      return truth_of(std::memchr(chars, '/', static_cast<std::size_t>(length)) != nullptr ||
                      std::memchr(chars, 0, static_cast<std::size_t>(length)) != nullptr);
    }
    // Wider texts hold a character above U+00FF, so they are never "." or "..".
    case PyUnicode_2BYTE_KIND:
      return truth_of(has_refused_character(static_cast<const Py_UCS2*>(data), length));
    default:
      return truth_of(has_refused_character(static_cast<const Py_UCS4*>(data), length));
  }
}

// Puts the plugin's folder at the front of sys.path unless it is already
// there somewhere (an existing entry keeps its place) or is no folder at
// all: a request for a plugin that does not exist must not lengthen the
// search of every later import in the process.  Membership is asked first,
// so a repeated call costs no file-system test.
bool add_search_path(const Scope& scope, Borrowed folder) noexcept {
  Ref search_path = scope.attr(n_sys, n_path);
  if (!search_path) return false;
  Truth present = contains(search_path.get(), folder);
  if (present != Truth::no) return present == Truth::yes;
  Truth is_folder = os_path_isdir(scope, folder);
  if (is_folder != Truth::yes) return is_folder == Truth::no;
  Ref front = integer(0);
  if (!front) return false;
  return static_cast<bool>(call_method(search_path.get(), n_insert, {front.get(), folder}));
}

// Whether the file-system encoding cannot spell the name (as os.fsencode
// would spell it: a C or GBK locale cannot spell every name).  A folder
// name that it cannot, once in sys.path, makes every later import of a
// module not yet loaded fail in the whole process.  Only an encoding error
// means "yes"; any other error (out of memory) is reported.
Truth unspellable(Borrowed name) noexcept {
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(name));
  if (encoded) return Truth::no;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Truth::error;
  PyErr_Clear();
  return Truth::yes;
}

// os.path.samefile(a, b), `os` looked up now; an OSError or ValueError (a
// file that is gone, a NUL in a name) means "not the same file".
Truth same_file(const Scope& scope, Borrowed a, Borrowed b) noexcept {
  Ref os_path = scope.attr(n_os, n_path);
  if (!os_path) return Truth::error;
  Ref answer = call_method(os_path.get(), n_samefile, {a, b});
  if (!answer) {
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
      return Truth::error;
    }
    PyErr_Clear();
    return Truth::no;
  }
  return truth(answer.get());
}

// The module an import found by name through sys.path must be the entry
// file that was checked: another folder that holds a file of the same name
// and comes earlier in sys.path (an old copy of the plugin, say) would
// otherwise run in its place.  The text is compared first, so the ordinary
// case makes no system call; the file system then has its say (a plugin
// folder that is a link to the real one).  ImportError naming both files
// when it is another one.
bool check_found_file(const Scope& scope, Borrowed plugin_main, Borrowed module_name,
                      Borrowed plugin_main_file) noexcept {
  Ref found = get_attr(plugin_main, n_dunder_file);
  if (!found) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    found = Ref::borrow(Py_None);
  }
  Truth same = Truth::no;
  if (PyUnicode_Check(found.get())) {
    same = equals(found.get(), plugin_main_file);
    if (same == Truth::no) same = same_file(scope, found.get(), plugin_main_file);
  }
  if (same != Truth::no) return same == Truth::yes;
  Ref message = Ref::steal(PyUnicode_FromFormat("module %R was loaded from %R, not from %R",
                                                module_name, found.get(), plugin_main_file));
  if (message) PyErr_SetObject(PyExc_ImportError, message.get());
  return false;
}

// Loads the source entry: import, reload in place, check that it is the
// expected file, then call the entry class.
Ref load_source_entry(const Scope& scope, Borrowed module_name,
                      Borrowed plugin_main_file) noexcept {
  Ref import_module = scope.attr(n_importlib, n_import_module);
  if (!import_module) return {};
  Ref plugin_main = call(import_module.get(), {module_name});
  if (!plugin_main) return {};
  // The reload re-executes the module object in place, so its result is not
  // needed: the first call in a process runs the top-level code twice.
  Ref reload = scope.attr(n_importlib, n_reload);
  if (!reload || !call(reload.get(), {plugin_main.get()})) return {};
  if (!check_found_file(scope, plugin_main.get(), module_name, plugin_main_file)) return {};
  Ref entry_class = get_attr(plugin_main.get(), module_name);
  if (!entry_class) return {};
  return call(entry_class.get(), {});
}

// Turns a pending Exception into public.returnMsg(False, prefix + str(e));
// anything not derived from Exception (interrupts, exits) goes on as is.
Ref report_load_failure(const Scope& scope, Text& prefix) noexcept {
  CaughtError caught = CaughtError::fetch();
  if (!caught.matches(PyExc_Exception)) return caught.restore();
  Borrowed head = prefix.get();
  Ref detail = head ? str_of(caught.value()) : Ref{};
  Ref message = detail ? concat({head, detail.get()}) : Ref{};
  Ref result = message ? host::return_msg(scope, message.get()) : Ref{};
  // A failure while reporting happened inside the handler of the first one.
  if (!result) caught.chain_into_pending();
  return result;
}

// hasattr(obj, name) as the runner needs it: a name that is not text is a
// TypeError; any failure of the fetch itself means "absent".
Truth has_operation(Borrowed obj, Borrowed name) noexcept {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "hasattr(): attribute name must be string");
    return Truth::error;
  }
  Ref found = get_attr(obj, name);
  if (found) return Truth::yes;
  PyErr_Clear();
  return Truth::no;
}

}  // namespace

Ref plugin_run(const Scope& scope, const Borrowed* args) noexcept {
  Borrowed plugin_name = args[0];
  Borrowed def_name = args[1];
  Borrowed request = args[2];

  Ref name = format_of(plugin_name);
  if (!name) return {};
  // A request's plugin name must not reach anything outside the plugin
  // root, nor be one the file system cannot spell; refuse it before the
  // search path or the file system is touched.
  Truth refused = escapes_root(name.get());
  if (refused == Truth::no) refused = unspellable(name.get());
  if (refused == Truth::error) return {};
  if (refused == Truth::yes) return host::return_msg(scope, t_load_failed);

  Borrowed root = t_plugin_root.get();
  Borrowed slash = t_slash.get();
  Borrowed main_suffix = t_main.get();
  Borrowed py_suffix = t_main_py.get();
  Borrowed so_suffix = t_main_so.get();
  if (!root || !slash || !main_suffix || !py_suffix || !so_suffix) return {};

  Ref sys_path = concat({root, slash, name.get()});
  if (!sys_path) return {};
  Ref plugin_main_file = concat({sys_path.get(), slash, name.get(), py_suffix});
  if (!plugin_main_file) return {};
  Ref plugin_so_file = concat({sys_path.get(), slash, name.get(), so_suffix});
  if (!plugin_so_file) return {};

  // Before either entry is looked for, so also for a plugin folder without
  // one.
  if (!add_search_path(scope, sys_path.get())) return {};

  Ref plugin_obj;
  Truth has_source = os_path_exists(scope, plugin_main_file.get());
  if (has_source == Truth::error) return {};
  if (has_source == Truth::yes) {
    // The source entry wins whenever it exists, also when it fails to load.
    Ref module_name = concat({name.get(), main_suffix});
    if (!module_name) return {};
    plugin_obj = load_source_entry(scope, module_name.get(), plugin_main_file.get());
    if (!plugin_obj) return report_load_failure(scope, t_py_failed);
  } else {
    Truth has_library = os_path_exists(scope, plugin_so_file.get());
    if (has_library == Truth::error) return {};
    if (has_library == Truth::yes) {
      plugin_obj = scope.call(n_load_so_plugin, {plugin_so_file.get()});
      if (!plugin_obj) return report_load_failure(scope, t_so_failed);
    }
  }
  // No entry file, or an entry class that answered None.
  if (!plugin_obj || plugin_obj.get() == Py_None) return host::return_msg(scope, t_load_failed);

  Truth present = has_operation(plugin_obj.get(), def_name);
  if (present == Truth::error) return {};
  if (present == Truth::no) {
    Ref operation_text = format_of(def_name);
    if (!operation_text) return {};
    Borrowed open = t_missing_open.get();
    Borrowed mid = t_missing_mid.get();
    Borrowed close = t_missing_close.get();
    if (!open || !mid || !close) return {};
    Ref message = concat({open, name.get(), mid, operation_text.get(), close});
    if (!message) return {};
    return host::return_msg(scope, message.get());
  }

  Truth fetch_only = asks_for_object(request, n_plugin_get_object);
  if (fetch_only == Truth::error) return {};
  Ref operation = get_attr(plugin_obj.get(), def_name);
  if (!operation || fetch_only == Truth::yes) return operation;
  // The operation is fetched by name and called directly: the caller's name
  // is never turned into code, whatever the plugin object answers to.
  return call(operation.get(), {request});
}

Ref load_so_plugin(const Scope& scope, const Borrowed* args) noexcept {
  Borrowed so_path = args[0];
  // A function-local import, not the module-level binding.
  Ref ctypes = import_statement(n_ctypes, scope.globals());
  if (!ctypes) return {};
  return call_method(ctypes.get(), n_cdll, {so_path});
}

}  // namespace velmora::plugins

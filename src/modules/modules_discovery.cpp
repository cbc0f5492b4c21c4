// modules_discovery.cpp: get_module_list (which subdirectories of the class
// directory hold panel modules) and get_module (a source file loaded as a
// fresh anonymous module).
#include "module_frame.hpp"

#include "modules/modules.hpp"

#include "host/host_calls.hpp"

namespace velmora::modules {
namespace {

Name n_listdir{"listdir"};
Name n_find{"find"};
Text t_dot{"."};
Text t_model{"Model"};
Name n_util{"util"};
Name n_spec_from_file_location{"spec_from_file_location"};
Name n_module_from_spec{"module_from_spec"};
Name n_loader{"loader"};
Name n_exec_module{"exec_module"};
Text t_module_name{"module.name"};

// name.find(needle) != -1 (when `present`) or == -1 (when not), asked of
// the object itself: its own find and its own idea of equality.
Truth find_result_is(Borrowed name, Text& needle, bool present) noexcept {
  Borrowed needle_text = needle.get();
  if (needle_text == nullptr) return Truth::error;
  Ref position = call_method(name, n_find, {needle_text});
  if (!position) return Truth::error;
  Ref minus_one = integer(-1);
  if (!minus_one) return Truth::error;
  Truth missing = equals(position.get(), minus_one.get());
  if (missing == Truth::error) return Truth::error;
  return truth_of((missing == Truth::yes) != present);
}

// The name tests on an exact str, whose length and find cannot be
// overridden: answered from its characters, with no method call and no
// integer made.
Truth name_passes_exact(Borrowed fname) noexcept {
  if (!str_ready(fname)) return Truth::error;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(fname);
  if (length <= 6) return Truth::no;
  const Py_ssize_t dot = PyUnicode_FindChar(fname, '.', 0, length, 1);
  if (dot != -1) return dot == -2 ? Truth::error : Truth::no;
  Borrowed model = t_model.get();
  const Py_ssize_t at = model ? PyUnicode_Find(fname, model, 0, length, 1) : -2;
  return at == -2 ? Truth::error : truth_of(at != -1);
}

// The same tests for anything else (a str subclass, or whatever a rebound
// os.listdir hands back): len(), then its own find, exactly as written.
Truth name_passes_generic(Borrowed fname) noexcept {
  Py_ssize_t length = PyObject_Size(fname);
  if (length < 0) return Truth::error;
  if (length <= 6) return Truth::no;
  Truth no_dot = find_result_is(fname, t_dot, false);
  if (no_dot != Truth::yes) return no_dot;
  return find_result_is(fname, t_model, true);
}

// class_path + "/" + fname, through the interpreter's `+`, so a class
// directory that is not a text fails the way the host would expect, and a
// str subclass's own __add__ or __radd__ has its say.
Ref entry_path(Borrowed class_path, Borrowed slash, Borrowed fname) noexcept {
  Ref head = Ref::steal(PyNumber_Add(class_path, slash));
  if (!head) return {};
  return Ref::steal(PyNumber_Add(head.get(), fname));
}

// The listing rule, tested in this order and stopping at the first failure:
// a directory, longer than six characters, no ".", and "Model" somewhere.
Truth is_module_directory(const Scope& scope, Borrowed class_path, Borrowed fname) noexcept {
  Borrowed slash = t_slash.get();
  if (slash == nullptr) return Truth::error;
  Ref f_path = entry_path(class_path, slash, fname);
  if (!f_path) return Truth::error;
  Truth directory = os_path_isdir(scope, f_path.get());
  if (directory != Truth::yes) return directory;
  return PyUnicode_CheckExact(fname) ? name_passes_exact(fname) : name_passes_generic(fname);
}

}  // namespace

Ref get_module_list(const Scope& scope, const Borrowed*) noexcept {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return {};
  Ref class_path = host::get_class_path(scope);
  if (!class_path) return {};
  Ref os = scope.lookup(n_os);
  if (!os) return {};
  Ref f_list = call_method(os.get(), n_listdir, {class_path.get()});
  if (!f_list) return {};
  Ref entries = Ref::steal(PyObject_GetIter(f_list.get()));
  if (!entries) return {};
  while (Ref fname = Ref::steal(PyIter_Next(entries.get()))) {
    Truth accepted = is_module_directory(scope, class_path.get(), fname.get());
    if (accepted == Truth::error) return {};
    if (accepted == Truth::yes && PyList_Append(list.get(), fname.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return list;
}

Ref get_module(const Scope& scope, const Borrowed* args) noexcept {
  Borrowed filename = args[0];
  // A function-local `import importlib.util`: it goes through the import
  // machinery at every call, not through the module's own `importlib`.
  Ref importlib = import_statement(n_importlib_util, scope.globals());
  if (!importlib) return {};
  Ref util = get_attr(importlib.get(), n_util);
  if (!util) return {};
  Borrowed module_name = t_module_name.get();
  if (module_name == nullptr) return {};
  Ref located = call_method(util.get(), n_spec_from_file_location, {module_name, filename});
  if (!located) return {};
  // When no loader knows this file name, `located` is None and this call
  // fails with the interpreter's AttributeError.
  Ref module = call_method(util.get(), n_module_from_spec, {located.get()});
  if (!module) return {};
  Ref loader = get_attr(located.get(), n_loader);
  if (!loader) return {};
  Ref done = call_method(loader.get(), n_exec_module, {module.get()});
  if (!done) return {};
  return module;
}

}  // namespace velmora::modules

// module_frame.cpp: the shared helpers declared in module_frame.hpp, and
// the interpreter-version differences they hide.
#include "module_frame.hpp"

#include <cstdlib>

namespace velmora {

Name n_public{"public"}, n_os{"os"}, n_sys{"sys"}, n_json{"json"}, n_importlib{"importlib"},
    n_importlib_util{"importlib.util"}, n_ctypes{"ctypes"}, n_path{"path"},
    n_aes_encrypt{"__aes_encrypt"}, n_aes_decrypt{"__aes_decrypt"}, n_dunder_name{"__name__"};
Text t_slash{"/"};

Ref dict_item(Borrowed dict, Borrowed key) noexcept {
  PyObject* found = nullptr;
  PyDict_GetItemRef(dict, key, &found);
  return Ref::steal(found);
}

Ref builtins_of(Borrowed globals) noexcept {
  static Name n_builtins{"__builtins__"};
  Borrowed key = n_builtins.get();
  if (key == nullptr) return {};
  // At shutdown the interpreter may have set the module's globals to None
  // or dropped them; that is an error for the caller, never a crash.
  Ref found = dict_item(globals, key);
  if (!found || PyDict_Check(found.get())) return found;
  // A module keeps its dictionary for as long as it lives, and `found`
  // keeps the module.
  if (PyModule_Check(found.get())) return Ref::borrow(PyModule_GetDict(found.get()));
  PyErr_Format(PyExc_TypeError, "__builtins__ must be a dict or a module, not %.100s",
               Py_TYPE(found.get())->tp_name);
  return {};
}

// --- Scope ---------------------------------------------------------------

Ref Scope::lookup(Name& name) const noexcept {
  Borrowed key = name.get();
  if (key == nullptr) return {};
  // The function being called owns the module's dictionary; the built-ins
  // are held here, since a key's __eq__ may rebind __builtins__ mid-search.
  Ref found = dict_item(globals_, key);
  if (found || PyErr_Occurred()) return found;
  Ref builtins = builtins_of(globals_);
  if (builtins) {
    found = dict_item(builtins.get(), key);
    if (found) return found;
  }
  if (PyErr_Occurred()) return {};
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  return {};
}

Ref Scope::attr(Name& module, Name& attribute) const noexcept {
  Ref holder = lookup(module);
  return holder ? get_attr(holder.get(), attribute) : Ref{};
}

Ref Scope::call(Name& name, std::initializer_list<Borrowed> args) const noexcept {
  Ref fn = lookup(name);
  return fn ? velmora::call(fn.get(), args) : Ref{};
}

// --- Calling -------------------------------------------------------------

namespace {

Ref vector_call(Borrowed callable, PyObject* const* args, std::size_t nargs,
                Borrowed kwnames) noexcept {
  return Ref::steal(PyObject_Vectorcall(callable, args, nargs, kwnames));
}

constexpr std::size_t kMaxCallArgs = 8;

}  // namespace

Ref call(Borrowed callable, std::initializer_list<Borrowed> args) noexcept {
  // The list's own array is the argument vector.  It has no spare slot in
  // front, so the call is made without the flag that would offer one.
  return vector_call(callable, args.begin(), args.size(), nullptr);
}

Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> args,
            std::initializer_list<std::pair<Name*, Borrowed>> kwargs) noexcept {
  if (args.size() + kwargs.size() > kMaxCallArgs) std::abort();
  PyObject* stack[kMaxCallArgs + 1] = {};
  std::size_t n = 0;
  for (Borrowed a : args) stack[n++] = a;
  Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
  if (!kwnames) return {};
  Py_ssize_t i = 0;
  for (const auto& [name, value] : kwargs) {
    Borrowed key = name->get();
    if (key == nullptr) return {};
    Py_INCREF(key);
    PyTuple_SET_ITEM(kwnames.get(), i++, key);
    stack[n++] = value;
  }
  return vector_call(callable, stack, args.size(), kwnames.get());
}

namespace {

// getattr(module, name) for an exact module object, answered from the
// module's own dictionary.  The module type and object define only dunder
// names and cannot gain others, so for any other name the dictionary is
// what the generic lookup would consult.  Null with no error set when this
// does not apply or the name is not there: the generic lookup then gives a
// module-level __getattr__ its turn and raises the interpreter's own error.
Ref module_dict_attr(Borrowed obj, Name& name) noexcept {
  if (!PyModule_CheckExact(obj) || name.dunder()) return {};
  // Held for the search, as every searched container is, though the
  // caller's module keeps it too.
  Ref dict = Ref::borrow(PyModule_GetDict(obj));
  return dict ? dict_item(dict.get(), name.get()) : Ref{};
}

}  // namespace

Ref call_method(Borrowed obj, Name& name,
                std::initializer_list<Borrowed> args) noexcept {
  Ref method = get_attr(obj, name);
  return method ? call(method.get(), args) : Ref{};
}

// --- Attributes, tests, conversions --------------------------------------

Ref get_attr(Borrowed obj, Name& name) noexcept {
  Borrowed key = name.get();
  if (key == nullptr) return {};
  if (Ref found = module_dict_attr(obj, name)) return found;
  if (PyErr_Occurred()) return {};
  return Ref::steal(PyObject_GetAttr(obj, key));
}

Ref get_attr(Borrowed obj, Borrowed name) noexcept {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

namespace {
Truth truth_of_status(int status) noexcept {
  return status < 0 ? Truth::error : truth_of(status != 0);
}
}  // namespace

Truth equals(Borrowed a, Borrowed b) noexcept {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!result) return Truth::error;
  return truth(result.get());
}

Truth contains(Borrowed container, Borrowed item) noexcept {
  return truth_of_status(PySequence_Contains(container, item));
}

Truth asks_for_object(Borrowed request, Name& key) noexcept {
  Borrowed key_text = key.get();
  if (key_text == nullptr) return Truth::error;
  Truth listed = contains(request, key_text);
  if (listed != Truth::yes) return listed;
  Ref flag = get_attr(request, key);
  if (!flag) return Truth::error;
  Ref one = integer(1);
  if (!one) return Truth::error;
  return equals(flag.get(), one.get());
}

Ref str_of(Borrowed obj) noexcept { return Ref::steal(PyObject_Str(obj)); }

Ref format_of(Borrowed obj) noexcept { return Ref::steal(PyObject_Format(obj, nullptr)); }

Ref text(const char* utf8) noexcept { return Ref::steal(PyUnicode_FromString(utf8)); }

Ref concat(std::initializer_list<Borrowed> texts) noexcept {
  Ref empty = Ref::steal(PyUnicode_New(0, 0));
  if (!empty) return {};
  Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!parts) return {};
  Py_ssize_t i = 0;
  for (Borrowed t : texts) {
    Py_INCREF(t);
    PyTuple_SET_ITEM(parts.get(), i++, t);
  }
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

Ref integer(long value) noexcept { return Ref::steal(PyLong_FromLong(value)); }

// --- Imports -------------------------------------------------------------

namespace {

// __import__(name, globals, None, fromlist, 0) through the module's own
// built-in, so the host's import hooks apply as they do to an import
// statement in the module, and a caller's own __import__ does not.
Ref call_import(Borrowed name, Borrowed globals, Borrowed fromlist) noexcept {
  static Name n_import{"__import__"};
  Borrowed key = n_import.get();
  Ref builtins = key ? builtins_of(globals) : Ref{};
  Ref importer = builtins ? dict_item(builtins.get(), key) : Ref{};
  if (!importer) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return {};
  }
  Ref level = integer(0);
  if (!level) return {};
  return call(importer.get(), {name, globals, Py_None, fromlist, level.get()});
}

}  // namespace

Ref import_statement(Name& dotted_name, Borrowed globals) noexcept {
  Borrowed name = dotted_name.get();
  if (name == nullptr) return {};
  return call_import(name, globals, Py_None);
}

Ref import_from(Name& package, Name& attribute, Borrowed globals) noexcept {
  static Name n_file{"__file__"};
  Borrowed package_name = package.get();
  Borrowed attribute_name = attribute.get();
  Borrowed name_key = n_dunder_name.get();
  Borrowed file_key = n_file.get();
  if (!package_name || !attribute_name || !name_key || !file_key) return {};
  Ref fromlist = Ref::steal(PyTuple_Pack(1, attribute_name));
  if (!fromlist) return {};
  Ref module = call_import(package_name, globals, fromlist.get());
  if (!module) return {};

  Ref value = Ref::steal(PyObject_GetAttr(module.get(), attribute_name));
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();

  // A submodule that is imported but not bound on its package.
  Ref module_name = Ref::steal(PyObject_GetAttr(module.get(), name_key));
  if (!module_name || !PyUnicode_Check(module_name.get())) {
    PyErr_Clear();
    module_name = Ref::borrow(package_name);
  }
  Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), attribute_name));
  if (!full_name) return {};
  value = Ref::steal(PyImport_GetModule(full_name.get()));
  if (value || PyErr_Occurred()) return value;

  Ref path = Ref::steal(PyObject_GetAttr(module.get(), file_key));
  if (!path) PyErr_Clear();
  Ref message = path && PyUnicode_Check(path.get())
      ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                        attribute_name, module_name.get(), path.get()))
      : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                        attribute_name, module_name.get()));
  if (!message) return {};
  PyErr_SetImportError(message.get(), module_name.get(), path ? path.get() : Py_None);
  return {};
}

// --- File-system tests ---------------------------------------------------

namespace {
Truth os_path_test(const Scope& scope, Name& test, Borrowed path) noexcept {
  Ref os_path = scope.attr(n_os, n_path);
  if (!os_path) return Truth::error;
  Ref answer = call_method(os_path.get(), test, {path});
  if (!answer) return Truth::error;
  return truth(answer.get());
}
}  // namespace

Truth os_path_exists(const Scope& scope, Borrowed path) noexcept {
  static Name n_exists{"exists"};
  return os_path_test(scope, n_exists, path);
}

Truth os_path_isdir(const Scope& scope, Borrowed path) noexcept {
  static Name n_isdir{"isdir"};
  return os_path_test(scope, n_isdir, path);
}

// --- Exceptions ----------------------------------------------------------

Ref raise_object(Borrowed obj) noexcept {
  if (PyExceptionInstance_Check(obj)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    return {};
  }
  if (PyExceptionClass_Check(obj)) {
    Ref instance = call(obj, {});
    if (!instance) return {};
    if (!PyExceptionInstance_Check(instance.get())) {
      PyErr_Format(PyExc_TypeError,
                   "calling %R should have returned an instance of "
                   "BaseException, not %s",
                   obj, Py_TYPE(instance.get())->tp_name);
      return {};
    }
    PyErr_SetObject(obj, instance.get());
    return {};
  }
  PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  return {};
}

CaughtError CaughtError::fetch() noexcept {
  CaughtError caught;
  caught.value_ = Ref::steal(PyErr_GetRaisedException());
  return caught;
}

bool CaughtError::matches(Borrowed exception_class) const noexcept {
  return value_ && PyErr_GivenExceptionMatches(value_.get(), exception_class);
}

Ref CaughtError::restore() noexcept {
  PyErr_SetRaisedException(value_.release());
  return {};
}

void CaughtError::chain_into_pending() const noexcept {
  Borrowed context = value_.get();
  if (context == nullptr || !PyErr_Occurred()) return;
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  if (pending && pending.get() != context) {
    // As the interpreter's own raise does: if the pending exception is
    // already in the chain below `context`, that link is cut, so no cycle
    // forms; a cycle that was there before is walked once, not forever
    // (Floyd's tortoise and hare).
    Borrowed link = context;
    Borrowed slow = context;
    bool advance_slow = false;
    while (true) {
      Ref next = Ref::steal(PyException_GetContext(link));
      if (!next) break;
      if (next.get() == pending.get()) {
        PyException_SetContext(link, nullptr);
        break;
      }
      link = next.get();  // still held by the exception before it
      if (link == slow) break;
      if (advance_slow) {
        Ref slow_next = Ref::steal(PyException_GetContext(slow));
        slow = slow_next.get();  // likewise
      }
      advance_slow = !advance_slow;
    }
    // PyException_SetContext steals its argument.
    PyException_SetContext(pending.get(), Ref::borrow(context).release());
  }
  PyErr_SetRaisedException(pending.release());
}

}  // namespace velmora

// module_frame.cpp: the shared helpers declared in module_frame.hpp, and
// the interpreter-version differences they hide.
#include "module_frame.hpp"

#include "module_function.hpp"
#include "module_state.hpp"

#include <cstdlib>
#include <cstring>

namespace velmora {

Borrowed Name::make() noexcept {
  // Never released: the name lives as long as the process's one
  // interpreter, like the module itself.
  obj_ = PyUnicode_InternFromString(text_);
  return obj_;
}

namespace {

// The version tag every dictionary carries up to 3.13 (3.12 deprecates it
// for extensions but still keeps it up to date); 3.14 drops it.
#if PY_VERSION_HEX < 0x030E0000
#define VELMORA_DICT_VERSIONS 1
std::uint64_t dict_version(Borrowed dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}
#endif

}  // namespace

Borrowed dict_get(Borrowed dict, Name& name) noexcept {
  Borrowed key = name.get();
  if (key == nullptr) return nullptr;
#ifdef VELMORA_DICT_VERSIONS
  // Only an exact dict: a subclass's version says nothing about what its
  // own lookup would answer.
  if (PyDict_CheckExact(dict)) {
    // Read before the lookup: should comparing keys change the dictionary,
    // the entry made below is stale from the start and never used.
    const std::uint64_t version = dict_version(dict);
    Name::Hit& hit = name.hit_;
    if (hit.dict == dict && hit.version == version) return hit.value;
    Borrowed found = PyDict_GetItemWithError(dict, key);
    if (found != nullptr) hit = {dict, version, found};
    return found;
  }
#endif
  return PyDict_GetItemWithError(dict, key);
}

// --- Scope ---------------------------------------------------------------

Ref Scope::lookup(Name& name) const noexcept {
  Borrowed key = name.get();
  if (key == nullptr) return {};
  Borrowed found = dict_get(globals_, name);
  if (found != nullptr) return Ref::borrow(found);
  if (PyErr_Occurred()) return {};
  Borrowed builtins = PyEval_GetBuiltins();
  if (builtins != nullptr) {
    found = dict_get(builtins, name);
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) return {};
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  return {};
}

Ref Scope::attr(Name& module, Name& attribute) const noexcept {
  Ref holder = lookup(module);
  if (!holder) return {};
  return get_attr(holder.get(), attribute);
}

Ref Scope::call(Name& name, std::initializer_list<Borrowed> args) const noexcept {
  Ref fn = lookup(name);
  if (!fn) return {};
  return velmora::call(fn.get(), args);
}

// --- Calling -------------------------------------------------------------

namespace {

Ref vector_call(Borrowed callable, PyObject* const* args, std::size_t nargs,
                Borrowed kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
  return Ref::steal(PyObject_Vectorcall(callable, args, nargs, kwnames));
#elif PY_VERSION_HEX >= 0x03080000
  // bpo-36974: vectorcall is provisional (underscored) in 3.8.
  return Ref::steal(_PyObject_Vectorcall(callable, args, nargs, kwnames));
#else
  // 3.7 has no vectorcall; its fast-call entry takes the same layout.
  return Ref::steal(_PyObject_FastCallKeywords(
      callable, const_cast<PyObject**>(args), static_cast<Py_ssize_t>(nargs),
      kwnames));
#endif
}

constexpr std::size_t kMaxCallArgs = 8;

}  // namespace

Ref call(Borrowed callable, std::initializer_list<Borrowed> args) noexcept {
  if (args.size() > kMaxCallArgs) std::abort();  // a programming error
  // One of our own functions (path_check, the key routines, the ciphers,
  // called by name) is entered directly: on 3.7 the generic call would
  // pack its arguments into a tuple first.
  if (is_module_function(callable)) {
    return call_module_function(callable, args.begin(), args.size());
  }
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
// what the generic lookup would consult, and its entry is the answer (the
// interpreter's own specialised attribute load relies on the same).  Null
// with no error set when this does not apply or the dictionary does not
// have the name: the generic lookup then gives a module-level __getattr__
// its turn and raises the interpreter's own error.
Borrowed module_dict_attr(Borrowed obj, Name& name) noexcept {
  if (!PyModule_CheckExact(obj) || name.is_dunder()) return nullptr;
  Borrowed dict = PyModule_GetDict(obj);
  return dict != nullptr ? dict_get(dict, name) : nullptr;
}

}  // namespace

Ref call_method(Borrowed obj, Name& name,
                std::initializer_list<Borrowed> args) noexcept {
  if (args.size() > kMaxCallArgs) std::abort();
  Borrowed key = name.get();
  if (key == nullptr) return {};
  if (Borrowed found = module_dict_attr(obj, name)) {
    Ref function = Ref::borrow(found);
    return call(function.get(), args);
  }
  if (PyErr_Occurred()) return {};
#if PY_VERSION_HEX >= 0x03090000
  // The receiver goes in front of the arguments; a method found on the type
  // is then called unbound with it, as LOAD_METHOD/CALL would.  With the
  // flag, the callee may overwrite stack[0] meanwhile: it is ours.
  PyObject* stack[kMaxCallArgs + 1] = {};
  std::size_t n = 0;
  stack[n++] = obj;
  for (Borrowed a : args) stack[n++] = a;
  return Ref::steal(
      PyObject_VectorcallMethod(key, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
#else
  // bpo-37337 added the method-call entry, bpo-39245 made it public in
  // 3.9; before that, the bound method is made and called.
  Ref method = Ref::steal(PyObject_GetAttr(obj, key));
  if (!method) return {};
  return call(method.get(), args);
#endif
}

// --- Attributes, tests, conversions --------------------------------------

Ref get_attr(Borrowed obj, Name& name) noexcept {
  Borrowed key = name.get();
  if (key == nullptr) return {};
  if (Borrowed found = module_dict_attr(obj, name)) return Ref::borrow(found);
  if (PyErr_Occurred()) return {};
  return Ref::steal(PyObject_GetAttr(obj, key));
}

Ref get_attr(Borrowed obj, Borrowed name) noexcept {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

namespace {
Truth truth_of_status(int status) noexcept {
  if (status < 0) return std::nullopt;
  return status != 0;
}
}  // namespace

Truth truth_of_object(Borrowed obj) noexcept {
  // An exact str is true when it has characters; nothing can override that.
  if (PyUnicode_CheckExact(obj) && PyUnicode_IS_READY(obj)) {
    return PyUnicode_GET_LENGTH(obj) != 0;
  }
  return truth_of_status(PyObject_IsTrue(obj));
}

Truth equals(Borrowed a, Borrowed b) noexcept {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!result) return std::nullopt;
  return truth(result.get());
}

Truth contains(Borrowed container, Borrowed item) noexcept {
  return truth_of_status(PySequence_Contains(container, item));
}

Truth asks_for_object(Borrowed request, Name& key) noexcept {
  Borrowed key_text = key.get();
  if (key_text == nullptr) return std::nullopt;
  Truth listed = contains(request, key_text);
  if (!listed || !*listed) return listed;
  Ref flag = get_attr(request, key);
  if (!flag) return std::nullopt;
  Ref one = integer(1);
  if (!one) return std::nullopt;
  return equals(flag.get(), one.get());
}

Ref str_of(Borrowed obj) noexcept { return Ref::steal(PyObject_Str(obj)); }

Ref format_of(Borrowed obj) noexcept {
  if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
  return Ref::steal(PyObject_Format(obj, nullptr));
}

Ref text(const char* utf8) noexcept { return Ref::steal(PyUnicode_FromString(utf8)); }

namespace {

constexpr std::size_t kMaxQuickConcat = 6;

// concat() for a few exact str pieces, copied into one new str: no
// separator, no tuple, no second pass over the pieces.  Null with no error
// set when a piece is not an exact str or the total does not fit, for the
// generic join to handle (and to report).
Ref concat_exact(std::initializer_list<Borrowed> texts) noexcept {
  Py_ssize_t total = 0;
  Py_UCS4 widest = 0;
  for (Borrowed t : texts) {
    if (!PyUnicode_CheckExact(t) || PyUnicode_READY(t) < 0) return {};
    const Py_ssize_t length = PyUnicode_GET_LENGTH(t);
    if (length > PY_SSIZE_T_MAX - total) return {};
    total += length;
    const Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(t);
    if (max_char > widest) widest = max_char;
  }
  Ref joined = Ref::steal(PyUnicode_New(total, widest));
  if (!joined) return {};
  const auto kind = static_cast<int>(PyUnicode_KIND(joined.get()));
  char* out = static_cast<char*>(PyUnicode_DATA(joined.get()));
  Py_ssize_t at = 0;
  for (Borrowed t : texts) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(t);
    if (length == 0) continue;
    if (static_cast<int>(PyUnicode_KIND(t)) == kind) {
      // The kind is the width of one character in bytes.
      std::memcpy(out + at * kind, PyUnicode_DATA(t), static_cast<std::size_t>(length * kind));
    } else if (PyUnicode_CopyCharacters(joined.get(), at, t, 0, length) < 0) {
      return {};
    }
    at += length;
  }
  return joined;
}

}  // namespace

Ref concat(std::initializer_list<Borrowed> texts) noexcept {
  if (texts.size() >= 2 && texts.size() <= kMaxQuickConcat) {
    Ref joined = concat_exact(texts);
    if (joined || PyErr_Occurred()) return joined;
  }
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

// The C function behind the interpreter's own builtins.__import__, once
// seen; a plain code address, not an object.
PyCFunction g_own_import = nullptr;

// Whether `importer` is the interpreter's own __import__: a built-in
// function of the builtins module whose code is that module's __import__
// entry.  Nothing else runs that code, so no host hook is bypassed.
bool is_own_import(Borrowed importer) noexcept {
  if (!PyCFunction_Check(importer)) return false;
  const PyCFunction code = PyCFunction_GET_FUNCTION(importer);
  if (g_own_import != nullptr) return code == g_own_import;
  Borrowed owner = PyCFunction_GET_SELF(importer);
  if (owner == nullptr || !PyModule_Check(owner)) return false;
  const PyModuleDef* def = PyModule_GetDef(owner);
  if (def == nullptr || def->m_name == nullptr || def->m_methods == nullptr) return false;
  if (std::strcmp(def->m_name, "builtins") != 0) return false;
  for (const PyMethodDef* m = def->m_methods; m->ml_name != nullptr; ++m) {
    if (std::strcmp(m->ml_name, "__import__") == 0) {
      if (m->ml_meth != code) return false;
      g_own_import = code;
      return true;
    }
  }
  return false;
}

// __import__(name, globals, None, fromlist, 0) through the built-in, so the
// host's import hooks apply as they do to an import statement.
Ref call_import(Borrowed name, Borrowed globals, Borrowed fromlist) noexcept {
  static Name n_import{"__import__"};
  Borrowed builtins = PyEval_GetBuiltins();
  Borrowed importer = builtins ? dict_get(builtins, n_import) : nullptr;
  if (importer == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return {};
  }
  // What the interpreter's import statement does when __import__ is its
  // own: the same entry point, with no Python-level call in between.
  if (is_own_import(importer)) {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, Py_None, fromlist, 0));
  }
  Ref keep = Ref::borrow(importer);
  Ref level = integer(0);
  if (!level) return {};
  return call(keep.get(), {name, globals, Py_None, fromlist, level.get()});
}

}  // namespace

Ref import_statement(Name& dotted_name, Borrowed globals) noexcept {
  Borrowed name = dotted_name.get();
  if (name == nullptr) return {};
  return call_import(name, globals, Py_None);
}

Ref import_from(Name& package, Name& attribute, Borrowed globals) noexcept {
  static Name n_name{"__name__"}, n_file{"__file__"};
  Borrowed package_name = package.get();
  Borrowed attribute_name = attribute.get();
  Borrowed name_key = n_name.get();
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
  static Name n_os{"os"}, n_path{"path"};
  Ref os_path = scope.attr(n_os, n_path);
  if (!os_path) return std::nullopt;
  Ref answer = call_method(os_path.get(), test, {path});
  if (!answer) return std::nullopt;
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

// --- Built-ins -----------------------------------------------------------

Borrowed builtin(Builtin which) noexcept { return state::builtin(which); }

Ref print(std::initializer_list<Borrowed> args) noexcept {
  Borrowed fn = builtin(Builtin::print);
  if (fn == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Velmora is not initialised");
    return {};
  }
  return call(fn, args);
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
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  CaughtError caught;
  caught.type_ = Ref::steal(type);
  caught.value_ = Ref::steal(value);
  caught.traceback_ = Ref::steal(tb);
  return caught;
}

bool CaughtError::matches(Borrowed exception_class) const noexcept {
  return type_ && PyErr_GivenExceptionMatches(type_.get(), exception_class);
}

Ref CaughtError::restore() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  return {};
}

void CaughtError::chain_into_pending() const noexcept {
  if (!value_ || !PyErr_Occurred()) return;
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && value != value_.get()) {
    // PyException_SetContext steals its argument.
    PyException_SetContext(value, Ref::borrow(value_.get()).release());
  }
  PyErr_Restore(type, value, tb);
}

}  // namespace velmora

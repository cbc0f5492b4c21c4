// module_function.cpp: the callable type of the exported functions and the
// argument checks they all share.
//
// Every exported function is an instance of one type, built from its row in
// the function table: a call binds the arguments to the row's parameters
// (the module's own messages, the same on every interpreter version) and
// runs the row's body in the module's namespace.  Each instance holds its
// module, whose dictionary holds the instances: hence the GC support.
#include "module_frame.hpp"

#include "module_function.hpp"

#include <cstddef>

namespace velmora {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* module;       // strong: the module the function belongs to
  PyObject* globals;      // strong: that module's dictionary
  PyObject* name;         // __name__
  PyObject* qualname;     // __qualname__
  PyObject* module_name;  // __module__
  PyObject* doc;          // __doc__
  PyObject* defaults;     // __defaults__: a tuple, or None
  PyObject* dict;         // __dict__, made on first use
  PyObject* signature;    // inspect.Signature, made on first use
  PyObject* weakrefs;
};

// Made by PyType_FromSpec once per process and kept, like the module object.  A
// failed attempt (out of memory) leaves nothing half-made behind, so the
// next import makes it afresh, where CPython does not provide for readying a
// static type again after PyType_Ready failed on it.
PyTypeObject* function_type = nullptr;

FunctionObject* as_function(Borrowed self) noexcept {
  return reinterpret_cast<FunctionObject*>(self);
}

// --- Argument binding ----------------------------------------------------

// Keyword arguments as parallel arrays of names and values (borrowed).
struct Keywords {
  PyObject* const* names;
  PyObject* const* values;
  Py_ssize_t count;
};

void raise_positional_count(const FunctionDef& def, const char* how,
                            Py_ssize_t given) noexcept {
  const auto n = static_cast<Py_ssize_t>(def.nparams);
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               def.name, how, n, n == 1 ? "" : "s", given);
}

// The parameter a keyword names, or -1 (also for a keyword that is not a str).
Py_ssize_t param_index(const FunctionDef& def, Borrowed key) noexcept {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t p = 0; p < def.nparams; ++p) {
    if (PyUnicode_CompareWithASCIIString(key, def.params[p]) == 0) {
      return static_cast<Py_ssize_t>(p);
    }
  }
  return -1;
}

// The call's arguments in parameter order: the positional ones themselves
// when they are exactly the parameters, else `out` filled in.  Null with
// TypeError set when they do not fit; the checks and their order are the
// ones every exported function documents.
PyObject* const* bind(const FunctionObject* f, PyObject* const* pos, Py_ssize_t npos,
                      const Keywords& kw, Borrowed* out) noexcept {
  const FunctionDef& def = *f->def;
  const auto nparams = static_cast<Py_ssize_t>(def.nparams);
  // (A call without arguments may come with no array at all.)
  if (kw.count == 0 && npos == nparams) return pos != nullptr ? pos : out;
  if (nparams == 0) {
    if (kw.count > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def.name);
    } else {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", def.name, npos);
    }
    return nullptr;
  }
  if (npos > nparams) {
    raise_positional_count(def, def.last_default ? "at most" : "exactly", npos);
    return nullptr;
  }
  // Positional arguments from the left, then keywords, then the default.
  for (Py_ssize_t p = 0; p < nparams; ++p) {
    out[p] = p < npos ? pos[p] : nullptr;
    for (Py_ssize_t k = 0; out[p] == nullptr && k < kw.count; ++k) {
      if (param_index(def, kw.names[k]) == p) out[p] = kw.values[k];
    }
    if (out[p] == nullptr && def.last_default && p == nparams - 1) {
      out[p] = PyTuple_GET_ITEM(f->defaults, 0);
    }
    if (out[p] == nullptr) {
      raise_positional_count(def, "exactly", p);
      return nullptr;
    }
  }
  // Then each keyword in turn must have filled a parameter of its own.
  for (Py_ssize_t k = 0; k < kw.count; ++k) {
    Borrowed key = kw.names[k];
    const Py_ssize_t p = param_index(def, key);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
    } else if (p < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
    } else if (p < npos) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   def.name, key);
    } else {
      continue;
    }
    return nullptr;
  }
  return out;
}

// The bound arguments, each owned for the whole call.  The caller's own
// containers are not ours to rely on: on 3.7 `f(**d)` hands over the
// caller's `d`, and any callback in the body (a rebound module function, an
// args object's __contains__, an import hook) may empty it.
class BoundArgs {
 public:
  BoundArgs() noexcept = default;
  BoundArgs(const BoundArgs&) = delete;
  BoundArgs& operator=(const BoundArgs&) = delete;
  ~BoundArgs() {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(args_[i]);
  }
  // Takes a reference to each of the first `count` entries of `from`.
  void own(PyObject* const* from, std::size_t count) noexcept {
    for (count_ = 0; count_ < count; ++count_) args_[count_] = Py_NewRef(from[count_]);
  }
  Borrowed* slots() noexcept { return args_; }

 private:
  Borrowed args_[kMaxParams];
  std::size_t count_ = 0;
};

PyObject* invoke(FunctionObject* f, PyObject* const* pos, Py_ssize_t npos,
                 const Keywords& kw) noexcept {
  const FunctionDef& def = *f->def;
  Borrowed scratch[kMaxParams];
  PyObject* const* given = bind(f, pos, npos, kw, scratch);
  if (given == nullptr) return nullptr;
  BoundArgs bound;
  bound.own(given, def.nparams);
  // Held, the function (and with it its module and dictionary) outlives a
  // body that deletes it from the module; nor can the collector clear it.
  Ref hold_self = Ref::borrow(reinterpret_cast<PyObject*>(f));
  if (f->module == nullptr || f->globals == nullptr) {
    // Only a function that the garbage collector has already cleared, and
    // some finalizer still reached, gets here.
    PyErr_Format(PyExc_RuntimeError, "%s() can no longer be called: its module is gone",
                 def.name);
    return nullptr;
  }
  const Scope scope(f->module, f->globals);
  // One level of recursion depth per call: a module name rebound into a loop
  // through us ends in RecursionError, not a C stack overflow.  No call
  // starts while the thread still unwinds from one that went past the limit
  // (handlers on the way out, db_* going on into the IV file, say): some
  // interpreters end the process when it goes further still.
  if (recursion_overflowed()) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return nullptr;
  }
  if (Py_EnterRecursiveCall(" while calling a Python object") != 0) return nullptr;
  Ref result = def.body(scope, bound.slots());
  Py_LeaveRecursiveCall();
  if (!result && !PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "%s() failed without setting an error", def.name);
  }
  return result.release();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args,
                              std::size_t nargsf, PyObject* kwnames) noexcept {
  const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  Keywords kw{nullptr, nullptr, 0};
  if (kwnames != nullptr) {
    kw.count = PyTuple_GET_SIZE(kwnames);
    kw.names = &PyTuple_GET_ITEM(kwnames, 0);
    kw.values = args + npos;
  }
  return invoke(as_function(self), args, npos, kw);
}

// The tuple-and-dict call (tp_call), for callers that do not use vectorcall.
// The interpreter's PyVectorcall_Call would do the same through a new
// tuple of keyword names; this binds from the dictionary directly.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  const Py_ssize_t npos = PyTuple_GET_SIZE(args);
  PyObject* const* pos = npos ? &PyTuple_GET_ITEM(args, 0) : nullptr;
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return invoke(as_function(self), pos, npos, Keywords{nullptr, nullptr, 0});

  constexpr Py_ssize_t kInline = 8;
  PyObject* inline_names[kInline];
  PyObject* inline_values[kInline];
  PyObject** names = inline_names;
  PyObject** values = inline_values;
  if (nkw > kInline) {
    names = PyMem_New(PyObject*, static_cast<std::size_t>(nkw));
    values = PyMem_New(PyObject*, static_cast<std::size_t>(nkw));
    if (names == nullptr || values == nullptr) {
      PyMem_Free(names);
      PyMem_Free(values);
      return PyErr_NoMemory();
    }
  }
  // The dictionary may be the caller's own; the pointers taken here are only
  // used while binding, which runs no Python code, and invoke() owns every
  // bound value before the body runs.
  Py_ssize_t i = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &i, &key, &value) && k < nkw) {
    names[k] = key;
    values[k] = value;
    ++k;
  }
  PyObject* result = invoke(as_function(self), pos, npos, Keywords{names, values, k});
  if (names != inline_names) {
    PyMem_Free(names);
    PyMem_Free(values);
  }
  return result;
}

// --- Attributes ----------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept {
  return Py_NewRef(as_function(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
  return Py_NewRef(as_function(self)->qualname);
}

int set_text(PyObject*& slot, PyObject* value, const char* what) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(slot, value);
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
  return Py_NewRef(as_function(self)->defaults);
}

// inspect.Signature for the table row, made on first use and kept.
PyObject* get_signature(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  if (f->signature != nullptr) return Py_NewRef(f->signature);
  static Name n_inspect{"inspect"}, n_parameter{"Parameter"},
      n_signature{"Signature"}, n_kind{"POSITIONAL_OR_KEYWORD"},
      n_default{"default"};
  Borrowed inspect_name = n_inspect.get();
  if (inspect_name == nullptr) return nullptr;
  // Whoever asks, not through their own __import__.
  Ref inspect = Ref::steal(
      PyImport_ImportModuleLevelObject(inspect_name, nullptr, nullptr, nullptr, 0));
  if (!inspect) return nullptr;
  Ref parameter = get_attr(inspect.get(), n_parameter);
  if (!parameter) return nullptr;
  Ref kind = get_attr(parameter.get(), n_kind);
  if (!kind) return nullptr;
  const FunctionDef& def = *f->def;
  Ref params = Ref::steal(PyList_New(0));
  if (!params) return nullptr;
  for (std::size_t p = 0; p < def.nparams; ++p) {
    Ref pname = text(def.params[p]);
    if (!pname) return nullptr;
    Ref param;
    if (def.last_default && p + 1 == def.nparams) {
      param = call_kw(parameter.get(), {pname.get(), kind.get()},
                      {{&n_default, PyTuple_GET_ITEM(f->defaults, 0)}});
    } else {
      param = call(parameter.get(), {pname.get(), kind.get()});
    }
    if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
  }
  Ref signature_class = get_attr(inspect.get(), n_signature);
  if (!signature_class) return nullptr;
  Ref signature = call(signature_class.get(), {params.get()});
  if (!signature) return nullptr;
  if (f->signature == nullptr) f->signature = Py_NewRef(signature.get());
  return signature.release();
}

// __module__ and __doc__ as a Python function has them: any value, None
// once deleted.  __doc__ is a property of the type (which has no docstring
// of its own for it to hide behind).  A type made by PyType_FromSpec keeps its own
// __module__ in its dictionary, where the generic lookup would find it
// first, so the instance's is answered before that lookup.
PyObject* or_none(PyObject* value) noexcept { return Py_NewRef(value ? value : Py_None); }
int replace(PyObject*& slot, PyObject* value) noexcept {
  Py_XINCREF(value);
  Py_XSETREF(slot, value);
  return 0;
}
PyObject* get_doc(PyObject* self, void*) noexcept { return or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  return replace(as_function(self)->doc, value);
}
// 1 when `name` is "__module__", 0 when not, -1 with the error set.
int is_module_name(Borrowed name) noexcept {
  static Name n_module{"__module__"};
  Borrowed key = n_module.get();
  return key == nullptr ? -1 : name == key || PyUnicode_Compare(name, key) == 0;
}
PyObject* function_getattro(PyObject* self, PyObject* name) noexcept {
  const int own = is_module_name(name);
  if (own != 0) return own < 0 ? nullptr : or_none(as_function(self)->module_name);
  return PyObject_GenericGetAttr(self, name);
}
int function_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  const int own = is_module_name(name);
  if (own != 0) return own < 0 ? -1 : replace(as_function(self)->module_name, value);
  return PyObject_GenericSetAttr(self, name, value);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};


// Pickling and copying find the function again by name in its module.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// A descriptor that never binds: stored on a class and read through an
// instance, the function stays the function, called exactly as before.  Its
// presence is what makes inspect (and so help()) treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) noexcept {
  return Py_NewRef(self);
}

// --- Lifetime ------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));  // each instance holds its heap type
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->module_name);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->dict);
  Py_VISIT(f->signature);
  return 0;
}

// Clears what can lead back to the function.  The names and defaults (texts,
// a tuple of integers) stay until deallocation: a cleared function can still
// be reached through a weak reference and asked for them, or called.
int function_clear(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->module_name);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->signature);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->defaults);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The offsets of the instance dictionary, the weak-reference list and the
// vectorcall entry.
PyMemberDef function_offsets[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY,
     nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_offsets},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "Velmora.function",
    static_cast<int>(sizeof(FunctionObject)),
    0,
    // Not instantiable (an instance would have no table row) and not
    // changeable, as a static type.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

bool function_type_ready() noexcept {
  if (function_type != nullptr) return true;
  PyObject* made = compat::type_from_spec(&function_spec);
  if (made == nullptr) {
    // 3.12 and 3.13 can fail here for lack of memory with nothing set.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return false;
  }
  function_type = reinterpret_cast<PyTypeObject*>(made);  // kept for the life of the process
  return true;
}

Ref function_new(const FunctionDef& def, Borrowed module,
                 Borrowed module_name) noexcept {
  Borrowed globals = PyModule_GetDict(module);
  if (globals == nullptr) return {};
  Ref name = text(def.name);
  if (!name) return {};
  Ref doc = def.doc ? text(def.doc) : Ref::borrow(Py_None);
  if (!doc) return {};
  Ref defaults = Ref::borrow(Py_None);
  if (def.last_default) {
    Ref value = integer(*def.last_default);
    if (!value) return {};
    defaults = Ref::steal(PyTuple_Pack(1, value.get()));
    if (!defaults) return {};
  }
  // Takes the reference to the type every instance holds (also on 3.7,
  // unlike PyObject_GC_New), zeroes the fields and starts tracking.
  auto* f = reinterpret_cast<FunctionObject*>(function_type->tp_alloc(function_type, 0));
  if (f == nullptr) return {};
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->module = Py_NewRef(module);
  f->globals = Py_NewRef(globals);
  f->name = Py_NewRef(name.get());
  f->qualname = name.release();
  f->module_name = Py_NewRef(module_name);
  f->doc = doc.release();
  f->defaults = defaults.release();
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace velmora
